// A real folder read natively: standard streams for the files, OpenSSL (through
// sha256.h and signature.h) for the hashes and the signature. The reads of a local
// disk need no bound here; a stop is looked at between slices.
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>

#include "update/folder_check.h"

namespace pw {

namespace {

constexpr std::size_t kSliceBytes = kReadSliceBytes;
const std::atomic<bool> kNeverStopped{false};

// Hands each slice of the stream to `each`; done, failed or stopped.
ReadEnd read_through_slices(std::ifstream& in, const std::atomic<bool>& stop,
                            const std::function<void(const std::uint8_t*, std::uint32_t)>& each) {
  const std::unique_ptr<char[]> slice(new char[kSliceBytes]);
  while (in) {
    if (stop.load(std::memory_order_acquire)) return ReadEnd::stopped;
    in.read(slice.get(), kSliceBytes);
    if (in.gcount() > 0)
      each(reinterpret_cast<const std::uint8_t*>(slice.get()), static_cast<std::uint32_t>(in.gcount()));
  }
  return in.bad() ? ReadEnd::failed : ReadEnd::done;
}

class NativeFolder final : public FolderEffectsWithKeys {
 public:
  NativeFolder(const std::string& folder, const TrustedKeys& keys, const std::atomic<bool>& stop,
               const std::function<void(const std::string&)>& hashing_begins)
      : FolderEffectsWithKeys(keys, hashing_begins), folder_(folder), stop_(stop) {}

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

  FolderFile read_file(const char* name) override {
    FolderFile file;
    std::error_code error;
    if (!std::filesystem::is_regular_file(path_of(name), error)) {
      file.probe.open = std::filesystem::exists(path_of(name), error) ? FileProbe::Open::not_openable
                                                                       : FileProbe::Open::missing;
      return file;
    }
    std::ifstream in(path_of(name), std::ios::binary);
    if (!in) {
      file.probe.open = FileProbe::Open::not_openable;
      return file;
    }
    file.probe.open = FileProbe::Open::opened;
    FolderFileReading reading(file);
    std::error_code size_error;
    file.size = std::filesystem::file_size(path_of(name), size_error);
    reading.finish(read_through_slices(in, stop_, [&](const std::uint8_t* data, std::uint32_t n) { reading.add(data, n); }));
    return file;
  }

 private:
  std::filesystem::path path_of(const char* name) const { return std::filesystem::path(folder_) / name; }

  std::string folder_;
  const std::atomic<bool>& stop_;
};

}  // namespace

UpdateFolder read_update_folder(const std::string& folder_utf8, const TrustedKeys& keys,
                                const std::atomic<bool>& stop,
                                const std::function<void(const std::string&)>& hashing_begins) {
  NativeFolder folder(folder_utf8, keys, stop, hashing_begins);
  return read_update_folder(folder_utf8, keys.any(), folder);
}

CheckedInstaller check_installer(const std::string& folder_utf8, const TrustedKeys& keys,
                                 const std::atomic<bool>& stop) {
  const std::function<void(const std::string&)> no_step;
  NativeFolder folder(folder_utf8, keys, stop, no_step);
  CheckedInstaller checked;
  checked.verdict = check_installer(keys.any(), folder);
  checked.path = (std::filesystem::path(folder_utf8) / kInstallerName).string();
  return checked;
}

std::optional<Digest> sha256_of_file(const std::string& path_utf8) {
  std::ifstream in(path_utf8, std::ios::binary);
  if (!in) return std::nullopt;
  Sha256 hash;
  if (read_through_slices(in, kNeverStopped, [&](const std::uint8_t* data, std::uint32_t n) { hash.add(data, n); }) !=
      ReadEnd::done)
    return std::nullopt;
  return hash.finish();
}

}  // namespace pw
