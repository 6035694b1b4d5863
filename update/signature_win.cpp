// Keys and signature verification through CNG; crypt32 reads each encoding too and
// must find in it what the strict reading found.
#include <windows.h>

#include <cstring>

#include "update/sha256.h"
#include "update/signature.h"
#include "win/cng.h"

namespace pw {

namespace {

// What crypt32 decodes `der` as `type` into, owned; empty when it cannot.
template <class Decoded>
LocalMemory decode(const Cng& api, LPCSTR type, const std::uint8_t* der, std::size_t size, const Decoded*& decoded) {
  void* block = nullptr;
  DWORD block_size = 0;
  if (!api.decode_object(X509_ASN_ENCODING, type, der, static_cast<DWORD>(size), CRYPT_DECODE_ALLOC_FLAG, nullptr,
                         &block, &block_size))
    return LocalMemory();
  decoded = static_cast<const Decoded*>(block);
  return LocalMemory(block);
}

bool crypt32_reads_the_same_key(const Cng& api, const std::vector<std::uint8_t>& spki, const PublicPoint& point) {
  const CERT_PUBLIC_KEY_INFO* info = nullptr;
  const LocalMemory owned = decode(api, X509_PUBLIC_KEY_INFO, spki.data(), spki.size(), info);
  return owned && std::strcmp(info->Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) == 0 &&
         info->Algorithm.Parameters.cbData == sizeof kP256CurveOid &&
         std::memcmp(info->Algorithm.Parameters.pbData, kP256CurveOid, sizeof kP256CurveOid) == 0 &&
         info->PublicKey.cbData == 1 + point.size() && info->PublicKey.cUnusedBits == 0 &&
         info->PublicKey.pbData[0] == 0x04 && std::memcmp(info->PublicKey.pbData + 1, point.data(), point.size()) == 0;
}

// crypt32 gives r and s least significant byte first, as long as they need.
bool crypt32_reads_the_same_signature(const Cng& api, const std::uint8_t* der, std::size_t size,
                                      const RawSignature& raw) {
  const CERT_ECC_SIGNATURE* signature = nullptr;
  const LocalMemory owned = decode(api, X509_ECC_SIGNATURE, der, size, signature);
  if (!owned) return false;
  const std::optional<Scalar> r = scalar_of_little_endian(signature->r.pbData, signature->r.cbData);
  const std::optional<Scalar> s = scalar_of_little_endian(signature->s.pbData, signature->s.cbData);
  return r && s && std::memcmp(r->data(), raw.data(), 32) == 0 && std::memcmp(s->data(), raw.data() + 32, 32) == 0;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> der_of_pem_block(const std::string& block) {
  const Cng* api = cng();
  DWORD size = 0;
  const DWORD length = static_cast<DWORD>(block.size());
  if (!api || !api->string_to_binary(block.data(), length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
    return std::nullopt;
  std::vector<std::uint8_t> der(size);
  if (!api->string_to_binary(block.data(), length, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr))
    return std::nullopt;
  der.resize(size);
  return der;
}

std::optional<std::size_t> trusted_signer(const TrustedKeys& keys, const std::uint8_t* message, std::size_t size,
                                          const std::uint8_t* der_signature, std::size_t signature_size) {
  const Cng* api = cng();
  const std::optional<RawSignature> raw = raw_signature_of_der(der_signature, signature_size);
  if (!api || !raw || !crypt32_reads_the_same_signature(*api, der_signature, signature_size, *raw)) return std::nullopt;
  const std::optional<Digest> digest = sha256_of(message, size);
  if (!digest) return std::nullopt;
  for (std::size_t i = 0; i < keys.keys.size(); ++i) {
    const std::optional<PublicPoint> point = p256_point_of_spki(keys.keys[i].spki.data(), keys.keys[i].spki.size());
    if (!point || !crypt32_reads_the_same_key(*api, keys.keys[i].spki, *point)) continue;
    const UniqueCngKey key = import_p256_key(false, point->data(), point->size());
    if (key && api->verify_signature(key.get(), nullptr, const_cast<PUCHAR>(digest->data()),
                                     static_cast<ULONG>(digest->size()), const_cast<PUCHAR>(raw->data()),
                                     static_cast<ULONG>(raw->size()), 0) == 0)
      return i;
  }
  return std::nullopt;
}

}  // namespace pw
