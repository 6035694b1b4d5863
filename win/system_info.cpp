#include "win/system_info.h"

#include <windows.h>

#include <vector>

#include "win/wide_text.h"

namespace pw {

std::string windows_version() {
  // GetVersionEx answers what the manifest claims; the kernel's own call does not.
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto get_version =
      ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "RtlGetVersion")))
            : nullptr;
  if (!get_version || get_version(&info) != 0) return "Windows (version unknown)";
  return "Windows " + std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
         std::to_string(info.dwBuildNumber);
}

std::string file_version(const std::string& path) {
  const std::wstring wide = widen(path);
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(wide.c_str(), &ignored);
  if (size == 0) return std::string();
  std::vector<unsigned char> block(size);
  if (!::GetFileVersionInfoW(wide.c_str(), 0, size, block.data())) return std::string();
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  if (!::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size) || !fixed ||
      fixed_size < sizeof *fixed)
    return std::string();
  return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
}

const char* build_architecture() noexcept { return sizeof(void*) == 4 ? "i686" : "x86_64"; }


}  // namespace pw
