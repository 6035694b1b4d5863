#pragma once
// Microseconds on the performance counter. Every process of the machine reads
// the same counter, so a time the device reports can be set against one taken
// by the program that drives it.
#include <windows.h>

#include <cstdint>

namespace pw {
namespace sim {

inline std::int64_t machine_microseconds() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<std::int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER t;
  ::QueryPerformanceCounter(&t);
  // Whole seconds and the rest apart, so the product cannot overflow.
  return t.QuadPart / frequency * 1000000 + t.QuadPart % frequency * 1000000 / frequency;
}

}  // namespace sim
}  // namespace pw
