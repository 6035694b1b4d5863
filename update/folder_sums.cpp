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
  if (r.name.find_first_of("/\\") != std::string_view::npos || r.name.find("..") != std::string_view::npos)
    r.problem = SumsProblem::path_in_name;
  return r;
}

}  // namespace

std::optional<std::size_t> update_file_index(const std::string& name) {
  for (std::size_t i = 0; i < kUpdateFiles.size(); ++i) {
    const std::string_view file = kUpdateFiles[i].name;
    if (file.size() != name.size()) continue;
    std::size_t k = 0;
    while (k < name.size() && ascii_lower(name[k]) == ascii_lower(file[k])) ++k;
    if (k == name.size()) return i;
  }
  return std::nullopt;
}

FolderSums parse_folder_sums(const std::uint8_t* data, std::size_t size) {
  FolderSums sums;
  const auto refuse = [&sums](SumsProblem problem, std::size_t line) {
    sums.problem = problem;
    sums.problem_line = line;
    sums.listed = {};
    sums.ignored.clear();
    return sums;
  };
  if (size > kMaxSumsSize) return refuse(SumsProblem::too_large, 0);
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (starts_with(text, "\xFF\xFE") || starts_with(text, "\xFE\xFF") || text.find('\0') != std::string_view::npos)
    return refuse(SumsProblem::utf16, 0);
  if (starts_with(text, "\xEF\xBB\xBF")) text.remove_prefix(3);
  if (!is_valid_utf8(text)) return refuse(SumsProblem::malformed, 0);

  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // CRLF
    const LineReading r = read_line(line);
    if (r.problem != SumsProblem::none) return refuse(r.problem, number);
    if (r.name.find('\r') != std::string_view::npos) return refuse(SumsProblem::malformed, number);
    const std::string name(r.name);
    const std::optional<std::size_t> index = update_file_index(name);
    if (!index) {
      sums.ignored.push_back(name);
    } else if (sums.listed[*index]) {
      return refuse(SumsProblem::listed_twice, number);
    } else {
      sums.listed[*index] = r.digest;
    }
  }
  return sums;
}

std::string format_folder_sums(const std::array<std::optional<Digest>, kUpdateFiles.size()>& listed) {
  std::string text;
  for (std::size_t i = 0; i < listed.size(); ++i)
    if (listed[i]) text += to_hex(*listed[i]) + "  " + kUpdateFiles[i].name + "\n";
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
