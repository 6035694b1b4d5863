// The update file header check on arbitrary bytes, and files built by the
// update file builder from arbitrary fields.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "tests/fuzz/fuzz_check.h"
#include "tools/cam_builder.h"
#include "update/update_file.h"

namespace {

using pw::HeaderVerdict;

// The verdict from the layout alone: length first, then marker, then flag.
HeaderVerdict expected_verdict(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size < pw::kHeaderBlockSize + 4) return HeaderVerdict::too_short;
  if (data[0] != '$') return HeaderVerdict::bad_marker;
  return data[1] != 0 ? HeaderVerdict::send : HeaderVerdict::skip;
}

// The raw input as a file, in a heap block of exactly its size so a read past
// the end is caught by ASan.
void check_raw(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  FUZZ_CHECK(pw::check_update_header(copy.get(), size) == expected_verdict(copy.get(), size));
  // The same bytes with a claimed size of zero, and no buffer at all.
  FUZZ_CHECK(pw::check_update_header(copy.get(), 0) == HeaderVerdict::too_short);
  FUZZ_CHECK(pw::check_update_header(nullptr, size) == HeaderVerdict::too_short);
}

// A file from the builder: the verdict follows its fields, and what the device
// would receive is the command header then the payload, only for a sent file.
void check_built(FuzzedDataProvider& in) {
  pw::tools::CamFields fields;
  fields.send_flag = in.ConsumeIntegral<std::uint8_t>();
  fields.marker = in.ConsumeBool() ? in.ConsumeIntegral<std::uint8_t>() : pw::kHeaderMarker;
  fields.filler = in.ConsumeIntegral<std::uint8_t>();
  fields.command = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 64));
  const pw::tools::Bytes payload = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 9000));
  const pw::tools::Bytes file = pw::tools::build_update_file(fields, payload);

  FUZZ_CHECK(file.size() == pw::kHeaderBlockSize + payload.size());
  const HeaderVerdict verdict = pw::check_update_header(file.data(), file.size());
  HeaderVerdict wanted = HeaderVerdict::send;
  if (payload.size() < 4) {
    wanted = HeaderVerdict::too_short;
  } else if (fields.marker != pw::kHeaderMarker) {
    wanted = HeaderVerdict::bad_marker;
  } else if (fields.send_flag == 0) {
    wanted = HeaderVerdict::skip;
  }
  FUZZ_CHECK(verdict == wanted);

  const pw::tools::Bytes stream = pw::tools::device_stream(file);
  if (verdict != HeaderVerdict::send) {
    FUZZ_CHECK(stream.empty());
    return;
  }
  FUZZ_CHECK(stream.size() == pw::kCommandHeaderSize + payload.size());
  FUZZ_CHECK(stream[0] == pw::kHeaderMarker && stream[1] == fields.send_flag);
  for (std::size_t i = 2; i < pw::kCommandHeaderSize; ++i)
    FUZZ_CHECK(stream[i] == (i - 2 < fields.command.size() ? fields.command[i - 2] : fields.filler));
  FUZZ_CHECK(std::memcmp(stream.data() + pw::kCommandHeaderSize, payload.data(), payload.size()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_raw(data, size);
  FuzzedDataProvider in(data, size);
  check_built(in);
  return 0;
}
