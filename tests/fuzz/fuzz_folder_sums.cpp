// The update folder's list (SHA256SUMS) and signature (DER) readers on arbitrary
// bytes: what they take, written out again, reads back the same.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lang/utf.h"
#include "tests/fuzz/fuzz_check.h"
#include "update/folder_sums.h"
#include "update/signature.h"

namespace {

void check_list(const std::uint8_t* data, std::size_t size) {
  const pw::FolderSums sums = pw::parse_folder_sums(data, size);
  if (sums.problem != pw::SumsProblem::none) {
    for (const auto& listed : sums.listed) FUZZ_CHECK(!listed);
    FUZZ_CHECK(sums.ignored.empty() && !sums.installer);
    return;
  }
  FUZZ_CHECK(size <= pw::kMaxSumsSize);
  FUZZ_CHECK(std::memchr(data, 0, size) == nullptr);
  for (const std::string& name : sums.ignored) {
    FUZZ_CHECK(!pw::update_file_index(name));
    // A name that is not UTF-8 is some other file's whatever it holds; any other is a plain name.
    FUZZ_CHECK(!pw::is_valid_utf8(name) ||
               (name.find_first_of("/\\") == std::string::npos && name.find("..") == std::string::npos));
  }
  const std::string again = pw::format_folder_sums(sums.listed, sums.installer);
  const pw::FolderSums reread =
      pw::parse_folder_sums(reinterpret_cast<const std::uint8_t*>(again.data()), again.size());
  FUZZ_CHECK(reread.problem == pw::SumsProblem::none && reread.ignored.empty() && reread.listed == sums.listed &&
             reread.installer == sums.installer);
}

// Strict DER has one encoding a value: a signature taken is its own re-encoding.
void check_signature(const std::uint8_t* data, std::size_t size) {
  const std::optional<pw::RawSignature> raw = pw::raw_signature_of_der(data, size);
  if (!raw) return;
  const std::vector<std::uint8_t> der = pw::der_of_raw_signature(*raw);
  FUZZ_CHECK(der.size() == size && std::memcmp(der.data(), data, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // In a heap block of exactly its size, so a read past the end is caught by ASan.
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  check_list(copy.get(), size);
  check_signature(copy.get(), size);
  bool stray = false;
  for (const std::string& block :
       pw::pem_blocks(std::string_view(reinterpret_cast<const char*>(copy.get()), size), "PUBLIC KEY", &stray))
    FUZZ_CHECK(block.rfind("-----BEGIN PUBLIC KEY-----\n", 0) == 0);
  return 0;
}
