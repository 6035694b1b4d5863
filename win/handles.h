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

// Owns a loaded module (LoadLibrary/FreeLibrary).
class UniqueModule {
 public:
  UniqueModule() noexcept = default;
  explicit UniqueModule(HMODULE m) noexcept : m_(m) {}
  UniqueModule(UniqueModule&& other) noexcept : m_(other.release()) {}
  UniqueModule& operator=(UniqueModule&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueModule(const UniqueModule&) = delete;
  UniqueModule& operator=(const UniqueModule&) = delete;
  ~UniqueModule() { reset(); }

  explicit operator bool() const noexcept { return m_ != nullptr; }
  HMODULE get() const noexcept { return m_; }
  HMODULE release() noexcept { return std::exchange(m_, nullptr); }
  void reset(HMODULE m = nullptr) noexcept {
    HMODULE old = std::exchange(m_, m);
    if (old) ::FreeLibrary(old);
  }

 private:
  HMODULE m_ = nullptr;
};

// Owns a GDI object (brush, bitmap, pen, font, region).
template <class T>
class GdiObject {
 public:
  GdiObject() noexcept = default;
  explicit GdiObject(T obj) noexcept : obj_(obj) {}
  GdiObject(GdiObject&& other) noexcept : obj_(other.release()) {}
  GdiObject& operator=(GdiObject&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;
  ~GdiObject() { reset(); }

  explicit operator bool() const noexcept { return obj_ != nullptr; }
  T get() const noexcept { return obj_; }
  T release() noexcept { return std::exchange(obj_, nullptr); }
  void reset(T obj = nullptr) noexcept {
    T old = std::exchange(obj_, obj);
    if (old) ::DeleteObject(old);
  }

 private:
  T obj_ = nullptr;
};

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
