#include "tests/e2e/fault_rig.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <ostream>

namespace pw::e2e {

namespace {

bool is_sent(const tools::Bytes& file) {
  return check_update_header(file.data(), file.size()) == HeaderVerdict::send;
}

std::wstring widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
  return wide;
}

// The "\\?\" form, which the wide calls take beyond MAX_PATH.
std::wstring long_form(const std::string& path) { return L"\\\\?\\" + widen(path); }

bool remove_tree_once(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree_once(path);
      } else {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(path.c_str());
      }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  return ::RemoveDirectoryW(folder.c_str()) || ::GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES;
}

// The payload generator of tools::generated_payload, resumable block by block.
class PayloadStream {
 public:
  explicit PayloadStream(std::uint32_t seed) : x_(seed ? seed : 1) {}
  void fill(std::uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      x_ ^= x_ << 13;
      x_ ^= x_ >> 17;
      x_ ^= x_ << 5;
      out[i] = static_cast<std::uint8_t>(x_);
    }
  }

 private:
  std::uint32_t x_;
};

constexpr std::size_t kBlock = 1 << 20;

}  // namespace

std::vector<tools::Bytes> write_planned_files(UpdaterRig& rig, const std::vector<PlannedFile>& files) {
  std::vector<tools::Bytes> sent;
  std::uint32_t seed = 11;
  for (const char* name : kUpdateFileOrder) {
    for (const PlannedFile& file : files) {
      if (std::string(file.name) != name) continue;
      tools::Bytes contents = rig.write_update_file(name, file.payload, file.flag, seed);
      if (is_sent(contents)) sent.push_back(std::move(contents));
    }
    seed += 7;
  }
  return sent;
}

::testing::AssertionResult delivered_honestly(const tools::Bytes& capture, const tools::Bytes& stream,
                                              bool reported_finished) {
  const std::size_t common = static_cast<std::size_t>(
      std::mismatch(capture.begin(), capture.begin() + std::min(capture.size(), stream.size()), stream.begin())
          .first -
      capture.begin());
  if (capture.size() > stream.size() || common < capture.size()) {
    return ::testing::AssertionFailure() << "the device received " << capture.size() << " bytes, of which only the first "
                                         << common << " follow the " << stream.size()
                                         << "-byte update stream";
  }
  if (reported_finished && capture.size() != stream.size()) {
    return ::testing::AssertionFailure() << "reported as finished, but the device received " << capture.size()
                                         << " of " << stream.size() << " bytes";
  }
  return ::testing::AssertionSuccess();
}

tools::Bytes settled_capture(const UpdaterRig& rig, std::size_t size, Millis timeout) {
  rig.wait_capture_size(size, timeout);
  return rig.capture();
}

::testing::AssertionResult run_to_end(DialogApp& app, const Expectation& expected, Millis timeout,
                                      std::vector<SeenBox>* shown, std::size_t first_box) {
  std::vector<std::string> wanted;
  for (const Shown& s : expected.required) wanted.push_back(s.text());
  const std::size_t required_count = wanted.size();
  for (const Shown& s : expected.allowed) wanted.push_back(s.text());
  for (const std::string& text : wanted) app.auto_answer(text);

  const std::size_t earlier = first_box == kBoxesFromNow ? app.boxes_seen().size() : first_box;
  const auto since_start = [&] {
    const std::vector<SeenBox>& all = app.boxes_seen();
    return std::vector<SeenBox>(all.begin() + static_cast<std::ptrdiff_t>(std::min(earlier, all.size())), all.end());
  };
  const auto known = [&](const std::string& text) {
    return std::any_of(wanted.begin(), wanted.end(), [&](const std::string& w) { return box_text_matches(text, w); });
  };
  const auto seen = [&](const std::string& text) {
    const std::vector<SeenBox> boxes = since_start();
    return std::any_of(boxes.begin(), boxes.end(), [&](const SeenBox& b) { return box_text_matches(b.text, text); });
  };
  // A box nobody answers would only run the clock down: it fails the run at once.
  const auto unexpected_open = [&] {
    for (HWND box : app.open_message_boxes()) {
      const std::string text = message_box_text(box);
      // A box on its way out may have lost its text already: only a whole one counts.
      if (::GetDlgItem(box, kMessageBoxTextId) != nullptr && !known(text)) return true;
    }
    return false;
  };
  const auto all_required_seen = [&] {
    for (std::size_t i = 0; i < required_count; ++i)
      if (!seen(wanted[i])) return false;
    return true;
  };
  const bool settled = app.wait_until(
      [&] {
        if (unexpected_open()) return true;
        if (expected.ending == Ending::exits) return !app.process().running();
        return all_required_seen() && app.open_message_boxes().empty();
      },
      timeout);
  const std::vector<SeenBox> boxes = since_start();
  if (shown) *shown = boxes;
  for (const SeenBox& box : boxes)
    if (!known(box.text)) return ::testing::AssertionFailure() << "unexpected box \"" << box.text << "\"; " << app.describe();
  if (!settled) return ::testing::AssertionFailure() << "no end in time: " << app.describe();
  if (expected.ending == Ending::exits) {
    const std::optional<DWORD> code = app.process().exit_code();
    if (!code || *code != 0)
      return ::testing::AssertionFailure() << "exit status " << (code ? std::to_string(*code) : "none") << ": "
                                           << app.describe();
  } else if (!app.process().running()) {
    return ::testing::AssertionFailure() << "the program ended: " << app.describe();
  }
  for (std::size_t i = 0; i < required_count; ++i)
    if (!seen(wanted[i]))
      return ::testing::AssertionFailure() << "never shown: \"" << wanted[i] << "\"; " << app.describe();
  return ::testing::AssertionSuccess();
}

