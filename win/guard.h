#pragma once
// Memory that runs out inside a handler ends what the handler was doing, never
// the program mid-flash: a handler that must not throw runs its work through
// this and says what became of it. No windows.h here: every folder may use it.
#include <new>
#include <utility>

namespace pw {

// Runs `work`; true when memory ran out in it (std::bad_alloc), which the caller
// then handles. Anything else thrown is a fault that ends the program, as ever.
template <class Work>
bool ran_out_of_memory(Work&& work) noexcept {
  try {
    std::forward<Work>(work)();
    return false;
  } catch (const std::bad_alloc&) {
    return true;
  }
}

}  // namespace pw
