#include "update/folder_verdict.h"

#include "update/signature.h"

namespace pw {

namespace {
FolderVerdict refused(FolderVerdict verdict, FolderReason reason, std::optional<std::size_t> file = std::nullopt) {
  verdict.reason = reason;
  verdict.file = file;
  return verdict;
}
}  // namespace

FolderVerdict judge_list(const FolderContents& contents, TrustedSigner& signer) {
  FolderVerdict verdict;
  if (contents.list_unreadable) return refused(verdict, FolderReason::file_unreadable);
  if (!contents.list) {
    if (contents.build_has_keys) return refused(verdict, FolderReason::no_list);
    verdict.reason = FolderReason::no_list_unsigned;
    return verdict;
  }
  const std::vector<std::uint8_t>& list = *contents.list;
  if (contents.build_has_keys) {
    if (!contents.signature) return refused(verdict, FolderReason::no_signature);
    // Not even the length of a list too large to be taken is worth a verification.
    if (list.size() <= kMaxSumsSize) {
      if (std::optional<std::string> key = signer.trusted_signer(list, *contents.signature)) {
        verdict.signature = SignatureCheck::verified;
        verdict.signer = std::move(*key);
      } else {
        verdict.signature = SignatureCheck::failed;
        return refused(verdict, FolderReason::signature_not_trusted);
      }
    }
  } else {
    verdict.signature = SignatureCheck::not_checked;
  }

  FolderSums sums = parse_folder_sums(list.data(), list.size());
  if (sums.problem != SumsProblem::none) {
    verdict.list_problem = sums.problem;
    verdict.list_line = sums.problem_line;
    return refused(verdict, FolderReason::list_malformed);
  }
  verdict.listed = sums.listed;
  verdict.installer_listed = sums.installer;
  verdict.ignored = std::move(sums.ignored);
  verdict.reason = FolderReason::files_match;  // until the files say otherwise
  return verdict;
}

void judge_files(FolderVerdict& verdict, const std::array<bool, kUpdateFiles.size()>& present,
                 const std::array<std::optional<Digest>, kUpdateFiles.size()>& sha256) {
  if (verdict.reason != FolderReason::files_match) return;
  const auto refuse = [&verdict](FolderReason reason, std::size_t file) {
    verdict.reason = reason;
    verdict.file = file;
  };
  // Every file is placed before any hash is looked at: a wrong list says so first.
  for (std::size_t i = 0; i < kUpdateFiles.size(); ++i) {
    if (present[i] && !verdict.listed[i]) return refuse(FolderReason::file_not_listed, i);
    if (!present[i] && verdict.listed[i]) return refuse(FolderReason::listed_file_missing, i);
  }
  for (std::size_t i = 0; i < kUpdateFiles.size(); ++i) {
    if (!present[i]) continue;
    if (!sha256[i]) return refuse(FolderReason::file_unreadable, i);
    if (*sha256[i] != *verdict.listed[i]) return refuse(FolderReason::file_differs, i);
  }
}

std::optional<TextKey> refusal_text(const FolderVerdict& verdict) noexcept {
  switch (verdict.reason) {
    case FolderReason::no_list_unsigned:
    case FolderReason::files_match: break;
    case FolderReason::no_list: return text::kFolderNoList;
    case FolderReason::no_signature: return text::kFolderNoSignature;
    case FolderReason::signature_not_trusted: return text::kFolderSignatureNotTrusted;
    case FolderReason::list_malformed: return text::kFolderListMalformed;
    case FolderReason::file_not_listed: return text::kFolderFileNotListed;
    case FolderReason::listed_file_missing: return text::kFolderListedFileMissing;
    case FolderReason::file_differs: return text::kFolderFileDiffers;
    case FolderReason::file_unreadable: return text::kFileReadFailed;
  }
  return std::nullopt;
}

std::string folder_step_text(const std::string& checking, const std::string& checking_signed_by,
                             const std::string& signer) {
  return signer.empty() ? checking : checking_signed_by + " " + signer.substr(0, kSignerPrefixDigits);
}

const char* folder_reason_name(FolderReason reason) noexcept {
  switch (reason) {
    case FolderReason::no_list_unsigned: return "accepted: no SHA256SUMS, none needed without trusted keys";
    case FolderReason::files_match: return "accepted: the update files match SHA256SUMS";
    case FolderReason::no_list: return "refused: no SHA256SUMS";
    case FolderReason::no_signature: return "refused: no SHA256SUMS.sig";
    case FolderReason::signature_not_trusted: return "refused: SHA256SUMS.sig does not verify with a trusted key";
    case FolderReason::list_malformed: return "refused: SHA256SUMS is malformed";
    case FolderReason::file_not_listed: return "refused: not listed in SHA256SUMS";
    case FolderReason::listed_file_missing: return "refused: listed in SHA256SUMS but missing";
    case FolderReason::file_differs: return "refused: does not match SHA256SUMS";
    case FolderReason::file_unreadable: return "refused: cannot be read";
  }
  return "refused";
}

}  // namespace pw
