#pragma once
// Move-only owners for Win32 handles: one owner per handle; the type says who frees it.
#include <windows.h>

#include <utility>

namespace pw {

// One owner for a resource of type T that Traits knows how to test and free.
// Move-only: exactly one owner frees it.
template <class T, class Traits>
class Owned {
 public:
  Owned() noexcept = default;
  explicit Owned(T value) noexcept : value_(value) {}
  Owned(Owned&& other) noexcept : value_(other.release()) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }

  static bool is_valid(T value) noexcept { return Traits::valid(value); }
  bool valid() const noexcept { return Traits::valid(value_); }
  explicit operator bool() const noexcept { return valid(); }
  T get() const noexcept { return value_; }
  T release() noexcept { return std::exchange(value_, T{}); }
  void reset(T value = T{}) noexcept {
    T old = std::exchange(value_, value);
    if (Traits::valid(old)) Traits::free(old);
  }

 private:
  T value_{};
};

// A kernel HANDLE: both null and INVALID_HANDLE_VALUE mean "none".
struct KernelHandleTraits {
  static bool valid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void free(HANDLE h) noexcept { ::CloseHandle(h); }
};
// A loaded module (LoadLibrary/FreeLibrary).
struct ModuleTraits {
  static bool valid(HMODULE m) noexcept { return m != nullptr; }
  static void free(HMODULE m) noexcept { ::FreeLibrary(m); }
};
// A GDI object (brush, bitmap, pen, font, region).
template <class T>
struct GdiObjectTraits {
  static bool valid(T obj) noexcept { return obj != nullptr; }
  static void free(T obj) noexcept { ::DeleteObject(obj); }
};
// A memory device context (CreateCompatibleDC/DeleteDC).
struct MemoryDCTraits {
  static bool valid(HDC dc) noexcept { return dc != nullptr; }
  static void free(HDC dc) noexcept { ::DeleteDC(dc); }
};
// Anything a function frees, where a value-initialized T means none.
template <class T, void (*Release)(T) noexcept>
struct ReleaseTraits {
  static bool valid(T value) noexcept { return value != T{}; }
  static void free(T value) noexcept { Release(value); }
};

// A window this thread created (DestroyWindow).
struct WindowTraits {
  static bool valid(HWND w) noexcept { return w != nullptr; }
  static void free(HWND w) noexcept { ::DestroyWindow(w); }
};

using UniqueHandle = Owned<HANDLE, KernelHandleTraits>;
using UniqueWindow = Owned<HWND, WindowTraits>;
using UniqueModule = Owned<HMODULE, ModuleTraits>;
template <class T>
using GdiObject = Owned<T, GdiObjectTraits<T>>;
using UniqueBrush = GdiObject<HBRUSH>;
using UniqueFont = GdiObject<HFONT>;
using UniqueBitmap = GdiObject<HBITMAP>;
using UniqueMemoryDC = Owned<HDC, MemoryDCTraits>;
template <class T, void (*Release)(T) noexcept>
using UniqueResource = Owned<T, ReleaseTraits<T, Release>>;

// A window's device context, borrowed with GetDC and given back with ReleaseDC.
class WindowDC {
 public:
  explicit WindowDC(HWND window) noexcept : window_(window), dc_(::GetDC(window)) {}
  WindowDC(const WindowDC&) = delete;
  WindowDC& operator=(const WindowDC&) = delete;
  ~WindowDC() {
    if (dc_) ::ReleaseDC(window_, dc_);
  }
  HDC get() const noexcept { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// One reference to a COM object, released when it goes.
template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) reset(std::exchange(other.p_, nullptr));
    return *this;
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ~ComPtr() { reset(); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Where a creating call writes the new reference; what was held goes first.
  void** put() noexcept {
    reset();
    return reinterpret_cast<void**>(&p_);
  }
  void reset(T* p = nullptr) noexcept {
    if (T* old = std::exchange(p_, p)) old->Release();
  }

 private:
  T* p_ = nullptr;
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
