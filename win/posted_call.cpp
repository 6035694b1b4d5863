#include "win/posted_call.h"

namespace pw {

std::uint32_t next_posted_call_serial() noexcept {
  static std::atomic<std::uint32_t> next{1};
  return next.fetch_add(1);
}

}  // namespace pw
