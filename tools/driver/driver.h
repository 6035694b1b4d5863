#pragma once
// Drives a dialog program from outside, the way a user would: starts it, finds its
// windows, reads their texts, clicks buttons and answers message boxes. It only
// uses what any other process can see, so it is independent of the updater's code.
//
// Nothing here blocks on the program under test: texts and states are read from
// the window manager, and every action is posted, so a busy window thread can
// never hang the tests. Every wait polls with a deadline.
#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "win/handles.h"

namespace pw::e2e {

using Millis = std::chrono::milliseconds;

// Generous: the suite must pass on a busy two-core machine under Wine.
inline constexpr Millis kDeadline{30000};
inline constexpr Millis kPollInterval{25};

// Polls `condition` every kPollInterval until it holds or `timeout` has passed.
// Returns whether it held.
bool poll_until(const std::function<bool()>& condition, Millis timeout = kDeadline);

// ---- Files and folders -----------------------------------------------------------

// The folder of the running test program (the build's bin folder), with a trailing separator.
std::string bin_folder();
// `folder` and `name` joined with exactly one separator.
std::string join_path(const std::string& folder, const std::string& name);
// Paths and texts are UTF-8 in the tests; the system's wide functions take these.
std::wstring wide(const std::string& utf8);
std::string utf8(const wchar_t* text);
bool make_folder(const std::string& path);
bool file_exists(const std::string& path);
bool copy_file(const std::string& from, const std::string& to);
bool write_text_file(const std::string& path, const std::string& text);
// A value read the way the updater reads its language file (empty when absent).
std::string read_profile_string(const std::string& ini_path, const std::string& section, const std::string& key);
// A name no other test of any running suite uses: `prefix`, the process id and a counter.
std::string unique_name(const std::string& prefix);

// A fresh, empty folder under <bin>\e2e-scratch\, removed with everything in it at the
// end (kept for inspection when PUSHWELL_E2E_KEEP is set). End every process that
// runs from it first: a running program's files cannot be deleted.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& label);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  bool ok() const noexcept { return !path_.empty(); }
  // The folder, without a trailing separator.
  const std::string& path() const noexcept { return path_; }
  std::string file(const std::string& name) const { return join_path(path_, name); }
  // Creates `name` inside the folder (if missing) and returns its path.
  std::string subfolder(const std::string& name) const;

 private:
  std::string path_;
};

// Removes a folder and everything in it, retrying until `timeout` while files are
// still held by an ending process.
bool remove_tree(const std::string& folder, Millis timeout = Millis{10000});

// What to put beside a copied updater.
struct UpdaterFiles {
  bool lang_ini = true;
  bool library = true;    // BMC51xUSB.dll
};

inline constexpr const char kUpdaterExe[] = "Pushwell.exe";
inline constexpr const char kLangIni[] = "lang.ini";
inline constexpr const char kLibraryDll[] = "BMC51xUSB.dll";
// The simulator's library as the updaters under test get it. The 32-bit runs take
// the one built as MSVC builds a __stdcall library (decorated exports only), so the
// decorated-name binding and the 32-bit call of open_file run in every scenario.
inline constexpr const char* kLibraryUnderTest = sizeof(void*) == 4 ? "BMC51xUSB-stdcall.dll" : kLibraryDll;

// Copies Pushwell.exe and the chosen files from the bin folder into `folder` (the
// library under test as BMC51xUSB.dll).
// Returns the copied executable's path, or "" when a wanted file could not be copied.
std::string install_updater(const std::string& folder, const UpdaterFiles& files = {});

// ---- Processes -------------------------------------------------------------------

// Extra environment variables, merged into the inherited environment. An empty value
// removes the variable.
using EnvVars = std::vector<std::pair<std::string, std::string>>;

// The inherited entries ("NAME=value") with `extra` applied: names match without regard
// to case; drive entries ("=C:=...") are kept. Sorted by name as Windows keeps them.
std::vector<std::string> merge_environment(const std::vector<std::string>& inherited, const EnvVars& extra);

struct LaunchOptions {
  std::string current_directory;  // empty: the test program's own
  EnvVars environment;
  std::string arguments;          // appended to the quoted executable path
  std::string output_path;        // standard output into this file (created anew); empty: inherited
  std::string error_path;         // standard error likewise; empty: with the output
  bool new_console = false;       // a console of its own, which console control events can reach
};

// One started program. Killed (with any children it started) on destruction if still running.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool start(const std::string& exe_path, const LaunchOptions& options);
  bool started() const noexcept { return process_.valid(); }
  DWORD id() const noexcept { return id_; }
  HANDLE handle() const noexcept { return process_.get(); }
  bool running() const noexcept;
  // The exit code once the program has ended within `timeout`.
  std::optional<DWORD> wait_for_exit(Millis timeout = kDeadline);
  std::optional<DWORD> exit_code() const noexcept;
  void kill() noexcept;
  // Processes of its job still alive (it and what it started), or -1 when it has no job.
  int processes_alive() const noexcept;
  // Why start() failed.
  const std::string& error() const noexcept { return error_; }

 private:
  UniqueHandle process_;
  UniqueHandle job_;
  DWORD id_ = 0;
  std::string error_;
};

// ---- Windows of another process ---------------------------------------------------

inline constexpr int kMainDialogMarker = 1000;   // the main dialog's update button
inline constexpr int kMessageBoxTextId = 0xFFFF;

