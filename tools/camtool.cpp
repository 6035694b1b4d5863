// camtool: makes, inspects and checks update files.
//   camtool pack OUT.cam PAYLOAD [--flag N] [--command HEX] [--fill BYTE]
//   camtool make OUT.cam SIZE [--flag N] [--seed N] [--command HEX] [--fill BYTE]
//   camtool show FILE.cam        (exit 1 when the updater would refuse it)
//   camtool stream FILE.cam...   (writes to stdout what the device receives for the files, in order)
//   camtool verify [FOLDER] [--key PUBLIC.pem]
//                                (what the updater would do with the folder, as a build trusting the keys of
//                                 PUBLIC.pem, or none, would; exit 1 when it would not complete)
//   camtool keygen PRIVATE.pem PUBLIC.pem     (Windows: a new P-256 key pair for signing update folders)
//   camtool sign --key PRIVATE.pem [FOLDER]   (Windows: writes SHA256SUMS of the update files there and
//                                              SHA256SUMS.sig, as sha256sum and `openssl dgst -sign` would)
#include <CLI/CLI.hpp>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "tools/maker_signing.h"
#endif

#include "lang/utf.h"
#include "tools/cam_builder.h"
#include "update/folder_check.h"
#include "update/sha256.h"
#include "update/update_file.h"
#include "update/update_plan.h"

namespace {

using pw::tools::Bytes;

bool read_file(const std::string& path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool write_file(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

bool read_text(const std::string& path, std::string* out) {
  Bytes bytes;
  if (!read_file(path, &bytes)) return false;
  out->assign(bytes.begin(), bytes.end());
  return true;
}

std::string sha256(const Bytes& data) {
  pw::Sha256 h;
  h.add(data.data(), data.size());
  return h.hex();
}

// Bytes 2..47 of the command header as hex digits: at most 46 bytes, nothing else.
std::string check_command_hex(const std::string& hex) {
  if (hex.size() % 2) return "the command header needs whole bytes (an even number of hex digits)";
  if (hex.size() / 2 > pw::kCommandHeaderSize - 2)
    return "the command header holds at most " + std::to_string(pw::kCommandHeaderSize - 2) + " bytes";
  for (const char c : hex)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::string("not a hex digit: ") + c;
  return std::string();
}

Bytes hex_bytes(const std::string& hex) {
  Bytes bytes;
  for (std::size_t k = 0; k < hex.size(); k += 2) bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(k, 2), nullptr, 16)));
  return bytes;
}

const char* verdict_name(pw::HeaderVerdict v) {
  switch (v) {
    case pw::HeaderVerdict::too_short: return "refused: shorter than its header";
    case pw::HeaderVerdict::bad_marker: return "refused: wrong header marker";
    case pw::HeaderVerdict::skip: return "not sent: send flag is 0";
    case pw::HeaderVerdict::send: return "sent";
  }
  return "?";
}

int show(const std::string& path) {
  Bytes data;
  if (!read_file(path, &data)) {
    std::fprintf(stderr, "camtool: cannot read %s\n", path.c_str());
    return 1;
  }
  std::printf("file:        %s\n", path.c_str());
  std::printf("size:        %zu bytes\n", data.size());
  if (!data.empty()) std::printf("marker:      0x%02X\n", data[0]);
  if (data.size() > 1) std::printf("send flag:   0x%02X\n", data[1]);
  if (data.size() >= pw::kCommandHeaderSize) {
    std::printf("command:    ");
    for (std::size_t i = 0; i < pw::kCommandHeaderSize; ++i) std::printf(" %02X", data[i]);
    std::printf("\n");
  }
  if (data.size() > pw::kHeaderBlockSize) std::printf("payload:     %zu bytes\n", data.size() - pw::kHeaderBlockSize);
  const pw::HeaderVerdict verdict = pw::check_update_header(data.data(), data.size());
  std::printf("updater:     %s\n", verdict_name(verdict));
  return verdict == pw::HeaderVerdict::too_short || verdict == pw::HeaderVerdict::bad_marker ? 1 : 0;
}

