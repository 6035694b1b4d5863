#include "update/update_file.h"

namespace pw {

HeaderVerdict check_update_header(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size < kHeaderCheckSize) return HeaderVerdict::too_short;
  if (data[0] != kHeaderMarker) return HeaderVerdict::bad_marker;
  return data[1] == 0 ? HeaderVerdict::skip : HeaderVerdict::send;
}

}  // namespace pw
