// The verdict on a real folder on Windows: files read by their wide paths, hashed
// and verified with CNG (through sha256.h and signature.h).
#include <windows.h>

#include <memory>
#include <new>

#include "update/folder_check.h"
#include "win/handles.h"
#include "win/wide_text.h"

namespace pw {

namespace {

constexpr DWORD kSliceBytes = 1024 * 1024;

UniqueHandle open_for_reading(const std::wstring& path) {
  return UniqueHandle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

class WindowsFolder final : public FolderEffectsWithKeys {
 public:
  WindowsFolder(const std::string& folder, const TrustedKeys& keys,
                const std::function<void(const std::string&)>& hashing_begins)
      : FolderEffectsWithKeys(keys, hashing_begins), folder_(widen(folder)) {}

  FileBytes read_small_file(const char* name, std::size_t limit) override {
    FileBytes file;
    const UniqueHandle handle = open_for_reading(path_of(name));
    if (!handle) {
      const DWORD error = ::GetLastError();
      // Anything but plain absence (a folder of that name, no access) is no file to pass over.
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) file.state = FileBytes::State::unreadable;
      return file;
    }
    file.state = FileBytes::State::unreadable;
    file.bytes.resize(limit);
    std::size_t done = 0;
    while (done < limit) {
      DWORD read = 0;
      if (!::ReadFile(handle.get(), file.bytes.data() + done, static_cast<DWORD>(limit - done), &read, nullptr))
        return file;
      if (read == 0) break;
      done += read;
    }
    file.bytes.resize(done);
    file.state = FileBytes::State::read;
    return file;
  }
  bool update_file_present(std::size_t index) override {
    const DWORD attributes = ::GetFileAttributesW(path_of(kUpdateFiles[index].name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
  std::optional<Digest> file_sha256(std::size_t index) override {
    return sha256_of_file(narrow(path_of(kUpdateFiles[index].name)));
  }

 private:
  std::wstring path_of(const char* name) const { return folder_ + L"\\" + widen(name); }

  std::wstring folder_;
};

}  // namespace

FolderVerdict check_update_folder(const std::string& folder_utf8, const TrustedKeys& keys,
                                  const std::function<void(const std::string&)>& hashing_begins) {
  WindowsFolder folder(folder_utf8, keys, hashing_begins);
  return check_folder(keys.any(), folder);
}

std::optional<Digest> sha256_of_file(const std::string& path_utf8) {
  const UniqueHandle file = open_for_reading(widen(path_utf8));
  const std::unique_ptr<std::uint8_t[]> slice(new (std::nothrow) std::uint8_t[kSliceBytes]);
  if (!file || !slice) return std::nullopt;
  Sha256 hash;
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file.get(), slice.get(), kSliceBytes, &read, nullptr)) return std::nullopt;
    if (read == 0) return hash.finish();
    hash.add(slice.get(), read);
  }
}

}  // namespace pw
