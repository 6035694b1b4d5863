#include "tools/driver/driver.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <thread>

#include "sim/sim_control.h"

namespace pw::e2e {

namespace {

using Clock = std::chrono::steady_clock;

bool iequal(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The name of "NAME=value"; drive entries ("=C:=C:\x") keep their leading '='.
std::string entry_name(const std::string& entry) {
  const std::string::size_type eq = entry.find('=', 1);
  return entry.substr(0, eq == std::string::npos ? entry.size() : eq);
}

std::vector<std::string> inherited_environment() {
  std::vector<std::string> entries;
  char* block = ::GetEnvironmentStringsA();
  if (!block) return entries;
  for (const char* p = block; *p; p += std::strlen(p) + 1) entries.emplace_back(p);
  ::FreeEnvironmentStringsA(block);
  return entries;
}


struct EnumState {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK collect_dialog(HWND hwnd, LPARAM lp) {
  auto* state = reinterpret_cast<EnumState*>(lp);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  if (pid == state->pid && ::IsWindowVisible(hwnd) && class_name(hwnd) == "#32770") state->found.push_back(hwnd);
  return TRUE;
}

BOOL CALLBACK collect_window(HWND hwnd, LPARAM lp) {
  auto* state = reinterpret_cast<EnumState*>(lp);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  if (pid == state->pid) state->found.push_back(hwnd);
  return TRUE;
}

BOOL CALLBACK count_text_ids(HWND child, LPARAM lp) {
  if (::GetDlgCtrlID(child) == kMessageBoxTextId) ++*reinterpret_cast<int*>(lp);
  return TRUE;
}

// Appends " id=\"text\"" for one control, " (disabled)" when it is.
BOOL CALLBACK describe_control(HWND child, LPARAM lp) {
  std::string& out = *reinterpret_cast<std::string*>(lp);
  out += "\n    " + std::to_string(::GetDlgCtrlID(child)) + "=\"" + window_text(child) + "\"";
  if (!::IsWindowEnabled(child)) out += " (disabled)";
  return TRUE;
}

}  // namespace

bool poll_until(const std::function<bool()>& condition, Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

// ---- Files and folders -----------------------------------------------------------

std::string bin_folder() {
  char buffer[MAX_PATH];
  const DWORD n = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  std::string path(buffer, n);
  path.resize(path.find_last_of("\\/") + 1);
  return path;
}

std::string join_path(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  const char last = folder.back();
  if (last == '\\' || last == '/') return folder + name;
  return folder + "\\" + name;
}

std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

std::string utf8(const wchar_t* text) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.pop_back();
  return out;
}

bool make_folder(const std::string& path) { return ::CreateDirectoryW(wide(path).c_str(), nullptr) != 0; }

bool file_exists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool copy_file(const std::string& from, const std::string& to) {
  return ::CopyFileW(wide(from).c_str(), wide(to).c_str(), FALSE) != 0;
}

bool write_text_file(const std::string& path, const std::string& text) {
  UniqueHandle file(
      ::CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

std::string read_profile_string(const std::string& ini_path, const std::string& section, const std::string& key) {
  char buffer[1024] = {};
  ::GetPrivateProfileStringA(section.c_str(), key.c_str(), "", buffer, sizeof buffer, ini_path.c_str());
  return buffer;
}

std::string unique_name(const std::string& prefix) {
  static std::atomic<unsigned> counter{0};
  std::string name = prefix + "-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++counter);
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
  return name;
}

ScratchFolder::ScratchFolder(const std::string& label) {
  const std::string root = join_path(bin_folder(), "e2e-scratch");
  make_folder(root);
  const std::string path = join_path(root, unique_name(label));
  // Process ids repeat from one Wine server to the next: a folder a killed run left is stale.
  if (make_folder(path) || (remove_tree(path) && make_folder(path))) path_ = path;
}

ScratchFolder::~ScratchFolder() {
  if (path_.empty()) return;
  char keep[8];
  if (::GetEnvironmentVariableA("PUSHWELL_E2E_KEEP", keep, sizeof keep) > 0) return;
  remove_tree(path_);
}

std::string ScratchFolder::subfolder(const std::string& name) const {
  const std::string path = file(name);
  make_folder(path);
  return path;
}

namespace {

// One pass over the tree; true when the folder is gone.
bool remove_tree_once(const std::string& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW(wide(join_path(folder, "*")).c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = utf8(found.cFileName);
      if (name == "." || name == "..") continue;
      const std::wstring path = wide(join_path(folder, name));
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree_once(join_path(folder, name));
      } else {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(path.c_str());
      }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  const std::wstring path = wide(folder);
  return ::RemoveDirectoryW(path.c_str()) || ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool remove_tree(const std::string& folder, Millis timeout) {
  return poll_until([&] { return remove_tree_once(folder); }, timeout);
}

std::string install_updater(const std::string& folder, const UpdaterFiles& files) {
  const std::string bin = bin_folder();
  std::vector<std::pair<const char*, const char*>> copies{{kUpdaterExe, kUpdaterExe}};
  if (files.lang_ini) copies.emplace_back(kLangIni, kLangIni);
  if (files.library) copies.emplace_back(kLibraryUnderTest, kLibraryDll);
  for (const auto& [from, to] : copies)
    if (!copy_file(join_path(bin, from), join_path(folder, to))) return std::string();
  return join_path(folder, kUpdaterExe);
}

// ---- Processes -------------------------------------------------------------------

std::vector<std::string> merge_environment(const std::vector<std::string>& inherited, const EnvVars& extra) {
  std::vector<std::string> merged = inherited;
  for (const auto& [name, value] : extra) {
    merged.erase(std::remove_if(merged.begin(), merged.end(),
                                [&](const std::string& e) { return iequal(entry_name(e), name); }),
                 merged.end());
    if (!value.empty()) merged.push_back(name + "=" + value);
  }
  // Drive entries start with '=' and so sort first, as the system keeps them.
  std::stable_sort(merged.begin(), merged.end(), [](const std::string& a, const std::string& b) {
    return upper(entry_name(a)) < upper(entry_name(b));
  });
  return merged;
}

Process::~Process() { kill(); }

bool Process::start(const std::string& exe_path, const LaunchOptions& options) {
  kill();
  error_.clear();

  std::string block;
  for (const std::string& entry : merge_environment(inherited_environment(), options.environment)) {
    block += entry;
    block += '\0';
  }
  block += '\0';

  std::string command_line = "\"" + exe_path + "\"";
  if (!options.arguments.empty()) command_line += " " + options.arguments;
  std::wstring command = wide(command_line);

  // A job ends the program's own children with it (the driver installer, say).
  // Not every host allows one; the program itself is killed in any case.
  job_.reset(::CreateJobObjectA(nullptr, nullptr));
  if (job_) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
      job_.reset();
  }

  // Paths are UTF-8, so folders named in any language work.
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  UniqueHandle output;
  if (!options.output_path.empty()) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    output.reset(::CreateFileW(wide(options.output_path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output) {
      error_ = "cannot create " + options.output_path;
      return false;
    }
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
  }
  UniqueHandle error;
  if (output && !options.error_path.empty()) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    error.reset(::CreateFileW(wide(options.error_path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (error) startup.hStdError = error.get();
  }
  const DWORD flags = CREATE_SUSPENDED | (options.new_console ? CREATE_NEW_CONSOLE : 0);
  PROCESS_INFORMATION info{};
  const std::wstring directory = wide(options.current_directory);
  const bool created = sim::create_process_tried(
      [&] {
        return ::CreateProcessW(wide(exe_path).c_str(), &command[0], nullptr, nullptr, output ? TRUE : FALSE, flags,
                                block.data(), directory.empty() ? nullptr : directory.c_str(), &startup, &info) != 0;
      },
      exe_path, &error_);
  if (!created) {
    job_.reset();
    return false;
  }
  process_.reset(info.hProcess);
  UniqueHandle thread(info.hThread);
  id_ = info.dwProcessId;
  if (job_ && !::AssignProcessToJobObject(job_.get(), process_.get())) job_.reset();
  ::ResumeThread(thread.get());
  return true;
}

bool Process::running() const noexcept {
  return process_.valid() && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

std::optional<DWORD> Process::wait_for_exit(Millis timeout) {
  if (!process_) return std::nullopt;
  if (::WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return std::nullopt;
  return exit_code();
}

std::optional<DWORD> Process::exit_code() const noexcept {
  DWORD code = 0;
  if (running() || !process_ || !::GetExitCodeProcess(process_.get(), &code)) return std::nullopt;
  return code;
}

void Process::kill() noexcept {
  if (job_) ::TerminateJobObject(job_.get(), 1);
  if (running()) {
    ::TerminateProcess(process_.get(), 1);
    ::WaitForSingleObject(process_.get(), 10000);
  }
  job_.reset();
}

int Process::processes_alive() const noexcept {
  // The system's own processes a program brings up (its console's host, Wine's
  // desktop) may land in the job too; they are no part of the program.
  struct List {
    JOBOBJECT_BASIC_PROCESS_ID_LIST header;
    ULONG_PTR more[63];
  } list{};
  if (!job_ || !::QueryInformationJobObject(job_.get(), JobObjectBasicProcessIdList, &list, sizeof list, nullptr))
    return -1;
  wchar_t windows[MAX_PATH];
  const UINT windows_length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  const std::string system_folder = upper(utf8(windows)) + "\\";
  int alive = 0;
  for (DWORD i = 0; i < list.header.NumberOfProcessIdsInList && i < 64; ++i) {
    const DWORD pid = static_cast<DWORD>(list.header.ProcessIdList[i]);
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
    if (!process || ::WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) continue;
    wchar_t path[MAX_PATH];
    DWORD size = MAX_PATH;
    const std::string name = ::QueryFullProcessImageNameW(process.get(), 0, path, &size) ? upper(utf8(path)) : "";
    if (windows_length == 0 || name.compare(0, system_folder.size(), system_folder) != 0) ++alive;
  }
  return alive;
}

// ---- Windows of another process ---------------------------------------------------

std::vector<HWND> windows_of_process(DWORD pid) {
  EnumState state{pid, {}};
  ::EnumWindows(&collect_window, reinterpret_cast<LPARAM>(&state));
  return state.found;
}

std::vector<HWND> dialogs_of_process(DWORD pid) {
  EnumState state{pid, {}};
  ::EnumWindows(&collect_dialog, reinterpret_cast<LPARAM>(&state));
  return state.found;
}

std::string class_name(HWND hwnd) {
  char buffer[256];
  const int n = ::GetClassNameA(hwnd, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, n) : std::string();
}

// GetWindowTextW reads another process's window text from the window manager without
// sending it a message, so a busy window thread cannot block it. As UTF-8, so every
// language's letters compare exactly.
std::string window_text(HWND hwnd) {
  if (!hwnd) return std::string();
  wchar_t buffer[1024];
  const int n = ::GetWindowTextW(hwnd, buffer, 1024);
  if (n <= 0) return std::string();
  char utf8[4096];
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, buffer, n, utf8, sizeof utf8, nullptr, nullptr);
  return bytes > 0 ? std::string(utf8, static_cast<std::size_t>(bytes)) : std::string();
}

std::string item_text(HWND dialog, int id) { return window_text(dialog ? ::GetDlgItem(dialog, id) : nullptr); }

bool has_item(HWND dialog, int id) { return dialog && ::GetDlgItem(dialog, id) != nullptr; }

bool item_enabled(HWND dialog, int id) {
  HWND item = dialog ? ::GetDlgItem(dialog, id) : nullptr;
  return item && ::IsWindowEnabled(item);
}

bool is_main_dialog(HWND hwnd) { return has_item(hwnd, kMainDialogMarker); }

bool is_message_box(HWND hwnd) {
  if (!hwnd || is_main_dialog(hwnd) || class_name(hwnd) != "#32770") return false;
  int count = 0;
  ::EnumChildWindows(hwnd, &count_text_ids, reinterpret_cast<LPARAM>(&count));
  return count == 1;
}

std::string message_box_text(HWND box) { return item_text(box, kMessageBoxTextId); }

bool click(HWND dialog, int id) {
  HWND button = dialog ? ::GetDlgItem(dialog, id) : nullptr;
  if (!button || !::IsWindowEnabled(button)) return false;
  return ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button)) != 0;
}

bool system_command(HWND window, WPARAM command) {
  return window && ::PostMessageA(window, WM_SYSCOMMAND, command, 0) != 0;
}

bool close_window(HWND window) { return window && ::PostMessageA(window, WM_CLOSE, 0, 0) != 0; }

void send_key(WORD key, WORD held) {
  std::vector<INPUT> in;
  auto add = [&](WORD vk, DWORD flags) {
    INPUT i = {};
    i.type = INPUT_KEYBOARD;
    i.ki.wVk = vk;
    i.ki.dwFlags = flags;
    in.push_back(i);
  };
  if (held) add(held, 0);
  add(key, 0);
  add(key, KEYEVENTF_KEYUP);
  if (held) add(held, KEYEVENTF_KEYUP);
  ::SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
}

std::optional<std::string> clipboard_text() {
  if (!::OpenClipboard(nullptr)) return std::nullopt;
  std::optional<std::string> text;
  if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* wide = static_cast<const wchar_t*>(::GlobalLock(data))) {
      text = utf8(wide);
      ::GlobalUnlock(data);
    }
  }
  ::CloseClipboard();
  return text;
}

bool clear_clipboard() {
  if (!::OpenClipboard(nullptr)) return false;
  const bool emptied = ::EmptyClipboard() != FALSE;
  ::CloseClipboard();
  return emptied;
}

bool save_screenshot(HWND window, const std::string& bmp_path) {
  RECT r;
  if (!window || !::GetWindowRect(window, &r)) return false;
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  if (width <= 0 || height <= 0) return false;

  pw::WindowDC screen(nullptr);
  if (!screen.get()) return false;
  UniqueMemoryDC memory(::CreateCompatibleDC(screen.get()));
  UniqueBitmap bitmap(::CreateCompatibleBitmap(screen.get(), width, height));
  if (!memory || !bitmap) return false;
  {
    SelectedObject selected(memory.get(), bitmap.get());
    if (!::BitBlt(memory.get(), 0, 0, width, height, screen.get(), r.left, r.top, SRCCOPY)) return false;
  }

  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = width;
  header.biHeight = height;  // bottom-up, as BMP files store rows
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  const DWORD row = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  std::vector<char> pixels(static_cast<size_t>(row) * height);
  if (!::GetDIBits(memory.get(), bitmap.get(), 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&header),
                   DIB_RGB_COLORS))
    return false;

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof header;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
  bytes.append(reinterpret_cast<const char*>(&header), sizeof header);
  bytes.append(pixels.data(), pixels.size());
  return write_text_file(bmp_path, bytes);
}

std::optional<COLORREF> screen_pixel(HWND window, int x, int y) {
  POINT at{x, y};
  if (!window || !::ClientToScreen(window, &at)) return std::nullopt;
  pw::WindowDC screen(nullptr);
  if (!screen.get()) return std::nullopt;
  UniqueMemoryDC memory(::CreateCompatibleDC(screen.get()));
  UniqueBitmap bitmap(::CreateCompatibleBitmap(screen.get(), 1, 1));
  if (!memory || !bitmap) return std::nullopt;
  SelectedObject selected(memory.get(), bitmap.get());
  if (!::BitBlt(memory.get(), 0, 0, 1, 1, screen.get(), at.x, at.y, SRCCOPY)) return std::nullopt;
  const COLORREF color = ::GetPixel(memory.get(), 0, 0);
  if (color == CLR_INVALID) return std::nullopt;
  return color;
}

// ---- A dialog program under test --------------------------------------------------

bool DialogApp::start(const std::string& exe_path, const LaunchOptions& options) {
  main_ = nullptr;
  seen_.clear();
  answered_.clear();
  return process_.start(exe_path, options);
}

bool box_text_matches(const std::string& actual, const std::string& wanted) {
  return actual == wanted || (actual.size() > wanted.size() && actual.compare(0, wanted.size(), wanted) == 0 &&
                              actual[wanted.size()] == '\n');
}

void DialogApp::auto_answer(const std::string& box_text) { auto_answers_.push_back(box_text); }

void DialogApp::poll() {
  if (!process_.started()) return;
  answered_.erase(std::remove_if(answered_.begin(), answered_.end(), [](HWND h) { return !::IsWindow(h); }),
                  answered_.end());
  for (HWND box : open_message_boxes()) {
    const std::string text = message_box_text(box);
    const bool expected = std::any_of(auto_answers_.begin(), auto_answers_.end(),
                                      [&](const std::string& wanted) { return box_text_matches(text, wanted); });
    if (expected && std::find(answered_.begin(), answered_.end(), box) == answered_.end()) {
      ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      answered_.push_back(box);
    }
  }
}

bool DialogApp::wait_until(const std::function<bool()>& condition, Millis timeout) {
  return poll_until(
      [&] {
        poll();
        return condition();
      },
      timeout);
}

HWND DialogApp::wait_for_main_dialog(Millis timeout) {
  HWND found = nullptr;
  wait_until(
      [&] {
        for (HWND h : dialogs_of_process(process_.id()))
          if (is_main_dialog(h)) found = h;
        return found != nullptr || !process_.running();
      },
      timeout);
  main_ = found;
  return found;
}

bool DialogApp::wait_for_text(int id, const std::vector<std::string>& accepted, Millis timeout) {
  return wait_until(
      [&] { return std::find(accepted.begin(), accepted.end(), text(id)) != accepted.end(); }, timeout);
}

HWND DialogApp::wait_for_dialog(const std::string& caption, Millis timeout) {
  HWND found = nullptr;
  wait_until(
      [&] {
        for (HWND h : dialogs_of_process(process_.id()))
          if (!is_main_dialog(h) && window_text(h) == caption) found = h;
        return found != nullptr;
      },
      timeout);
  return found;
}

bool DialogApp::wait_until_gone(HWND window, Millis timeout) {
  return wait_until([&] { return !::IsWindow(window); }, timeout);
}

std::vector<HWND> DialogApp::open_message_boxes() const {
  std::vector<HWND> boxes;
  if (!process_.started()) return boxes;
  for (HWND h : dialogs_of_process(process_.id())) {
    if (!is_message_box(h)) continue;
    boxes.push_back(h);
    if (std::none_of(seen_.begin(), seen_.end(), [&](const SeenBox& s) { return s.hwnd == h; }))
      seen_.push_back(SeenBox{h, window_text(h), message_box_text(h)});
  }
  return boxes;
}

const std::vector<SeenBox>& DialogApp::boxes_seen() const {
  open_message_boxes();
  return seen_;
}

HWND DialogApp::wait_for_message_box(const std::string& text, Millis timeout) {
  HWND found = nullptr;
  wait_until(
      [&] {
        for (HWND h : open_message_boxes())
          if (box_text_matches(message_box_text(h), text)) found = h;
        return found != nullptr;
      },
      timeout);
  return found;
}

HWND DialogApp::wait_for_any_message_box(Millis timeout) {
  HWND found = nullptr;
  wait_until(
      [&] {
        const std::vector<HWND> boxes = open_message_boxes();
        if (!boxes.empty()) found = boxes.front();
        return found != nullptr;
      },
      timeout);
  return found;
}

bool DialogApp::answer(HWND box, int button, Millis timeout) {
  if (!::IsWindow(box)) return false;
  if (!e2e::click(box, button)) return false;
  return wait_until_gone(box, timeout);
}

size_t DialogApp::count_seen(const std::string& text) const {
  const std::vector<SeenBox>& seen = boxes_seen();
  return static_cast<size_t>(std::count_if(seen.begin(), seen.end(), [&](const SeenBox& s) { return box_text_matches(s.text, text); }));
}

std::optional<DWORD> DialogApp::wait_for_exit(Millis timeout) {
  if (!wait_until([&] { return !process_.running(); }, timeout)) return std::nullopt;
  return process_.exit_code();
}

std::string DialogApp::describe() const {
  std::string out = "process " + std::to_string(process_.id()) + (process_.running() ? " running" : " ended");
  for (HWND h : dialogs_of_process(process_.id())) {
    out += "\n  dialog \"" + window_text(h) + "\"";
    if (is_main_dialog(h)) {
      out += " (main)";
      ::EnumChildWindows(h, &describe_control, reinterpret_cast<LPARAM>(&out));
    }
    if (is_message_box(h)) out += " box text \"" + message_box_text(h) + "\"";
    if (!::IsWindowEnabled(h)) out += " disabled";
  }
  for (const SeenBox& box : boxes_seen()) out += "\n  seen box \"" + box.caption + "\": \"" + box.text + "\"";
  return out;
}

void DialogApp::save_screenshots(const std::string& path_prefix) const {
  int n = 0;
  for (HWND h : dialogs_of_process(process_.id())) save_screenshot(h, path_prefix + "-" + std::to_string(++n) + ".bmp");
}

}  // namespace pw::e2e
