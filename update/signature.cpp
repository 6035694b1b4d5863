#include "update/signature.h"

#include <cstring>
#include <utility>

namespace pw {

namespace {

// SubjectPublicKeyInfo {ecPublicKey, prime256v1} and the start of the BIT STRING
// holding an uncompressed point: DER leaves such a key no other bytes than these.
constexpr std::uint8_t kP256SpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
static_assert(sizeof kP256SpkiPrefix + 64 == kSpkiSize, "prefix and point make the whole key");

// ECPrivateKey {version 1, d, [0] prime256v1, [1] uncompressed point}, in pieces
// around d and the point.
constexpr std::uint8_t kSec1Head[] = {0x30, 0x77, 0x02, 0x01, 0x01, 0x04, 0x20};
constexpr std::uint8_t kSec1Middle[] = {0xa0, 0x0a, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d,
                                        0x03, 0x01, 0x07, 0xa1, 0x44, 0x03, 0x42, 0x00, 0x04};
constexpr std::size_t kSec1Size = sizeof kSec1Head + 32 + sizeof kSec1Middle + 64;

bool matches_at(const std::uint8_t* data, const std::uint8_t* expected, std::size_t size) {
  return std::memcmp(data, expected, size) == 0;
}

// One DER INTEGER at `pos`, minimal and positive, into `out` left-padded; moves `pos` past it.
bool read_integer(const std::uint8_t* der, std::size_t size, std::size_t& pos, std::uint8_t* out) {
  if (size - pos < 3 || der[pos] != 0x02) return false;
  std::size_t length = der[pos + 1];
  if (length == 0 || length >= 0x80 || length > size - pos - 2) return false;
  const std::uint8_t* value = der + pos + 2;
  pos += 2 + length;
  if (value[0] & 0x80) return false;                                    // negative
  if (length > 1 && value[0] == 0 && !(value[1] & 0x80)) return false;  // not minimal
  if (length > 1 && value[0] == 0) {                                    // the sign byte
    ++value;
    --length;
  }
  if (length > 32) return false;
  std::memset(out, 0, 32 - length);
  std::memcpy(out + 32 - length, value, length);
  return true;
}

void append_integer(std::vector<std::uint8_t>& der, const std::uint8_t* big_endian) {
  std::size_t skip = 0;
  while (skip < 31 && big_endian[skip] == 0) ++skip;
  const bool sign_byte = big_endian[skip] & 0x80;
  der.push_back(0x02);
  der.push_back(static_cast<std::uint8_t>(32 - skip + sign_byte));
  if (sign_byte) der.push_back(0);
  der.insert(der.end(), big_endian + skip, big_endian + 32);
}

bool is_blank(std::string_view line) { return line.find_first_not_of(" \t\r") == std::string_view::npos; }

bool is_base64_line(std::string_view line) {
  return !line.empty() && line.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") ==
                              std::string_view::npos;
}

}  // namespace

std::optional<RawSignature> raw_signature_of_der(const std::uint8_t* der, std::size_t size) {
  if (size < 8 || size > kMaxSignatureSize || der[0] != 0x30 || der[1] >= 0x80 || der[1] != size - 2)
    return std::nullopt;
  RawSignature raw;
  std::size_t pos = 2;
  if (!read_integer(der, size, pos, raw.data()) || !read_integer(der, size, pos, raw.data() + 32) || pos != size)
    return std::nullopt;
  return raw;
}

std::vector<std::uint8_t> der_of_raw_signature(const RawSignature& raw) {
  std::vector<std::uint8_t> der = {0x30, 0};
  append_integer(der, raw.data());
  append_integer(der, raw.data() + 32);
  der[1] = static_cast<std::uint8_t>(der.size() - 2);
  return der;
}

std::optional<Scalar> scalar_of_little_endian(const std::uint8_t* little, std::size_t size) {
  if (size == 0) return std::nullopt;
  while (size > 1 && little[size - 1] == 0) --size;
  if (size > 32) return std::nullopt;
  Scalar out{};
  for (std::size_t i = 0; i < size; ++i) out[31 - i] = little[i];
  return out;
}

std::optional<PublicPoint> p256_point_of_spki(const std::uint8_t* der, std::size_t size) {
  if (size != kSpkiSize || !matches_at(der, kP256SpkiPrefix, sizeof kP256SpkiPrefix)) return std::nullopt;
  PublicPoint point;
  std::memcpy(point.data(), der + sizeof kP256SpkiPrefix, point.size());
  return point;
}

std::vector<std::uint8_t> sec1_of_private_key(const P256PrivateKey& key) {
  std::vector<std::uint8_t> der(kSec1Size);
  std::uint8_t* out = der.data();
  for (const auto& [part, size] : {std::pair<const std::uint8_t*, std::size_t>{kSec1Head, sizeof kSec1Head},
                                   {key.d.data(), key.d.size()},
                                   {kSec1Middle, sizeof kSec1Middle},
                                   {key.q.data(), key.q.size()}}) {
    std::memcpy(out, part, size);
    out += size;
  }
  return der;
}

std::optional<P256PrivateKey> private_key_of_sec1(const std::uint8_t* der, std::size_t size) {
  constexpr std::size_t kMiddleAt = sizeof kSec1Head + 32;
  if (size != kSec1Size || !matches_at(der, kSec1Head, sizeof kSec1Head) ||
      !matches_at(der + kMiddleAt, kSec1Middle, sizeof kSec1Middle))
    return std::nullopt;
  P256PrivateKey key;
  std::memcpy(key.d.data(), der + sizeof kSec1Head, key.d.size());
  std::memcpy(key.q.data(), der + kMiddleAt + sizeof kSec1Middle, key.q.size());
  return key;
}

std::vector<std::string> pem_blocks(std::string_view text, std::string_view label, bool* stray) {
  const std::string begin = "-----BEGIN " + std::string(label) + "-----";
  const std::string end = "-----END " + std::string(label) + "-----";
  std::vector<std::string> blocks;
  std::string block;
  bool inside = false, other = false;
  while (!text.empty()) {
    const std::size_t line_end = text.find('\n');
    std::string_view line = text.substr(0, line_end);
    text.remove_prefix(line_end == std::string_view::npos ? text.size() : line_end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (!inside) {
      if (line == begin) {
        inside = true;
        block = std::string(line) + "\n";
      } else if (!is_blank(line)) {
        other = true;
      }
    } else if (line == end) {
      inside = false;
      blocks.push_back(block + std::string(line) + "\n");
    } else if (is_base64_line(line)) {
      block += std::string(line) + "\n";
    } else {
      inside = false;  // a block cut short or holding something else: not one of them
      other = true;
    }
  }
  if (stray) *stray = other || inside;
  return blocks;
}

}  // namespace pw
