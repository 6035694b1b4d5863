// Signed update folders: the list's form, the rule over list, signature and files,
// the signature encodings on fixed vectors, and folders signed by the openssl
// program, an independent signer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "lang/utf.h"
#include "tests/signature_vectors.h"
#include "update/folder_check.h"
#include "update/folder_sums.h"
#include "update/folder_verdict.h"
#include "update/update_folder.h"
#include "update/signature.h"

namespace {

namespace fs = std::filesystem;
using pw::FolderReason;
using pw::SignatureCheck;
using pw::SumsProblem;
using Bytes = std::vector<std::uint8_t>;

const std::string kHex(64, 'a');
const std::string kOtherHex(64, 'b');

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

pw::FolderSums parse(const std::string& text) {
  return pw::parse_folder_sums(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

struct SumsCase {
  const char* what;
  std::string text;
  SumsProblem problem;
  std::size_t line;     // of the problem
  int firmware_listed;  // -1: not listed, else the byte every digest byte holds
  std::size_t ignored;
};

TEST(FolderSums, ReadsWhatSha256sumWritesAndRefusesEachOtherFormForItsReason) {
  const std::string big(pw::kMaxSumsSize + 1, 'x');
  const SumsCase cases[] = {
      {"two-space form", kHex + "  firmware.cam\n" + kOtherHex + "  sound.cam\n", SumsProblem::none, 0, 0xaa, 0},
      {"CRLF, no last line end", kHex + "  firmware.cam\r\n" + kOtherHex + "  sound.cam", SumsProblem::none, 0, 0xaa,
       0},
      {"UTF-8 mark", "\xEF\xBB\xBF" + kHex + "  firmware.cam\n", SumsProblem::none, 0, 0xaa, 0},
      {"upper-case name and hex", std::string(64, 'A') + "  FIRMWARE.CAM\n", SumsProblem::none, 0, 0xaa, 0},
      {"binary-mode star", kHex + " *firmware.cam\n", SumsProblem::none, 0, 0xaa, 0},
      {"other files ignored", kHex + "  notes.txt\n" + kHex + "  firmware.cam.bak\n", SumsProblem::none, 0, -1, 2},
      {"no lines", "", SumsProblem::none, 0, -1, 0},
      {"UTF-16 LE mark", "\xFF\xFE" + kHex, SumsProblem::utf16, 0, -1, 0},
      {"UTF-16 BE mark", "\xFE\xFF" + kHex, SumsProblem::utf16, 0, -1, 0},
      {"NUL bytes", std::string("a\0a\0", 4), SumsProblem::utf16, 0, -1, 0},
      {"BSD form", "SHA256 (firmware.cam) = " + kHex + "\n", SumsProblem::bsd_form, 1, -1, 0},
      {"escaped line", kHex + "  firmware.cam\n\\" + kHex + "  a\\\\b.cam\n", SumsProblem::escaped_line, 2, -1, 0},
      {"slash in a name", kHex + "  update/firmware.cam\n", SumsProblem::path_in_name, 1, -1, 0},
      {"backslash in a name", kHex + "  update\\firmware.cam\n", SumsProblem::path_in_name, 1, -1, 0},
      {"dot-dot", kHex + "  ..\n", SumsProblem::path_in_name, 1, -1, 0},
      {"listed twice", kHex + "  firmware.cam\n" + kHex + "  Firmware.cam\n", SumsProblem::listed_twice, 2, -1, 0},
      {"too large", big, SumsProblem::too_large, 0, -1, 0},
      {"hex not hex", std::string(63, 'a') + "g  firmware.cam\n", SumsProblem::malformed, 1, -1, 0},
      {"short digest", std::string(62, 'a') + "  firmware.cam\n", SumsProblem::malformed, 1, -1, 0},
      {"one space", kHex + " firmware.cam\n", SumsProblem::malformed, 1, -1, 0},
      {"blank lines skipped", kHex + "  firmware.cam\n\n \t\r\n", SumsProblem::none, 0, 0xaa, 0},
      {"dot-slash, as sha256sum ./*.cam writes", kHex + "  ./firmware.cam\n", SumsProblem::none, 0, 0xaa, 0},
      {"dot-slash before a path", kHex + "  ./update/firmware.cam\n", SumsProblem::path_in_name, 1, -1, 0},
      {"a name not UTF-8 is some other file", kHex + "  \xC0/x.cam\n" + kHex + "  firmware.cam\n",
       SumsProblem::none, 0, 0xaa, 1},
      {"the installer is no other file", kHex + "  InstallUsbDrive.exe\n", SumsProblem::none, 0, -1, 0},
      {"the installer listed twice", kHex + "  InstallUsbDrive.exe\n" + kHex + "  installusbdrive.EXE\n",
       SumsProblem::listed_twice, 2, -1, 0},
  };
  for (const SumsCase& c : cases) {
    SCOPED_TRACE(c.what);
    const pw::FolderSums sums = parse(c.text);
    EXPECT_EQ(sums.problem, c.problem);
    EXPECT_EQ(sums.problem_line, c.line);
    EXPECT_EQ(sums.ignored.size(), c.ignored);
    ASSERT_EQ(sums.listed[0].has_value(), c.firmware_listed >= 0);
    if (c.firmware_listed >= 0) {
      EXPECT_EQ((*sums.listed[0])[31], c.firmware_listed);
    }
  }
  EXPECT_EQ(parse(kHex + "  firmware.cam\n" + kOtherHex + "  sound.cam\n").listed[3]->front(), 0xbb);
  EXPECT_EQ(parse(kOtherHex + "  InstallUsbDrive.exe\n").installer->front(), 0xbb);
  // A hostile list's names reach a terminal only escaped.
  EXPECT_EQ(pw::printable_text("a\x1b[2J\xC0\xE2\x80\xAE" "b\xD0\x96\x7F"), "a\\x1b[2J\\xc0\\u{202e}b\xD0\x96\\x7f");
}

// The rule alone: the platform's answers come from the row.
class ScriptedFolder final : public pw::FolderEffects {
 public:
  pw::FileBytes read_small_file(const char* name, std::size_t) override {
    const std::optional<std::string>& text = std::string(name) == pw::kSumsFileName ? list : signature;
    pw::FileBytes file;
    if (text) file = {pw::FileBytes::State::read, bytes(*text)};
    return file;
  }
  pw::FolderFile read_file(const char* name) override {
    const std::optional<std::size_t> index = pw::update_file_index(name);
    pw::FolderFile file;
    if (!index || !present[*index]) return file;
    ++hashed;
    file.probe.open = pw::FileProbe::Open::opened;
    file.sha256.emplace();
    file.sha256->fill(changed == static_cast<int>(*index) ? 0xbb : 0xaa);
    return file;
  }
  std::optional<std::string> trusted_signer(const Bytes&, const Bytes& signature) override {
    if (signature == bytes("by the trusted key")) return std::string(64, 'f');
    return std::nullopt;
  }
  std::optional<std::string> list, signature;
  std::array<bool, pw::kUpdateFiles.size()> present{};
  int changed = -1;
  int hashed = 0;
};

struct VerdictCase {
  const char* what;
  bool keys;
  std::optional<std::string> list;
  std::optional<std::string> signature;
  std::vector<std::size_t> present;
  int changed;  // the update file whose bytes differ from the list, or -1
  FolderReason reason;
  int file;  // -1: none named
  SignatureCheck signature_check;
};

TEST(FolderVerdict, FollowsTheRulesOfSignedAndUnsignedBuilds) {
  const std::string list = kHex + "  firmware.cam\n" + kHex + "  database.cam\n" + kHex + "  readme.txt\n";
  const std::string trusted = "by the trusted key";
  const std::vector<std::size_t> both = {0, 4};
  const VerdictCase cases[] = {
      {"good signed", true, list, trusted, both, -1, FolderReason::files_match, -1, SignatureCheck::verified},
      {"no list", true, std::nullopt, trusted, both, -1, FolderReason::no_list, -1, SignatureCheck::absent},
      {"no .sig", true, list, std::nullopt, both, -1, FolderReason::no_signature, -1, SignatureCheck::absent},
      {"empty .sig", true, list, "", both, -1, FolderReason::signature_not_trusted, -1, SignatureCheck::failed},
      {"unknown key", true, list, "by another key", both, -1, FolderReason::signature_not_trusted, -1,
       SignatureCheck::failed},
      {"listed file missing",
       true,
       list,
       trusted,
       {0},
       -1,
       FolderReason::listed_file_missing,
       4,
       SignatureCheck::verified},
      {"one of five unlisted",
       true,
       list,
       trusted,
       {0, 3, 4},
       -1,
       FolderReason::file_not_listed,
       3,
       SignatureCheck::verified},
      {"changed file", true, list, trusted, both, 4, FolderReason::file_differs, 4, SignatureCheck::verified},
      {"duplicate line", true, list + kHex + "  DATABASE.CAM\n", trusted, both, -1, FolderReason::list_malformed, -1,
       SignatureCheck::verified},
      {"keyless, no list", false, std::nullopt, std::nullopt, both, 4, FolderReason::no_list_unsigned, -1,
       SignatureCheck::absent},
      {"keyless, matching list", false, list, "by another key", both, -1, FolderReason::files_match, -1,
       SignatureCheck::not_checked},
      {"keyless, changed file", false, list, std::nullopt, both, 0, FolderReason::file_differs, 0,
       SignatureCheck::not_checked},
      {"keyless, unlisted file",
       false,
       list,
       std::nullopt,
       {0, 1, 4},
       -1,
       FolderReason::file_not_listed,
       1,
       SignatureCheck::not_checked},
  };
  for (const VerdictCase& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedFolder folder;
    folder.list = c.list;
    folder.signature = c.signature;
    for (std::size_t i : c.present) folder.present[i] = true;
    folder.changed = c.changed;
    const pw::FolderVerdict verdict = pw::read_update_folder("folder", c.keys, folder).verdict;
    EXPECT_EQ(verdict.reason, c.reason) << pw::folder_reason_name(verdict.reason);
    EXPECT_EQ(verdict.file ? static_cast<int>(*verdict.file) : -1, c.file);
    EXPECT_EQ(verdict.signature, c.signature_check);
    EXPECT_EQ(verdict.accepted(), !pw::refusal_text(verdict));
    EXPECT_EQ(verdict.signer.empty(), c.signature_check != SignatureCheck::verified);
    if (verdict.reason == FolderReason::files_match) {
      EXPECT_EQ(folder.hashed, 2);
      EXPECT_EQ(verdict.ignored, std::vector<std::string>{"readme.txt"});
      EXPECT_TRUE(verdict.listed[0] && verdict.listed[4] && !verdict.listed[1]);
    }
    if (verdict.signature == SignatureCheck::failed || verdict.reason == FolderReason::list_malformed ||
        verdict.reason == FolderReason::no_list || verdict.reason == FolderReason::no_signature) {
      EXPECT_EQ(folder.hashed, 0) << "a folder refused on its list or signature is not read further";
    }
  }
}

TEST(FolderSignature, FixedVectorsVerifyAndEveryOtherFormIsRefused) {
  pw::test::expect_vectors_judged_as_openssl_does();
  for (const pw::test::SignatureVector& v : pw::test::kVectorSignatures) {
    SCOPED_TRACE(v.name);
    const Bytes der = pw::test::bytes_of_hex(v.der_hex);
    const std::optional<pw::RawSignature> raw = pw::raw_signature_of_der(der.data(), der.size());
    ASSERT_TRUE(raw);
    EXPECT_EQ(pw::der_of_raw_signature(*raw), der) << "strict DER has one encoding";
    EXPECT_FALSE(pw::raw_signature_of_der(der.data(), der.size() - 1)) << "truncated";
    Bytes longer = der;
    longer.push_back(0);
    EXPECT_FALSE(pw::raw_signature_of_der(longer.data(), longer.size())) << "trailing byte";
  }
  const Bytes r31 = pw::test::bytes_of_hex(pw::test::kVectorSignatures[1].der_hex);
  EXPECT_EQ(pw::raw_signature_of_der(r31.data(), r31.size())->front(), 0) << "r of 31 bytes is padded on the left";
  Bytes padded = r31;  // the same r with a needless zero in front: not DER
  padded.insert(padded.begin() + 4, 0);
  padded[1] += 1;
  padded[3] += 1;
  EXPECT_FALSE(pw::raw_signature_of_der(padded.data(), padded.size()));

  // crypt32 gives integers least significant byte first.
  const std::uint8_t little[33] = {1, 2, 3};
  EXPECT_EQ(pw::scalar_of_little_endian(little, 31)->at(29), 3) << "31 bytes, padded";
  EXPECT_EQ(pw::scalar_of_little_endian(little, 33)->at(31), 1) << "a high zero byte is no size";
  const std::uint8_t wide[33] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_FALSE(pw::scalar_of_little_endian(wide, 33)) << "over 32 bytes";
  EXPECT_FALSE(pw::scalar_of_little_endian(little, 0)) << "no bytes";

  // The maker's private key as openssl wrote it, read and written again as camtool does.
  std::ifstream file(fs::path(PUSHWELL_SOURCE_DIR) / "tests/keys/test-maker.pem");
  const std::string pem(std::istreambuf_iterator<char>(file), {});
  const std::vector<std::string> blocks = pw::pem_blocks(pem, "EC PRIVATE KEY", nullptr);
  ASSERT_EQ(blocks.size(), 1u);
  const std::optional<Bytes> sec1 = pw::der_of_pem_block(blocks[0]);
  ASSERT_TRUE(sec1);
  const std::optional<pw::P256PrivateKey> key = pw::private_key_of_sec1(sec1->data(), sec1->size());
  ASSERT_TRUE(key);
  EXPECT_EQ(pw::sec1_of_private_key(*key), *sec1);
  const pw::TrustedKeys keys = pw::load_trusted_keys(pw::test::kTestMakerPublicPem);
  ASSERT_EQ(keys.keys.size(), 1u);
  EXPECT_EQ(key->q, pw::p256_point_of_spki(keys.keys[0].spki.data(), keys.keys[0].spki.size()));
}

// Runs a shell command; its standard output.
std::string run(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    EXPECT_EQ(pclose(pipe), 0) << command;
  }
  return out;
}

struct SignedFolderCase {
  const char* what;
  std::string make;  // shell commands run in the folder after the files are written
  bool keys;
  FolderReason reason;
};

TEST(SignedFolder, SignedByTheOpensslProgramIsJudgedAsTheUpdaterWould) {
  const fs::path work = fs::temp_directory_path() / ("pushwell-signed-" + std::to_string(::getpid()));
  fs::create_directories(work);
  const std::string keys_dir = work.string();
  run("cd '" + keys_dir +
      "' && openssl ecparam -name prime256v1 -genkey -noout -out maker.pem"
      " && openssl ec -in maker.pem -pubout -out maker-public.pem 2>/dev/null"
      " && openssl ecparam -name prime256v1 -genkey -noout -out stranger.pem");
  std::string fingerprint = run("openssl pkey -pubin -in '" + keys_dir + "/maker-public.pem' -outform DER | sha256sum");
  fingerprint.resize(64);
  std::ifstream pem(work / "maker-public.pem");
  const pw::TrustedKeys maker = pw::load_trusted_keys(std::string(std::istreambuf_iterator<char>(pem), {}));

  const std::string sign = " && openssl dgst -sha256 -sign ../maker.pem -out SHA256SUMS.sig SHA256SUMS";
  const SignedFolderCase cases[] = {
      {"signed", "sha256sum firmware.cam database.cam > SHA256SUMS" + sign, true, FolderReason::files_match},
      {"star form, CRLF", "sha256sum -b firmware.cam database.cam | sed 's/$/\\r/' > SHA256SUMS" + sign, true,
       FolderReason::files_match},
      {"by a stranger",
       "sha256sum firmware.cam database.cam > SHA256SUMS"
       " && openssl dgst -sha256 -sign ../stranger.pem -out SHA256SUMS.sig SHA256SUMS",
       true, FolderReason::signature_not_trusted},
      {"list edited after signing",
       "sha256sum firmware.cam database.cam > SHA256SUMS" + sign + " && echo >> SHA256SUMS", true,
       FolderReason::signature_not_trusted},
      {"file changed after signing",
       "sha256sum firmware.cam database.cam > SHA256SUMS" + sign + " && echo >> firmware.cam", true,
       FolderReason::file_differs},
      {"unsigned, keyless build", "true", false, FolderReason::no_list_unsigned},
  };
  int number = 0;
  for (const SignedFolderCase& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path folder = work / std::to_string(++number);
    fs::create_directories(folder);
    std::ofstream(folder / "firmware.cam") << "firmware bytes";
    std::ofstream(folder / "database.cam") << std::string(3 * 1024 * 1024 + 5, 'd');  // more than one slice
    run("cd '" + folder.string() + "' && " + c.make);
    const std::atomic<bool> never{false};
    const pw::FolderVerdict verdict =
        pw::read_update_folder(folder.string(), c.keys ? maker : pw::TrustedKeys{}, never).verdict;
    EXPECT_EQ(verdict.reason, c.reason) << pw::folder_reason_name(verdict.reason);
    if (verdict.reason == FolderReason::files_match) {
      EXPECT_EQ(verdict.signer, fingerprint);
    }
  }
  fs::remove_all(work);
}

}  // namespace
