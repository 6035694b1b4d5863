#pragma once
// The busy delay after the identification byte, during which the window does
// not react, as the device expects: 800 x 900 x 900 empty iterations. In a
// header so that a benchmark can time the very same loop.
#if defined(_MSC_VER)
#include <intrin.h>
#define PW_COMPILER_BARRIER() _ReadWriteBarrier()
#else
#define PW_COMPILER_BARRIER() __asm__ __volatile__("" ::: "memory")
#endif

namespace pw {

inline constexpr int kDelayOuter = 800, kDelayMiddle = 900, kDelayInner = 900;

inline void busy_delay() {
  for (int i = 0; i < kDelayOuter; ++i)
    for (int j = 0; j < kDelayMiddle; ++j)
      for (int k = 0; k < kDelayInner; ++k) PW_COMPILER_BARRIER();  // keeps the loop from being dropped
}

}  // namespace pw
