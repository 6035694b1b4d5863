#pragma once
// Whether an update folder may be used: its SHA256SUMS, the signature of that
// list and the update files against it. The rule is pure; the platform lends
// its cryptography through TrustedSigner (update_folder.h reads a folder with it).
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
  // The hashes the list gives, by index into kUpdateFiles, and for the driver installer.
  std::array<std::optional<Digest>, kUpdateFiles.size()> listed;
  std::optional<Digest> installer_listed;
  std::vector<std::string> ignored;  // names of the lines for other files

  bool accepted() const noexcept {
    return reason == FolderReason::no_list_unsigned || reason == FolderReason::files_match;
  }
};

// The list and its signature as read: absent when the file is not there.
struct FolderContents {
  bool build_has_keys = false;
  std::optional<std::vector<std::uint8_t>> list;
  std::optional<std::vector<std::uint8_t>> signature;
  bool list_unreadable = false;  // there, but could not be read
};

// The platform's cryptography, asked only when the rule needs it.
class TrustedSigner {
 public:
  // The fingerprint of the trusted key with which `signature` verifies over
  // exactly `list`; empty when none does.
  virtual std::optional<std::string> trusted_signer(const std::vector<std::uint8_t>& list,
                                                    const std::vector<std::uint8_t>& signature) = 0;

 protected:
  ~TrustedSigner() = default;
};

// The list and its signature alone: refused, or accepted so far (the update
// files are then judged against it with judge_files).
FolderVerdict judge_list(const FolderContents& contents, TrustedSigner& signer);
// The update files against a list accepted so far: for each whether it is in the
// folder and, when it could be read whole, its SHA-256.
void judge_files(FolderVerdict& verdict, const std::array<bool, kUpdateFiles.size()>& present,
                 const std::array<std::optional<Digest>, kUpdateFiles.size()>& sha256);

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
