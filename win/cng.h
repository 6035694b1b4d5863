#pragma once
// bcrypt.dll (CNG) and crypt32.dll, loaded from the system folder only and bound
// by name. They are never imported: an import would be looked for beside the
// executable first, where a planted copy could call any signature valid.
// Everything here exists from Windows 7 on.
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <cstdint>

#include "win/handles.h"

namespace pw {

struct Cng {
  decltype(&::BCryptGetProperty) get_property;
  decltype(&::BCryptCreateHash) create_hash;
  decltype(&::BCryptHashData) hash_data;
  decltype(&::BCryptFinishHash) finish_hash;
  decltype(&::BCryptDestroyHash) destroy_hash;
  decltype(&::BCryptImportKeyPair) import_key_pair;
  decltype(&::BCryptDestroyKey) destroy_key;
  decltype(&::BCryptVerifySignature) verify_signature;
  decltype(&::BCryptGenerateKeyPair) generate_key_pair;
  decltype(&::BCryptFinalizeKeyPair) finalize_key_pair;
  decltype(&::BCryptExportKey) export_key;
  decltype(&::BCryptSignHash) sign_hash;
  decltype(&::CryptDecodeObjectEx) decode_object;
  decltype(&::CryptEncodeObjectEx) encode_object;
  decltype(&::CryptStringToBinaryA) string_to_binary;
  decltype(&::CryptBinaryToStringA) binary_to_string;
  // Opened once for the process; CNG lets any thread use them.
  BCRYPT_ALG_HANDLE sha256;
  BCRYPT_ALG_HANDLE ecdsa_p256;
};

// The binding, made on first use (from any thread); nullptr when the system
// lacks a library, a function or one of the two algorithms.
const Cng* cng() noexcept;

void destroy_cng_key(BCRYPT_KEY_HANDLE key) noexcept;
void destroy_cng_hash(BCRYPT_HASH_HANDLE hash) noexcept;
void free_local_memory(void* block) noexcept;
using UniqueCngKey = UniqueResource<BCRYPT_KEY_HANDLE, &destroy_cng_key>;
using UniqueCngHash = UniqueResource<BCRYPT_HASH_HANDLE, &destroy_cng_hash>;
using LocalMemory = UniqueResource<void*, &free_local_memory>;  // what crypt32 allocated

// A P-256 ECDSA key from the parts of a BCRYPT_ECCKEY_BLOB after its header
// (X, Y and for a private key d, each 32 bytes big-endian).
UniqueCngKey import_p256_key(bool private_key, const std::uint8_t* parts, std::size_t size);

}  // namespace pw
