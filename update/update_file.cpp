#include "update/update_file.h"

#include <cstring>

namespace pw {

HeaderVerdict check_update_header(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size < kHeaderCheckSize) return HeaderVerdict::too_short;
  if (data[0] != kHeaderMarker) return HeaderVerdict::bad_marker;
  return data[1] == 0 ? HeaderVerdict::skip : HeaderVerdict::send;
}

bool same_header_block(const std::uint8_t* checked, std::size_t checked_size, const std::uint8_t* loaded,
                       std::size_t loaded_size) {
  if (checked == nullptr || loaded == nullptr) return false;
  if (checked_size < kHeaderBlockSize || loaded_size < kHeaderBlockSize) return false;
  return std::memcmp(checked, loaded, kHeaderBlockSize) == 0;
}

}  // namespace pw
