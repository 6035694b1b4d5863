// A real folder read on Windows: files opened by their wide paths and read
// overlapped, each read bounded; hashes and signatures with CNG (through sha256.h
// and signature.h).
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "update/folder_check.h"
#include "win/handles.h"
#include "win/overlapped_pipe.h"
#include "win/wide_text.h"

namespace pw {

namespace {

const std::atomic<bool> kNeverStopped{false};

// Opened for overlapped reading; `share` says what others may do meanwhile.
UniqueHandle open_for_reading(const std::wstring& path, DWORD share) {
  return UniqueHandle(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

bool plainly_absent(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// Reads `size` bytes of `file` in bounded slices through one slice buffer,
// handing each to `each`. A read lost to the system keeps the buffer.
ReadEnd read_through_slices(HANDLE file, std::uint64_t size, const std::atomic<bool>& stop,
                            const std::function<void(const std::uint8_t*, std::uint32_t)>& each) {
  std::unique_ptr<std::uint8_t[]> slice(new (std::nothrow) std::uint8_t[kReadSliceBytes]);
  if (!slice) throw std::bad_alloc();
  OverlappedPipe reads(file);
  SystemClock clock;
  ReadSlices slices;
  slices.buffer_at = [&](std::uint64_t, std::uint32_t) { return slice.get(); };
  slices.read = each;
  const ReadEnd end = read_bounded(reads, clock, size, slices, stop);
  if (end == ReadEnd::lost) keep_for_the_system(std::move(slice));
  return end;
}

class WindowsFolder final : public FolderEffectsWithKeys {
 public:
  WindowsFolder(const std::string& folder, const TrustedKeys& keys, const std::atomic<bool>& stop,
                const std::function<void(const std::string&)>& hashing_begins)
      : FolderEffectsWithKeys(keys, hashing_begins), folder_(widen(folder)), stop_(stop) {}

  FileBytes read_small_file(const char* name, std::size_t limit) override {
    FileBytes file;
    const UniqueHandle handle = open_for_reading(path_of(name), FILE_SHARE_READ);
    if (!handle) {
      // Anything but plain absence (a folder of that name, no access) is no file to pass over.
      if (!plainly_absent(::GetLastError())) file.state = FileBytes::State::unreadable;
      return file;
    }
    file.state = FileBytes::State::unreadable;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle.get(), &size)) return file;
    const std::uint64_t wanted = std::min<std::uint64_t>(static_cast<std::uint64_t>(size.QuadPart), limit);
    file.bytes.reserve(static_cast<std::size_t>(wanted));
    const ReadEnd end = read_through_slices(handle.get(), wanted, stop_, [&](const std::uint8_t* data, std::uint32_t n) {
      file.bytes.insert(file.bytes.end(), data, data + n);
    });
    if (end == ReadEnd::done) file.state = FileBytes::State::read;
    return file;
  }

  FolderFile read_file(const char* name) override {
    const bool installer = std::strcmp(name, kInstallerName) == 0;
    // An update file is read with sharing denied, as it was always checked: one
    // that another program holds open is locked. The installer lets the system
    // read it to start it while it is held unchanged.
    UniqueHandle handle = open_for_reading(path_of(name), installer ? FILE_SHARE_READ : 0);
    FolderFile file;
    if (!handle) {
      file.probe.open = plainly_absent(::GetLastError()) ? FileProbe::Open::missing : FileProbe::Open::not_openable;
      return file;
    }
    file.probe.open = FileProbe::Open::opened;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle.get(), &size)) {
      FolderFileReading(file).finish(ReadEnd::failed);
      return file;
    }
    file.size = static_cast<std::uint64_t>(size.QuadPart);
    FolderFileReading reading(file);
    reading.finish(read_through_slices(handle.get(), file.size, stop_,
                                       [&](const std::uint8_t* data, std::uint32_t n) { reading.add(data, n); }));
    if (installer) held_installer_ = std::move(handle);
    return file;
  }

  UniqueHandle take_held_installer() noexcept { return std::move(held_installer_); }

 private:
  std::wstring path_of(const char* name) const { return folder_ + L"\\" + widen(name); }

  std::wstring folder_;
  const std::atomic<bool>& stop_;
  UniqueHandle held_installer_;
};

}  // namespace

UpdateFolder read_update_folder(const std::string& folder_utf8, const TrustedKeys& keys,
                                const std::atomic<bool>& stop,
                                const std::function<void(const std::string&)>& hashing_begins) {
  WindowsFolder folder(folder_utf8, keys, stop, hashing_begins);
  return read_update_folder(folder_utf8, keys.any(), folder);
}

CheckedInstaller check_installer(const std::string& folder_utf8, const TrustedKeys& keys,
                                 const std::atomic<bool>& stop) {
  const std::function<void(const std::string&)> no_step;
  WindowsFolder folder(folder_utf8, keys, stop, no_step);
  CheckedInstaller checked;
  checked.verdict = check_installer(keys.any(), folder);
  checked.path = folder_utf8 + "\\" + kInstallerName;
  if (UniqueHandle held = folder.take_held_installer())
    checked.hold = std::shared_ptr<void>(held.release(), [](void* handle) { ::CloseHandle(handle); });
  return checked;
}

std::optional<Digest> sha256_of_file(const std::string& path_utf8) {
  const UniqueHandle file = open_for_reading(widen(path_utf8), FILE_SHARE_READ);
  LARGE_INTEGER size{};
  if (!file || !::GetFileSizeEx(file.get(), &size)) return std::nullopt;
  Sha256 hash;
  const ReadEnd end = read_through_slices(file.get(), static_cast<std::uint64_t>(size.QuadPart), kNeverStopped,
                                          [&](const std::uint8_t* data, std::uint32_t n) { hash.add(data, n); });
  if (end != ReadEnd::done) return std::nullopt;
  return hash.finish();
}

}  // namespace pw
