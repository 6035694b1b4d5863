#include "win/cng.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace pw {

namespace {

HMODULE load_system_library(const wchar_t* name) {
  HMODULE module = ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module || ::GetLastError() != ERROR_INVALID_PARAMETER) return module;
  // Windows 7 without its loader update knows no LOAD_LIBRARY_SEARCH_*: the
  // system folder's copy by its full path instead.
  wchar_t folder[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(folder, n) + L"\\" + name;
  return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <class Function>
bool bind(HMODULE module, const char* name, Function& function) {
  const FARPROC address = ::GetProcAddress(module, name);
  function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
  return address != nullptr;
}

std::optional<Cng> make_binding() {
  // Kept loaded for the rest of the process, as the binding is.
  const HMODULE bcrypt = load_system_library(L"bcrypt.dll");
  const HMODULE crypt32 = load_system_library(L"crypt32.dll");
  if (!bcrypt || !crypt32) return std::nullopt;
  Cng api{};
  decltype(&::BCryptOpenAlgorithmProvider) open_algorithm = nullptr;
  const bool bound =
      bind(bcrypt, "BCryptOpenAlgorithmProvider", open_algorithm) &&
      bind(bcrypt, "BCryptGetProperty", api.get_property) && bind(bcrypt, "BCryptCreateHash", api.create_hash) &&
      bind(bcrypt, "BCryptHashData", api.hash_data) && bind(bcrypt, "BCryptFinishHash", api.finish_hash) &&
      bind(bcrypt, "BCryptDestroyHash", api.destroy_hash) && bind(bcrypt, "BCryptImportKeyPair", api.import_key_pair) &&
      bind(bcrypt, "BCryptDestroyKey", api.destroy_key) &&
      bind(bcrypt, "BCryptVerifySignature", api.verify_signature) &&
      bind(bcrypt, "BCryptGenerateKeyPair", api.generate_key_pair) &&
      bind(bcrypt, "BCryptFinalizeKeyPair", api.finalize_key_pair) && bind(bcrypt, "BCryptExportKey", api.export_key) &&
      bind(bcrypt, "BCryptSignHash", api.sign_hash) && bind(crypt32, "CryptDecodeObjectEx", api.decode_object) &&
      bind(crypt32, "CryptEncodeObjectEx", api.encode_object) &&
      bind(crypt32, "CryptStringToBinaryA", api.string_to_binary) &&
      bind(crypt32, "CryptBinaryToStringA", api.binary_to_string);
  if (!bound || open_algorithm(&api.sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0 ||
      open_algorithm(&api.ecdsa_p256, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0)
    return std::nullopt;
  return api;
}

}  // namespace

const Cng* cng() noexcept {
  static const std::optional<Cng> binding = make_binding();
  return binding ? &*binding : nullptr;
}

void destroy_cng_key(BCRYPT_KEY_HANDLE key) noexcept {
  if (const Cng* api = cng()) api->destroy_key(key);
}

void destroy_cng_hash(BCRYPT_HASH_HANDLE hash) noexcept {
  if (const Cng* api = cng()) api->destroy_hash(hash);
}

void free_local_memory(void* block) noexcept { ::LocalFree(block); }

UniqueCngKey import_p256_key(bool private_key, const std::uint8_t* parts, std::size_t size) {
  const Cng* api = cng();
  if (!api || size != (private_key ? 96u : 64u)) return UniqueCngKey();
  std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + size);
  BCRYPT_ECCKEY_BLOB header{
      private_key ? ULONG{BCRYPT_ECDSA_PRIVATE_P256_MAGIC} : ULONG{BCRYPT_ECDSA_PUBLIC_P256_MAGIC}, 32};
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, parts, size);
  BCRYPT_KEY_HANDLE key = nullptr;
  if (api->import_key_pair(api->ecdsa_p256, nullptr, private_key ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB, &key,
                           blob.data(), static_cast<ULONG>(blob.size()), 0) != 0)
    return UniqueCngKey();
  return UniqueCngKey(key);
}

}  // namespace pw