int stream(const std::vector<std::string>& files) {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);  // the stream is bytes, not text
#endif
  for (const std::string& path : files) {
    Bytes data;
    if (!read_file(path, &data)) {
      std::fprintf(stderr, "camtool: cannot read %s\n", path.c_str());
      return 1;
    }
    const Bytes bytes = pw::tools::device_stream(data);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  }
  return 0;
}

std::string decision_text(const pw::FileDecision& d) {
  switch (d.step) {
    case pw::FileStep::skipped: return "skipped (missing, or needs the device linked)";
    case pw::FileStep::not_sent: return "not sent (send flag 0)";
    case pw::FileStep::sent: return "sent";
    case pw::FileStep::command_ends:
    case pw::FileStep::process_ends: break;
  }
  std::string why;
  switch (d.message ? d.message->key : 0) {
    case 1023: why = "damaged: shorter than its header"; break;
    case 1022: why = "damaged: wrong header marker"; break;
    case 2008: why = "exists but cannot be opened"; break;
    case 2006: why = "cannot be read"; break;
    case 1035: why = "missing"; break;
    default: why = "refused"; break;
  }
  return why + (d.step == pw::FileStep::command_ends ? "; the update stops here" : "; the program ends here");
}

const char* signature_text(pw::SignatureCheck check) {
  switch (check) {
    case pw::SignatureCheck::absent: return "not looked at";
    case pw::SignatureCheck::not_checked: return "not checked (no trusted key)";
    case pw::SignatureCheck::verified: return "verified with key";
    case pw::SignatureCheck::failed: return "does not verify with a trusted key";
  }
  return "?";
}

// The folder's list and signature as a build trusting `keys` would judge them.
bool print_folder_verdict(const pw::FolderVerdict& verdict) {
  const std::string signer = verdict.signer.empty() ? std::string() : " " + verdict.signer;
  std::printf("signature     %s%s\n", signature_text(verdict.signature), signer.c_str());
  std::string reason = pw::folder_reason_name(verdict.reason);
  if (verdict.file) reason += std::string(": ") + pw::kUpdateFiles[*verdict.file].name;
  if (verdict.reason == pw::FolderReason::list_malformed)
    reason += std::string(" (") + pw::sums_problem_name(verdict.list_problem) +
              (verdict.list_line ? ", line " + std::to_string(verdict.list_line) : std::string()) + ")";
  std::printf("folder        %s\n", reason.c_str());
  for (const std::string& name : verdict.ignored)
    std::printf("ignored       %s (not an update file)\n", pw::printable_text(name).c_str());
  return verdict.accepted();
}

// The five files of `folder` as the updater would read and handle them with the device linked.
int verify(const std::string& folder, const pw::TrustedKeys& keys) {
  const std::atomic<bool> never_stopped{false};
  const pw::UpdateFolder read = pw::read_update_folder(folder, keys, never_stopped);
  std::array<pw::FileProbe, pw::kUpdateFiles.size()> probes;
  for (std::size_t i = 0; i < probes.size(); ++i) probes[i] = read.files[i].probe;
  const pw::UpdatePlan plan = pw::plan_update(probes, true);
  Bytes wire;
  for (std::size_t i = 0; i < plan.decisions.size(); ++i) {
    const pw::FileDecision& d = plan.decisions[i];
    const pw::FolderFile& file = read.files[i];
    std::printf("%-13s %s\n", pw::kUpdateFiles[i].name, decision_text(d).c_str());
    if (file.sha256)
      std::printf("              %llu bytes, sha256 %s\n", static_cast<unsigned long long>(file.size),
                  pw::to_hex(*file.sha256).c_str());
    Bytes contents;
    if (d.step == pw::FileStep::sent &&
        read_file((std::filesystem::path(folder) / pw::kUpdateFiles[i].name).string(), &contents)) {
      const Bytes s = pw::tools::device_stream(contents);
      wire.insert(wire.end(), s.begin(), s.end());
    }
  }
  for (std::size_t i = plan.decisions.size(); i < pw::kUpdateFiles.size(); ++i)
    std::printf("%-13s not looked at\n", pw::kUpdateFiles[i].name);
  std::printf("stream        %zu bytes, sha256 %s (after the identification byte 0x40)\n", wire.size(),
              sha256(wire).c_str());
  const bool completes = print_folder_verdict(read.verdict) && plan.completes;
  std::printf("update        %s\n", completes ? "completes" : "does not complete");
  return completes ? 0 : 1;
}

