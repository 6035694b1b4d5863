#pragma once
// Binding of the vendor's USB pipe library, loaded by name for each use.
#include <windows.h>

#include <optional>
#include <string>

#include "device/image_bitness.h"
#include "session/frontend.h"
#include "win/handles.h"

namespace pw {

inline constexpr char kPipeLibraryName[] = "BMC51xUSB.dll";
inline constexpr char kOutPipeName[] = "PIPE00";  // host to device
inline constexpr char kInPipeName[] = "PIPE01";   // device to host

// Keeps the current directory, which holds files a user downloaded, out of the
// library search for the whole process. Call once at start-up.
void exclude_current_directory_from_library_search() noexcept;

// When the library that a load of `file_name` failed on is an image of the other
// bitness (a 32-bit DLL beside the 64-bit updater, say), that bitness; else unknown.
ImageBitness foreign_library_bitness(const char* file_name) noexcept;

// `first_line`, with a line saying which updater build can load the library when
// it is of the other bitness (`foreign`, from foreign_library_bitness(), which
// reads files: it is asked off the window thread).
std::string library_failure_text(const std::string& first_line, ImageBitness foreign);

// The platform's LoadLibraryExA, or a stand-in that plays an older loader.
using LoadLibraryExFn = HMODULE (*)(const char* file, DWORD flags);

// Where and how the library is looked for. The defaults are the product's.
struct LibrarySearch {
  const char* file_name = kPipeLibraryName;
  LoadLibraryExFn load_library = nullptr;  // nullptr: LoadLibraryExW over the UTF-8 path
};

// One load of the library with both exports resolved. A library that lacks an
// export counts as one that cannot be loaded. The search builds paths, so a load
// may throw std::bad_alloc.
//
// Vendors build the library either way: undecorated `__cdecl` exports, or
// `__stdcall` ones that keep their decoration (`_open_file@4` from MSVC,
// `open_file@4` from MinGW). Each export is looked for by its plain name first,
// then by those decorated names; `open_file` is called in a way that keeps the
// stack right under either convention (`open_dev` takes no argument, so the two
// conventions do not differ for it).
class PipeLibrary {
 public:
  static std::optional<PipeLibrary> load();
  static std::optional<PipeLibrary> load(const LibrarySearch& search);

  // A handle to the attached device (INVALID_HANDLE_VALUE when there is none).
  HANDLE open_dev() const noexcept;
  // A handle on the named pipe (INVALID_HANDLE_VALUE on failure).
  HANDLE open_file(const char* pipe_name) const noexcept;

  // The library's full path as the loader found it ("" when it does not fit).
  std::string path() const;
  // The export names the library was bound through.
  const char* open_dev_export() const noexcept { return open_dev_export_; }
  const char* open_file_export() const noexcept { return open_file_export_; }

 private:
  using ExportFn = void (*)();
  PipeLibrary(UniqueModule module, ExportFn open_dev, const char* open_dev_export, ExportFn open_file,
              const char* open_file_export) noexcept
      : module_(std::move(module)),
        open_dev_(open_dev),
        open_file_(open_file),
        open_dev_export_(open_dev_export),
        open_file_export_(open_file_export) {}
  UniqueModule module_;
  ExportFn open_dev_;
  ExportFn open_file_;
  const char* open_dev_export_;
  const char* open_file_export_;
};

// Loads the library, opens one pipe and frees the library at once. Empty when the
// library cannot be loaded; otherwise the handle (which may be INVALID_HANDLE_VALUE).
std::optional<HANDLE> open_pipe_once(const char* pipe_name);

}  // namespace pw
