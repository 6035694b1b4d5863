#include "update/folder_sums.h"

#include <string_view>

#include "lang/utf.h"

namespace pw {

namespace {

constexpr std::size_t kHexDigits = 2 * std::tuple_size<Digest>::value;

char ascii_lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with(std::string_view text, std::string_view prefix) noexcept {
  return text.substr(0, prefix.size()) == prefix;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k)
    if (ascii_lower(a[k]) != ascii_lower(b[k])) return false;
  return true;
}

bool blank(std::string_view line) noexcept { return line.find_first_not_of(" \t") == std::string_view::npos; }

// One line without its end; sets `problem` for a line that cannot stand.
struct LineReading {
  SumsProblem problem = SumsProblem::none;
  Digest digest{};
  std::string_view name;
};

LineReading read_line(std::string_view line) {
  LineReading r;
  if (starts_with(line, "\\")) return r.problem = SumsProblem::escaped_line, r;
  if (starts_with(line, "SHA256 (")) return r.problem = SumsProblem::bsd_form, r;
  if (line.size() < kHexDigits + 3 || line[kHexDigits] != ' ' ||
      (line[kHexDigits + 1] != ' ' && line[kHexDigits + 1] != '*') ||
      !parse_hex(line.substr(0, kHexDigits), r.digest.data(), r.digest.size()))
    return r.problem = SumsProblem::malformed, r;
  r.name = line.substr(kHexDigits + 2);
  if (starts_with(r.name, "./")) r.name.remove_prefix(2);  // what `sha256sum ./*.cam` writes
  return r;
}

}  // namespace

std::optional<std::size_t> update_file_index(const std::string& name) {
  for (std::size_t i = 0; i < kUpdateFiles.size(); ++i)
    if (equal_ignoring_ascii_case(name, kUpdateFiles[i].name)) return i;
  return std::nullopt;
}

FolderSums parse_folder_sums(const std::uint8_t* data, std::size_t size) {
  FolderSums sums;
  const auto refuse = [&sums](SumsProblem problem, std::size_t line) {
    sums.problem = problem;
    sums.problem_line = line;
    sums.listed = {};
    sums.installer.reset();
    sums.ignored.clear();
    return sums;
  };
  if (size > kMaxSumsSize) return refuse(SumsProblem::too_large, 0);
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (starts_with(text, "\xFF\xFE") || starts_with(text, "\xFE\xFF") || text.find('\0') != std::string_view::npos)
    return refuse(SumsProblem::utf16, 0);
  if (starts_with(text, "\xEF\xBB\xBF")) text.remove_prefix(3);

  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // CRLF
    if (blank(line)) continue;
    const LineReading r = read_line(line);
    if (r.problem != SumsProblem::none) return refuse(r.problem, number);
    if (r.name.find('\r') != std::string_view::npos) return refuse(SumsProblem::malformed, number);
    const std::string name(r.name);
    // A name that is not UTF-8 cannot be one of ours: ignored like any other file's.
    const bool utf8 = is_valid_utf8(name);
    if (utf8 && (name.find_first_of("/\\") != std::string::npos || name.find("..") != std::string::npos))
      return refuse(SumsProblem::path_in_name, number);
    const std::optional<std::size_t> index = utf8 ? update_file_index(name) : std::nullopt;
    std::optional<Digest>* slot = index ? &sums.listed[*index] : nullptr;
    if (!slot && utf8 && equal_ignoring_ascii_case(name, kInstallerName)) slot = &sums.installer;
    if (!slot) {
      sums.ignored.push_back(name);
    } else if (*slot) {
      return refuse(SumsProblem::listed_twice, number);
    } else {
      *slot = r.digest;
    }
  }
  return sums;
}

std::string format_folder_sums(const std::array<std::optional<Digest>, kUpdateFiles.size()>& listed,
                               const std::optional<Digest>& installer) {
  std::string text;
  for (std::size_t i = 0; i < listed.size(); ++i)
    if (listed[i]) text += to_hex(*listed[i]) + "  " + kUpdateFiles[i].name + "\n";
  if (installer) text += to_hex(*installer) + "  " + kInstallerName + "\n";
  return text;
}

const char* sums_problem_name(SumsProblem problem) noexcept {
  switch (problem) {
    case SumsProblem::none: break;
    case SumsProblem::too_large: return "larger than 64 KiB";
    case SumsProblem::utf16: return "saved as UTF-16";
    case SumsProblem::bsd_form: return "written in the BSD form";
    case SumsProblem::escaped_line: return "a line escaped with a backslash";
    case SumsProblem::path_in_name: return "a name with a path";
    case SumsProblem::listed_twice: return "a file listed twice";
    case SumsProblem::malformed: return "not in the form of sha256sum";
  }
  return "well-formed";
}

}  // namespace pw
