#pragma once
// SHA256SUMS beside the update files, as `sha256sum` writes it: one line a file,
// "<64 hex>  NAME" or "<64 hex> *NAME" ("./NAME" as `sha256sum ./*.cam` writes it
// names NAME). The five update files and the driver installer are read from it;
// lines for other files, also those whose name is not UTF-8, are ignored and kept
// for the record; blank lines are skipped. Pure.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "update/sha256.h"
#include "device/presence_rule.h"
#include "update/update_plan.h"

namespace pw {

inline constexpr char kSumsFileName[] = "SHA256SUMS";
inline constexpr char kSumsSignatureFileName[] = "SHA256SUMS.sig";
inline constexpr std::size_t kMaxSumsSize = 64 * 1024;

// Why a list is refused; each says what to fix.
enum class SumsProblem {
  none,
  too_large,     // over kMaxSumsSize bytes
  utf16,         // a UTF-16 mark or NUL bytes: what PowerShell 5.1's `>` writes
  bsd_form,      // "SHA256 (NAME) = hex", as `sha256sum --tag` or BSD's sha256 writes
  escaped_line,  // sha256sum's leading backslash for a name with a backslash or line break
  path_in_name,  // a name with '/', '\\' or ".."
  listed_twice,  // one of the five update files, or the installer, on two lines
  malformed,     // anything else that is not a line of the form above
};

struct FolderSums {
  SumsProblem problem = SumsProblem::none;
  std::size_t problem_line = 0;  // 1-based; 0 when the problem is of the whole file
  // By index into kUpdateFiles: the hash listed for each, if listed.
  std::array<std::optional<Digest>, kUpdateFiles.size()> listed;
  std::optional<Digest> installer;  // the hash listed for kInstallerName
  // The names of the lines that name none of those files, in order, as written
  // (printable_text() before they are shown).
  std::vector<std::string> ignored;
};

FolderSums parse_folder_sums(const std::uint8_t* data, std::size_t size);

// The index into kUpdateFiles of `name`, compared ASCII case-insensitively
// (never by the locale, so every system matches the same names).
std::optional<std::size_t> update_file_index(const std::string& name);

// What `sha256sum` writes for the files listed, in the order of kUpdateFiles,
// then the installer's line when it is given.
std::string format_folder_sums(const std::array<std::optional<Digest>, kUpdateFiles.size()>& listed,
                               const std::optional<Digest>& installer = std::nullopt);

const char* sums_problem_name(SumsProblem problem) noexcept;

}  // namespace pw
