#include "tools/maker_signing.h"

#include <windows.h>

#include <cstring>

#include "update/sha256.h"
#include "update/signature.h"
#include "win/cng.h"

namespace pw::tools {

namespace {

std::optional<std::string> pem_of(const Cng& api, const char* label, const std::vector<std::uint8_t>& der) {
  DWORD size = 0;
  const DWORD der_size = static_cast<DWORD>(der.size());
  if (!api.binary_to_string(der.data(), der_size, CRYPT_STRING_BASE64, nullptr, &size)) return std::nullopt;
  std::string base64(size, '\0');
  if (!api.binary_to_string(der.data(), der_size, CRYPT_STRING_BASE64, &base64[0], &size)) return std::nullopt;
  base64.resize(size);
  return std::string("-----BEGIN ") + label + "-----\r\n" + base64 + "-----END " + label + "-----\r\n";
}

// The SubjectPublicKeyInfo of `point`, encoded by crypt32 and checked to be the one form keys are taken in.
std::optional<std::vector<std::uint8_t>> spki_of(const Cng& api, const PublicPoint& point) {
  BYTE uncompressed[65] = {0x04};
  std::memcpy(uncompressed + 1, point.data(), point.size());
  CERT_PUBLIC_KEY_INFO info{};
  info.Algorithm.pszObjId = const_cast<LPSTR>(szOID_ECC_PUBLIC_KEY);
  info.Algorithm.Parameters = {sizeof kP256CurveOid, const_cast<BYTE*>(&kP256CurveOid[0])};
  info.PublicKey = {sizeof uncompressed, uncompressed, 0};
  DWORD size = 0;
  if (!api.encode_object(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &info, 0, nullptr, nullptr, &size))
    return std::nullopt;
  std::vector<std::uint8_t> der(size);
  if (!api.encode_object(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &info, 0, nullptr, der.data(), &size))
    return std::nullopt;
  der.resize(size);
  const std::optional<PublicPoint> back = p256_point_of_spki(der.data(), der.size());
  if (!back || *back != point) return std::nullopt;
  return der;
}

}  // namespace

std::optional<KeyPairPem> generate_key_pair(std::string& error) {
  const Cng* api = cng();
  if (!api) return error = "CNG (bcrypt.dll, crypt32.dll) is not available", std::nullopt;
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (api->generate_key_pair(api->ecdsa_p256, &handle, 256, 0) != 0)
    return error = "CNG could not generate a P-256 key", std::nullopt;
  const UniqueCngKey key(handle);
  // The header, then X, Y and d, each 32 bytes.
  UCHAR blob[sizeof(BCRYPT_ECCKEY_BLOB) + 96];
  ULONG size = 0;
  if (api->finalize_key_pair(key.get(), 0) != 0 ||
      api->export_key(key.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof blob, &size, 0) != 0 ||
      size != sizeof blob)
    return error = "CNG could not export the new key", std::nullopt;
  P256PrivateKey parts;
  std::memcpy(parts.q.data(), blob + sizeof(BCRYPT_ECCKEY_BLOB), parts.q.size());
  std::memcpy(parts.d.data(), blob + sizeof(BCRYPT_ECCKEY_BLOB) + parts.q.size(), parts.d.size());
  SecureZeroMemory(blob, sizeof blob);
  std::vector<std::uint8_t> private_der = sec1_of_private_key(parts);
  SecureZeroMemory(parts.d.data(), parts.d.size());
  const std::optional<std::vector<std::uint8_t>> public_der = spki_of(*api, parts.q);
  std::optional<std::string> private_pem = pem_of(*api, "EC PRIVATE KEY", private_der);
  SecureZeroMemory(private_der.data(), private_der.size());
  std::optional<std::string> public_pem = public_der ? pem_of(*api, "PUBLIC KEY", *public_der) : std::nullopt;
  if (!private_pem || !public_pem) return error = "crypt32 could not encode the new key", std::nullopt;
  return KeyPairPem{std::move(*private_pem), std::move(*public_pem)};
}

std::optional<std::vector<std::uint8_t>> sign_bytes(const std::string& private_pem, const std::uint8_t* data,
                                                    std::size_t size, std::string& error) {
  const Cng* api = cng();
  if (!api) return error = "CNG (bcrypt.dll, crypt32.dll) is not available", std::nullopt;
  const std::vector<std::string> blocks = pem_blocks(private_pem, "EC PRIVATE KEY", nullptr);
  std::optional<std::vector<std::uint8_t>> der = blocks.size() == 1 ? der_of_pem_block(blocks[0]) : std::nullopt;
  std::optional<P256PrivateKey> parts = der ? private_key_of_sec1(der->data(), der->size()) : std::nullopt;
  if (der) SecureZeroMemory(der->data(), der->size());
  if (!parts)
    return error =
               "not one P-256 \"EC PRIVATE KEY\" as camtool keygen or "
               "`openssl ecparam -name prime256v1 -genkey -noout` writes it",
           std::nullopt;
  UCHAR key_parts[96];
  std::memcpy(key_parts, parts->q.data(), 64);
  std::memcpy(key_parts + 64, parts->d.data(), 32);
  SecureZeroMemory(parts->d.data(), parts->d.size());
  const UniqueCngKey key = import_p256_key(true, key_parts, sizeof key_parts);
  SecureZeroMemory(key_parts, sizeof key_parts);
  if (!key) return error = "CNG does not take the key (is its public point its own?)", std::nullopt;
  std::optional<Digest> digest = sha256_of(data, size);
  RawSignature raw;
  ULONG raw_size = 0;
  if (!digest ||
      api->sign_hash(key.get(), nullptr, digest->data(), static_cast<ULONG>(digest->size()), raw.data(),
                     static_cast<ULONG>(raw.size()), &raw_size, 0) != 0 ||
      raw_size != raw.size())
    return error = "CNG could not sign", std::nullopt;
  return der_of_raw_signature(raw);
}

}  // namespace pw::tools
