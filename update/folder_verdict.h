#pragma once
// Whether an update folder may be used: its SHA256SUMS, the signature of that
// list and the update files against it. The rule is pure; the platform lends
// what it needs through FolderEffects (folder_check.h does so for a real folder).
//
// A build with trusted keys takes a folder only when SHA256SUMS and SHA256SUMS.sig
// are both there, the signature verifies with one of the keys, every update file
// in the folder is listed and every listed one is there and matches. A build
// without keys takes a folder without a list as before; with a list, the files
// must match it as above, and the signature is not checked.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lang/text_keys.h"
#include "update/folder_sums.h"

namespace pw {

enum class FolderReason {
  // Accepted.
  no_list_unsigned,  // a build without keys, no SHA256SUMS: as before there were lists
  files_match,       // every update file matches the list (signed, or not checked without keys)
  // Refused.
  no_list,                // SHA256SUMS missing
  no_signature,           // SHA256SUMS.sig missing
  signature_not_trusted,  // it does not verify with any trusted key (an empty or malformed one neither)
  list_malformed,         // the list is refused: FolderVerdict::list_problem says why
  file_not_listed,        // an update file in the folder that the list does not name
  listed_file_missing,    // a listed update file that is not in the folder
  file_differs,           // an update file whose SHA-256 is not the listed one
  file_unreadable,        // an update file (or the list) that could not be read
};

enum class SignatureCheck {
  absent,       // no list was looked at
  not_checked,  // a build without keys does not check it
  verified,     // it verifies with the key `signer` names
  failed,       // refused
};

struct FolderVerdict {
  FolderReason reason = FolderReason::no_list;
  std::optional<std::size_t> file;  // index into kUpdateFiles of the file concerned
  SumsProblem list_problem = SumsProblem::none;
  std::size_t list_line = 0;
  SignatureCheck signature = SignatureCheck::absent;
  std::string signer;  // fingerprint of the key that verified: hex SHA-256 of its SubjectPublicKeyInfo
  // The hashes the list gives, by index into kUpdateFiles: a file loaded later must
  // still have them.
  std::array<std::optional<Digest>, kUpdateFiles.size()> listed;
  std::vector<std::string> ignored;  // names of the lines for other files

  bool accepted() const noexcept {
    return reason == FolderReason::no_list_unsigned || reason == FolderReason::files_match;
  }
};

// What the folder holds, read once: the list and signature as bytes, absent when
// the file is not there.
struct FolderContents {
  bool build_has_keys = false;
  std::optional<std::vector<std::uint8_t>> list;
  std::optional<std::vector<std::uint8_t>> signature;
  bool list_unreadable = false;  // there, but could not be read
  std::array<bool, kUpdateFiles.size()> present{};
};

// A file of the folder read whole, up to a limit.
struct FileBytes {
  enum class State { absent, unreadable, read };
  State state = State::absent;
  std::vector<std::uint8_t> bytes;
};

// The platform's work on one folder, asked for only when the rule needs it.
class FolderEffects {
 public:
  // The file `name` of the folder, at most `limit` bytes of it.
  virtual FileBytes read_small_file(const char* name, std::size_t limit) = 0;
  // Whether update file `index` is in the folder.
  virtual bool update_file_present(std::size_t index) = 0;
  // The fingerprint of the trusted key with which `signature` verifies over
  // exactly `list`; empty when none does.
  virtual std::optional<std::string> trusted_signer(const std::vector<std::uint8_t>& list,
                                                    const std::vector<std::uint8_t>& signature) = 0;
  // SHA-256 of update file `index`; empty when it could not be read.
  virtual std::optional<Digest> file_sha256(std::size_t index) = 0;
  // Before the first file is hashed (the long part): `signer` is the verified
  // key's fingerprint, empty when the signature is not checked.
  virtual void hashing_begins(const std::string& /*signer*/) {}

 protected:
  ~FolderEffects() = default;
};

// The rule over what the folder holds.
FolderVerdict decide_folder(const FolderContents& contents, FolderEffects& effects);
// Reads the list, its signature (each once) and which update files are there,
// then decides.
FolderVerdict check_folder(bool build_has_keys, FolderEffects& effects);

// The box that tells a refusal (name the file after it where `file` is set; for
// list_malformed, sums_problem_name(list_problem)). Empty for an accepted folder.
std::optional<TextKey> refusal_text(const FolderVerdict& verdict) noexcept;

// The step text while the files are hashed: `checking` ([message] 2020), or with a
// signer `checking_signed_by` (2021) and the first digits of its fingerprint,
// appended so no translation has to place them.
std::string folder_step_text(const std::string& checking, const std::string& checking_signed_by,
                             const std::string& signer);
inline constexpr std::size_t kSignerPrefixDigits = 8;

// English, for camtool and the run's details.
const char* folder_reason_name(FolderReason reason) noexcept;

}  // namespace pw
