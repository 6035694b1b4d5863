#pragma once
// A failed property in a fuzz target: says which and aborts, so libFuzzer keeps
// the input as a crash. Unlike assert it stays on in every build type.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                   \
  do {                                                                                          \
    if (!(condition)) {                                                                         \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition);    \
      std::abort();                                                                             \
    }                                                                                           \
  } while (0)
