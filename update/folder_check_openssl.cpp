// The verdict on a real folder, natively: standard streams for the files, OpenSSL
// (through sha256.h and signature.h) for the hashes and the signature.
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>

#include "update/folder_check.h"

namespace pw {

namespace {

constexpr std::size_t kSliceBytes = 1024 * 1024;

class NativeFolder final : public FolderEffectsWithKeys {
 public:
  NativeFolder(const std::string& folder, const TrustedKeys& keys,
               const std::function<void(const std::string&)>& hashing_begins)
      : FolderEffectsWithKeys(keys, hashing_begins), folder_(folder) {}

  FileBytes read_small_file(const char* name, std::size_t limit) override {
    FileBytes file;
    std::error_code error;
    if (!std::filesystem::exists(path_of(name), error)) return file;
    file.state = FileBytes::State::unreadable;
    std::ifstream in(path_of(name), std::ios::binary);
    if (!in) return file;
    file.bytes.resize(limit);
    in.read(reinterpret_cast<char*>(file.bytes.data()), static_cast<std::streamsize>(limit));
    if (in.bad()) return file;
    file.bytes.resize(static_cast<std::size_t>(in.gcount()));
    file.state = FileBytes::State::read;
    return file;
  }
  bool update_file_present(std::size_t index) override {
    std::error_code error;
    return std::filesystem::is_regular_file(path_of(kUpdateFiles[index].name), error);
  }
  std::optional<Digest> file_sha256(std::size_t index) override {
    return sha256_of_file(path_of(kUpdateFiles[index].name).string());
  }

 private:
  std::filesystem::path path_of(const char* name) const { return std::filesystem::path(folder_) / name; }

  std::string folder_;
};

}  // namespace

FolderVerdict check_update_folder(const std::string& folder_utf8, const TrustedKeys& keys,
                                  const std::function<void(const std::string&)>& hashing_begins) {
  NativeFolder folder(folder_utf8, keys, hashing_begins);
  return check_folder(keys.any(), folder);
}

std::optional<Digest> sha256_of_file(const std::string& path_utf8) {
  std::ifstream in(path_utf8, std::ios::binary);
  const std::unique_ptr<char[]> slice(new (std::nothrow) char[kSliceBytes]);
  if (!in || !slice) return std::nullopt;
  Sha256 hash;
  while (in) {
    in.read(slice.get(), kSliceBytes);
    hash.add(reinterpret_cast<const std::uint8_t*>(slice.get()), static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) return std::nullopt;
  return hash.finish();
}

}  // namespace pw
