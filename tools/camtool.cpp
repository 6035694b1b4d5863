// camtool: makes and inspects update files.
//   camtool pack OUT.cam PAYLOAD [--flag N] [--command HEX...] [--fill BYTE]
//   camtool make OUT.cam SIZE [--flag N] [--seed N]   (payload of SIZE bytes from a seeded generator)
//   camtool show FILE.cam
//   camtool stream FILE.cam...   (writes to stdout what the device receives for the files, in order)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "tools/cam_builder.h"
#include "update/update_file.h"

namespace {

using pw::tools::Bytes;

bool read_file(const std::string& path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool write_file(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

struct PackOptions {
  pw::tools::CamFields fields;
  std::uint32_t seed = 1;
};

bool parse_options(int argc, char** argv, int first, PackOptions* options) {
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (arg == "--flag") {
      options->fields.send_flag = static_cast<std::uint8_t>(std::strtoul(value, nullptr, 0));
    } else if (arg == "--fill") {
      options->fields.filler = static_cast<std::uint8_t>(std::strtoul(value, nullptr, 0));
    } else if (arg == "--seed") {
      options->seed = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 0));
    } else if (arg == "--command") {
      const std::string hex = value;
      if (hex.size() % 2) return false;
      for (std::size_t k = 0; k < hex.size(); k += 2)
        options->fields.command.push_back(static_cast<std::uint8_t>(std::strtoul(hex.substr(k, 2).c_str(), nullptr, 16)));
    } else {
      return false;
    }
  }
  return true;
}

const char* verdict_name(pw::HeaderVerdict v) {
  switch (v) {
    case pw::HeaderVerdict::too_short: return "refused: shorter than its header";
    case pw::HeaderVerdict::bad_marker: return "refused: wrong header marker";
    case pw::HeaderVerdict::skip: return "skipped: send flag is 0";
    case pw::HeaderVerdict::send: return "sent";
  }
  return "?";
}

int show(const std::string& path) {
  Bytes data;
  if (!read_file(path, &data)) {
    std::fprintf(stderr, "camtool: cannot read %s\n", path.c_str());
    return 1;
  }
  std::printf("file:        %s\n", path.c_str());
  std::printf("size:        %zu bytes\n", data.size());
  if (!data.empty()) std::printf("marker:      0x%02X\n", data[0]);
  if (data.size() > 1) std::printf("send flag:   0x%02X\n", data[1]);
  if (data.size() >= pw::kCommandHeaderSize) {
    std::printf("command:    ");
    for (std::size_t i = 0; i < pw::kCommandHeaderSize; ++i) std::printf(" %02X", data[i]);
    std::printf("\n");
  }
  if (data.size() > pw::kHeaderBlockSize) std::printf("payload:     %zu bytes\n", data.size() - pw::kHeaderBlockSize);
  std::printf("updater:     %s\n", verdict_name(pw::check_update_header(data.data(), data.size())));
  return 0;
}

int stream(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);  // the stream is bytes, not text
#endif
  for (int i = 2; i < argc; ++i) {
    Bytes data;
    if (!read_file(argv[i], &data)) {
      std::fprintf(stderr, "camtool: cannot read %s\n", argv[i]);
      return 1;
    }
    const Bytes stream = pw::tools::device_stream(data);
    std::fwrite(stream.data(), 1, stream.size(), stdout);
  }
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: camtool pack OUT.cam PAYLOAD [--flag N] [--command HEX] [--fill BYTE]\n"
               "       camtool make OUT.cam PAYLOAD_SIZE [--flag N] [--seed N] [--command HEX]\n"
               "       camtool show FILE.cam\n"
               "       camtool stream FILE.cam...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string verb = argv[1];
  if (verb == "show" && argc == 3) return show(argv[2]);
  if (verb == "stream") return stream(argc, argv);
  if ((verb == "pack" || verb == "make") && argc >= 4) {
    PackOptions options;
    if (!parse_options(argc, argv, 4, &options)) return usage();
    Bytes payload;
    if (verb == "pack") {
      if (!read_file(argv[3], &payload)) {
        std::fprintf(stderr, "camtool: cannot read %s\n", argv[3]);
        return 1;
      }
    } else {
      payload = pw::tools::generated_payload(std::strtoull(argv[3], nullptr, 0), options.seed);
    }
    const Bytes file = pw::tools::build_update_file(options.fields, payload);
    if (!write_file(argv[2], file)) {
      std::fprintf(stderr, "camtool: cannot write %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  return usage();
}