#ifdef _WIN32
int keygen(const std::string& private_path, const std::string& public_path) {
  std::error_code error_code;
  if (std::filesystem::exists(private_path, error_code)) {
    std::fprintf(stderr, "camtool: %s exists; a signing key is never overwritten\n", private_path.c_str());
    return 1;
  }
  std::string error;
  const std::optional<pw::tools::KeyPairPem> pair = pw::tools::generate_key_pair(error);
  if (!pair) {
    std::fprintf(stderr, "camtool: %s\n", error.c_str());
    return 1;
  }
  if (!write_file(private_path, Bytes(pair->private_pem.begin(), pair->private_pem.end())) ||
      !write_file(public_path, Bytes(pair->public_pem.begin(), pair->public_pem.end()))) {
    std::fprintf(stderr, "camtool: cannot write the key files\n");
    return 1;
  }
  std::printf("fingerprint   %s\n", pw::load_trusted_keys(pair->public_pem).keys.at(0).fingerprint.c_str());
  return 0;
}

// SHA256SUMS for the update files in `folder`, and its signature.
int sign(const std::string& folder, const std::string& key_path) {
  std::string key;
  if (!read_text(key_path, &key)) {
    std::fprintf(stderr, "camtool: cannot read %s\n", key_path.c_str());
    return 1;
  }
  std::array<std::optional<pw::Digest>, pw::kUpdateFiles.size()> listed;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const std::filesystem::path path = std::filesystem::path(folder) / pw::kUpdateFiles[i].name;
    std::error_code error_code;
    if (!std::filesystem::is_regular_file(path, error_code)) continue;
    listed[i] = pw::sha256_of_file(path.u8string());
    if (!listed[i]) {
      std::fprintf(stderr, "camtool: cannot read %s\n", path.u8string().c_str());
      return 1;
    }
    std::printf("%-13s sha256 %s\n", pw::kUpdateFiles[i].name, pw::to_hex(*listed[i]).c_str());
  }
  // The driver installer beside them is listed too: a build with keys starts only a listed one.
  std::optional<pw::Digest> installer;
  const std::filesystem::path installer_path = std::filesystem::path(folder) / pw::kInstallerName;
  std::error_code installer_error;
  if (std::filesystem::is_regular_file(installer_path, installer_error)) {
    installer = pw::sha256_of_file(installer_path.u8string());
    if (!installer) {
      std::fprintf(stderr, "camtool: cannot read %s\n", installer_path.u8string().c_str());
      return 1;
    }
    std::printf("%-13s sha256 %s\n", pw::kInstallerName, pw::to_hex(*installer).c_str());
  }
  const std::string list = pw::format_folder_sums(listed, installer);
  std::string error;
  const std::optional<Bytes> signature =
      pw::tools::sign_bytes(key, reinterpret_cast<const std::uint8_t*>(list.data()), list.size(), error);
  if (!signature) {
    std::fprintf(stderr, "camtool: %s: %s\n", key_path.c_str(), error.c_str());
    return 1;
  }
  const std::filesystem::path base(folder);
  if (!write_file((base / pw::kSumsFileName).u8string(), Bytes(list.begin(), list.end())) ||
      !write_file((base / pw::kSumsSignatureFileName).u8string(), *signature)) {
    std::fprintf(stderr, "camtool: cannot write SHA256SUMS or SHA256SUMS.sig in %s\n", folder.c_str());
    return 1;
  }
  return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"camtool: makes, inspects and checks Pushwell update files"};
  app.require_subcommand(1);

  int flag = 1;
  int fill = 0;
  std::uint32_t seed = 1;
  std::string command_hex;
  std::string out_path, payload_path;
  std::uint64_t payload_size = 0;
  const auto add_fields = [&](CLI::App* sub) {
    sub->add_option("--flag", flag, "send flag, 0 to 255 (0: valid but not sent)")->check(CLI::Range(0, 255));
    sub->add_option("--fill", fill, "filler of header bytes 48 to 1023, 0 to 255")->check(CLI::Range(0, 255));
    sub->add_option("--command", command_hex, "bytes 2 to 47 of the command header, as hex")
        ->check(CLI::Validator(check_command_hex, "HEX"));
  };
  CLI::App* pack = app.add_subcommand("pack", "wrap an existing payload");
  pack->add_option("out", out_path, "the update file to write")->required();
  pack->add_option("payload", payload_path, "the payload file")->required()->check(CLI::ExistingFile);
  add_fields(pack);
  CLI::App* make = app.add_subcommand("make", "a file with a generated payload");
  make->add_option("out", out_path, "the update file to write")->required();
  make->add_option("size", payload_size, "payload size in bytes (at least 4)")->required()->check(CLI::Range(std::uint64_t{4}, std::uint64_t{1} << 32));
  make->add_option("--seed", seed, "seed of the generated payload");
  add_fields(make);
  std::string show_path;
  CLI::App* show_cmd = app.add_subcommand("show", "header fields and what the updater would do");
  show_cmd->add_option("file", show_path, "an update file")->required();
  std::vector<std::string> stream_files;
  CLI::App* stream_cmd = app.add_subcommand("stream", "the bytes the device would receive, to stdout");
  stream_cmd->add_option("files", stream_files, "update files, in order")->required();
  std::string folder = ".";
  std::string key_path;
  CLI::App* verify_cmd = app.add_subcommand("verify", "what the updater would do with a folder's five files");
  verify_cmd->add_option("folder", folder, "the folder (default: the current one)");
  verify_cmd->add_option("--key", key_path, "PEM file of the public keys the updater trusts (default: none)")
      ->check(CLI::ExistingFile);