// Visible top-level dialog windows (class "#32770") of process `pid`, topmost first.
std::vector<HWND> dialogs_of_process(DWORD pid);
// Every top-level window of process `pid`, hidden ones included.
std::vector<HWND> windows_of_process(DWORD pid);
std::string class_name(HWND hwnd);
std::string window_text(HWND hwnd);
// Text of control `id` of `dialog` ("" when there is none; see has_item).
std::string item_text(HWND dialog, int id);
bool has_item(HWND dialog, int id);
bool item_enabled(HWND dialog, int id);
bool is_main_dialog(HWND hwnd);
// A message box: a dialog other than the main one with exactly one control of id
// 0xFFFF, the static that holds its text. (Dialogs from resource scripts often give
// several unnamed statics that id, so they do not count.)
bool is_message_box(HWND hwnd);
std::string message_box_text(HWND box);

// Posts a click on button `id` of `dialog`, as the button's own notification. Returns
// false, doing nothing, when the button is missing or disabled: a user could not click it.
bool click(HWND dialog, int id);
// Posts WM_SYSCOMMAND `command` (0x10 opens the updater's About box).
bool system_command(HWND window, WPARAM command);
// Posts WM_CLOSE, as the window's close box does.
bool close_window(HWND window);

// Real keys, as the system queues them for the foreground window: `key` pressed and
// released, with the key `held` (VK_CONTROL, VK_MENU for Alt; 0: none) held around it.
void send_key(WORD key, WORD held = 0);
// The clipboard's Unicode text as UTF-8, or nullopt when it holds none or cannot be opened.
std::optional<std::string> clipboard_text();
// Empties the clipboard, so a later read shows only what was copied since.
bool clear_clipboard();

// Saves what the window shows on the screen as a 24-bit BMP file.
bool save_screenshot(HWND window, const std::string& bmp_path);
// The colour the screen shows at point (x, y) of `window`'s client area.
std::optional<COLORREF> screen_pixel(HWND window, int x, int y);

// ---- A dialog program under test --------------------------------------------------

// A box's text matches a wanted text when it is that text, or that text followed by
// a line break and details (a message naming a file, say).
bool box_text_matches(const std::string& actual, const std::string& wanted);

struct SeenBox {
  HWND hwnd;
  std::string caption;
  std::string text;
};

// A running dialog program: its process, its main dialog and every message box it
// showed. Each wait also records new message boxes and answers those whose text was
// handed to auto_answer(), so unrelated boxes never stall a test.
class DialogApp {
 public:
  DialogApp() = default;
  DialogApp(const DialogApp&) = delete;
  DialogApp& operator=(const DialogApp&) = delete;

  bool start(const std::string& exe_path, const LaunchOptions& options);
  Process& process() noexcept { return process_; }
  const Process& process() const noexcept { return process_; }

  // Answers every box with this text with OK whenever a wait sees it.
  void auto_answer(const std::string& box_text);

  // Records boxes and answers the expected ones; waits call it on each poll.
  void poll();
  // poll_until with this program's bookkeeping on every poll.
  bool wait_until(const std::function<bool()>& condition, Millis timeout = kDeadline);

  // The visible main dialog, or nullptr once the deadline passes.
  HWND wait_for_main_dialog(Millis timeout = kDeadline);
  // The main dialog found by the last wait_for_main_dialog.
  HWND main_dialog() const noexcept { return main_; }
  std::string caption() const { return window_text(main_); }
  std::string text(int id) const { return item_text(main_, id); }
  bool enabled(int id) const { return item_enabled(main_, id); }
  bool click(int id) const { return e2e::click(main_, id); }
  bool system_command(WPARAM command) const { return e2e::system_command(main_, command); }
  bool close() const { return close_window(main_); }
  // Waits until control `id` shows one of `accepted`.
  bool wait_for_text(int id, const std::vector<std::string>& accepted, Millis timeout = kDeadline);

  // A visible dialog of the program with this caption (not the main dialog), or nullptr.
  HWND wait_for_dialog(const std::string& caption, Millis timeout = kDeadline);
  // Waits until `window` no longer exists.
  bool wait_until_gone(HWND window, Millis timeout = kDeadline);

  // The message boxes open now. Every look at the boxes, this one included, adds the
  // new ones to boxes_seen(); a box opened and closed between two looks goes unseen.
  std::vector<HWND> open_message_boxes() const;
  // An open message box with exactly this text, or nullptr.
  HWND wait_for_message_box(const std::string& text, Millis timeout = kDeadline);
  HWND wait_for_any_message_box(Millis timeout = kDeadline);
  // Presses button `button` of the box and waits until it is gone.
  bool answer(HWND box, int button = IDOK, Millis timeout = kDeadline);
  // Every message box seen so far, in the order they appeared, after a fresh look.
  const std::vector<SeenBox>& boxes_seen() const;
  size_t count_seen(const std::string& text) const;

  // Waits for the program to end, answering expected boxes meanwhile.
  std::optional<DWORD> wait_for_exit(Millis timeout = kDeadline);

  // The program's windows and the boxes seen, for failure messages.
  std::string describe() const;
  // Saves every visible dialog of the program as <path_prefix>-N.bmp.
  void save_screenshots(const std::string& path_prefix) const;

 private:
  Process process_;
  HWND main_ = nullptr;
  std::vector<std::string> auto_answers_;
  mutable std::vector<SeenBox> seen_;  // a record kept by every look, even a const one
  std::vector<HWND> answered_;
};

}  // namespace pw::e2e
