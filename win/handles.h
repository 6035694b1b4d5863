#pragma once
// Move-only owners for Win32 handles: one owner per handle.
#include <windows.h>

#include <utility>

namespace pw {

// Owns a kernel HANDLE. Both null and INVALID_HANDLE_VALUE mean "none".
class UniqueHandle {
 public:
  UniqueHandle() noexcept = default;
  explicit UniqueHandle(HANDLE h) noexcept : h_(h) {}
  UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  static bool is_valid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  bool valid() const noexcept { return is_valid(h_); }
  explicit operator bool() const noexcept { return valid(); }
  HANDLE get() const noexcept { return h_; }
  HANDLE release() noexcept { return std::exchange(h_, nullptr); }
  void reset(HANDLE h = nullptr) noexcept {
    HANDLE old = std::exchange(h_, h);
    if (is_valid(old)) ::CloseHandle(old);
  }

 private:
  HANDLE h_ = nullptr;
};

// Owns a handle or block that `Release` gives back; a value-initialized T means none.
template <class T, void (*Release)(T) noexcept>
class UniqueResource {
 public:
  UniqueResource() noexcept = default;
  explicit UniqueResource(T value) noexcept : value_(value) {}
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { reset(); }

  explicit operator bool() const noexcept { return value_ != T{}; }
  T get() const noexcept { return value_; }
  T release() noexcept { return std::exchange(value_, T{}); }
  void reset(T value = T{}) noexcept {
    T old = std::exchange(value_, value);
    if (old != T{}) Release(old);
  }

 private:
  T value_{};
};

// Owns a loaded module (LoadLibrary/FreeLibrary).
inline void free_module(HMODULE module) noexcept { ::FreeLibrary(module); }
using UniqueModule = UniqueResource<HMODULE, &free_module>;

// Owns a GDI object (brush, bitmap, pen, font, region).
template <class T>
void delete_gdi_object(T object) noexcept {
  ::DeleteObject(object);
}
template <class T>
using GdiObject = UniqueResource<T, &delete_gdi_object<T>>;

using UniqueBrush = GdiObject<HBRUSH>;
using UniqueFont = GdiObject<HFONT>;
using UniqueBitmap = GdiObject<HBITMAP>;

// Owns a memory device context (CreateCompatibleDC/DeleteDC).
class UniqueMemoryDC {
 public:
  UniqueMemoryDC() noexcept = default;
  explicit UniqueMemoryDC(HDC dc) noexcept : dc_(dc) {}
  UniqueMemoryDC(UniqueMemoryDC&& other) noexcept : dc_(std::exchange(other.dc_, nullptr)) {}
  UniqueMemoryDC& operator=(UniqueMemoryDC&& other) noexcept {
    if (this != &other) {
      reset();
      dc_ = std::exchange(other.dc_, nullptr);
    }
    return *this;
  }
  UniqueMemoryDC(const UniqueMemoryDC&) = delete;
  UniqueMemoryDC& operator=(const UniqueMemoryDC&) = delete;
  ~UniqueMemoryDC() { reset(); }

  explicit operator bool() const noexcept { return dc_ != nullptr; }
  HDC get() const noexcept { return dc_; }
  void reset() noexcept {
    if (dc_) ::DeleteDC(std::exchange(dc_, nullptr));
  }

 private:
  HDC dc_ = nullptr;
};

// Selects an object into a DC and selects the previous one back when it ends.
class SelectedObject {
 public:
  SelectedObject(HDC dc, HGDIOBJ obj) noexcept : dc_(dc), previous_(obj ? ::SelectObject(dc, obj) : nullptr) {}
  SelectedObject(SelectedObject&& other) noexcept
      : dc_(std::exchange(other.dc_, nullptr)), previous_(std::exchange(other.previous_, nullptr)) {}
  SelectedObject& operator=(SelectedObject&&) = delete;
  SelectedObject(const SelectedObject&) = delete;
  SelectedObject& operator=(const SelectedObject&) = delete;
  ~SelectedObject() {
    if (dc_ && previous_) ::SelectObject(dc_, previous_);
  }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// BeginPaint/EndPaint around one WM_PAINT.
class PaintContext {
 public:
  explicit PaintContext(HWND hwnd) noexcept : hwnd_(hwnd) { dc_ = ::BeginPaint(hwnd, &ps_); }
  PaintContext(const PaintContext&) = delete;
  PaintContext& operator=(const PaintContext&) = delete;
  ~PaintContext() { ::EndPaint(hwnd_, &ps_); }
  HDC dc() const noexcept { return dc_; }
  const PAINTSTRUCT& info() const noexcept { return ps_; }

 private:
  HWND hwnd_;
  HDC dc_ = nullptr;
  PAINTSTRUCT ps_{};
};

}  // namespace pw