#ifdef _WIN32
  std::string public_path;
  CLI::App* keygen_cmd = app.add_subcommand("keygen", "a new P-256 key pair for signing update folders");
  keygen_cmd->add_option("private", key_path, "the private key to write (PEM); keep it secret")->required();
  keygen_cmd->add_option("public", public_path, "the public key to write (PEM), for PUSHWELL_TRUSTED_KEYS")
      ->required();
  CLI::App* sign_cmd = app.add_subcommand("sign", "write SHA256SUMS and SHA256SUMS.sig for a folder's update files");
  sign_cmd->add_option("--key", key_path, "the private key (PEM)")->required()->check(CLI::ExistingFile);
  sign_cmd->add_option("folder", folder, "the folder (default: the current one)");
#endif

  CLI11_PARSE(app, argc, argv);

  if (*show_cmd) return show(show_path);
  if (*stream_cmd) return stream(stream_files);
  if (*verify_cmd) {
    pw::TrustedKeys keys;
    std::string pem;
    if (!key_path.empty() && (!read_text(key_path, &pem) || (keys = pw::load_trusted_keys(pem)).keys.empty())) {
      std::fprintf(stderr, "camtool: %s holds no P-256 public key\n", key_path.c_str());
      return 1;
    }
    return verify(folder, keys);
  }
#ifdef _WIN32
  if (*keygen_cmd) return keygen(key_path, public_path);
  if (*sign_cmd) return sign(folder, key_path);
#endif

  pw::tools::CamFields fields;
  fields.send_flag = static_cast<std::uint8_t>(flag);
  fields.filler = static_cast<std::uint8_t>(fill);
  fields.command = hex_bytes(command_hex);
  Bytes payload;
  if (*pack) {
    if (!read_file(payload_path, &payload)) {
      std::fprintf(stderr, "camtool: cannot read %s\n", payload_path.c_str());
      return 1;
    }
  } else {
    payload = pw::tools::generated_payload(static_cast<std::size_t>(payload_size), seed);
  }
  if (!write_file(out_path, pw::tools::build_update_file(fields, payload))) {
    std::fprintf(stderr, "camtool: cannot write %s\n", out_path.c_str());
    return 1;
  }
  return 0;
}