int thread_count(DWORD pid) {
  UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry))
    if (entry.th32OwnerProcessID == pid) ++count;
  return count;
}

namespace {

// Wine's own exports, absent on Windows.
using UnixNameFn = char*(__cdecl*)(const WCHAR*);
using DosNameFn = WCHAR*(__cdecl*)(const char*);

std::string unix_name_of(const std::string& path) {
  const auto fn = reinterpret_cast<UnixNameFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (!fn) return std::string();
  char* name = fn(widen(path).c_str());
  if (!name) return std::string();
  std::string result = name;
  ::HeapFree(::GetProcessHeap(), 0, name);
  return result;
}

std::string dos_name_of(const char* unix_path) {
  const auto fn = reinterpret_cast<DosNameFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_dos_file_name")));
  if (!fn) return std::string();
  WCHAR* name = fn(unix_path);
  if (!name) return std::string();
  char narrow[MAX_PATH] = {};
  ::WideCharToMultiByte(CP_ACP, 0, name, -1, narrow, sizeof narrow, nullptr, nullptr);
  ::HeapFree(::GetProcessHeap(), 0, name);
  return narrow;
}

// Runs a program of the host system (Wine starts those too); its end cannot be
// waited for, so callers poll for its effect.
bool run_host_program(const char* unix_program, const std::string& arguments) {
  const std::string program = dos_name_of(unix_program);
  if (program.empty()) return false;
  std::string command_line = std::string(unix_program) + " " + arguments;
  std::vector<char> command(command_line.begin(), command_line.end());
  command.push_back('\0');
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
    return false;
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  return true;
}

bool is_folder(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

ScopedDriveLetter::ScopedDriveLetter(const std::string& folder, const char* candidates) {
  const DWORD in_use = ::GetLogicalDrives();
  for (const char* c = candidates; *c; ++c) {
    if (in_use & (1u << (*c - 'A'))) continue;
    const std::string device = std::string(1, *c) + ":";
    char existing[MAX_PATH];
    if (::QueryDosDeviceA(device.c_str(), existing, MAX_PATH) != 0) continue;
    if (map(device, folder)) return;
  }
}

bool ScopedDriveLetter::map(const std::string& device, const std::string& folder) {
  const std::string root = device + "\\";
  if (::DefineDosDeviceA(0, device.c_str(), folder.c_str())) {
    if (is_folder(root)) {
      device_ = device;
      target_ = folder;
      return true;
    }
    ::DefineDosDeviceA(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, device.c_str(), folder.c_str());
  }
  char prefix[MAX_PATH];
  const DWORD n = ::GetEnvironmentVariableA("WINEPREFIX", prefix, MAX_PATH);
  const std::string unix_folder = unix_name_of(folder);
  if (n == 0 || n >= MAX_PATH || unix_folder.empty() || unix_folder.find(' ') != std::string::npos) return false;
  std::string link = std::string(prefix) + "/dosdevices/" + static_cast<char>(std::tolower(device[0])) + ":";
  if (link.find(' ') != std::string::npos || !run_host_program("/bin/ln", "-s " + unix_folder + " " + link))
    return false;
  if (!poll_until([&] { return is_folder(root); }, Millis{10000})) {
    run_host_program("/bin/rm", "-f " + link);
    return false;
  }
  device_ = device;
  unix_link_ = link;
  return true;
}

ScopedDriveLetter::~ScopedDriveLetter() {
  if (!ok()) return;
  if (!unix_link_.empty()) {
    const std::string drive = root();
    run_host_program("/bin/rm", "-f " + unix_link_);
    poll_until([&] { return !is_folder(drive); }, Millis{10000});
    return;
  }
  ::DefineDosDeviceA(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, device_.c_str(), target_.c_str());
}

bool create_folder_chain(const std::string& path) {
  // Every prefix that ends before a separator, past the drive's own ("C:\").
  for (std::size_t i = 3; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '\\') continue;
    const std::wstring folder = long_form(path.substr(0, i));
    if (!::CreateDirectoryW(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return true;
}

bool write_file_anywhere(const std::string& path, const tools::Bytes& bytes) {
  UniqueHandle file(::CreateFileW(long_form(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool remove_tree_anywhere(const std::string& folder) {
  const std::wstring root = long_form(folder);
  return poll_until([&] { return remove_tree_once(root); }, Millis{10000});
}

void StreamDigest::add(const std::uint8_t* data, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    hash ^= data[i];
    hash *= 0x100000001b3ull;
  }
  size += n;
}

std::ostream& operator<<(std::ostream& os, const StreamDigest& digest) {
  return os << digest.size << " bytes, hash " << std::hex << digest.hash << std::dec;
}

std::optional<StreamDigest> write_large_update_file(const std::string& path, std::uint64_t payload_size,
                                                    std::uint8_t send_flag, std::uint32_t seed) {
  UniqueHandle file(
      ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  const auto put = [&](const std::uint8_t* data, std::size_t n) {
    DWORD written = 0;
    return ::WriteFile(file.get(), data, static_cast<DWORD>(n), &written, nullptr) && written == n;
  };
  tools::CamFields cam;
  cam.send_flag = send_flag;
  cam.filler = 0xA5;
  cam.command = tools::generated_payload(46, seed + 1000);
  const tools::Bytes header = tools::build_update_file(cam, {});
  if (!put(header.data(), header.size())) return std::nullopt;

  StreamDigest digest;
  const std::uint8_t identify = 0x40;
  digest.add(&identify, 1);
  digest.add(header.data(), kCommandHeaderSize);
  PayloadStream payload(seed);
  std::vector<std::uint8_t> block(kBlock);
  for (std::uint64_t left = payload_size; left > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
    payload.fill(block.data(), n);
    if (!put(block.data(), n)) return std::nullopt;
    digest.add(block.data(), n);
    left -= n;
  }
  return digest;
}

std::optional<StreamDigest> digest_of_file(const std::string& path) {
  UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return std::nullopt;
  StreamDigest digest;
  std::vector<std::uint8_t> block(kBlock);
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file.get(), block.data(), static_cast<DWORD>(block.size()), &read, nullptr)) return std::nullopt;
    if (read == 0) return digest;
    digest.add(block.data(), read);
  }
}

std::string install_updater_with_lang(const std::string& folder, const std::optional<std::string>& lang_ini) {
  UpdaterFiles files;
  files.lang_ini = false;
  const std::string exe = install_updater(folder, files);
  if (exe.empty()) return exe;
  if (lang_ini && !write_text_file(join_path(folder, kLangIni), *lang_ini)) return std::string();
  return exe;
}

std::string current_test_label() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info ? std::string(info->test_suite_name()) + "." + info->name() : std::string("no-test");
}

void keep_screenshots_on_failure(const DialogApp& app) {
  if (!::testing::Test::HasFailure()) return;
  const std::string folder = join_path(bin_folder(), "e2e-failures");
  ::CreateDirectoryA(folder.c_str(), nullptr);
  app.save_screenshots(join_path(folder, unique_name(current_test_label())));
}

}  // namespace pw::e2e
