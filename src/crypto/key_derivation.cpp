#include "crypto/key_derivation.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <vector>

#include "core/handle.h"
#include "crypto/cipher_error.h"

namespace tolvo::KeyDerivation {
namespace {

using Kdf = Handle<EVP_KDF, EVP_KDF_free>;
using KdfContext = Handle<EVP_KDF_CTX, EVP_KDF_CTX_free>;

constexpr std::size_t kSha256Size = 32;

// OSSL_PARAM wants non-const pointers even for inputs it only reads.
OSSL_PARAM octets(const char* name, ByteView bytes) {
  static std::uint8_t empty = 0;
  void* data = bytes.empty() ? &empty : const_cast<std::uint8_t*>(bytes.data());
  return OSSL_PARAM_construct_octet_string(name, data, bytes.size());
}

// Runs the named KDF with `params` into `out`; false when the library reports an error.
bool derive(const char* algorithm, std::vector<OSSL_PARAM> params, Bytes& out) {
  Kdf kdf(EVP_KDF_fetch(nullptr, algorithm, nullptr));
  if (!kdf) return false;
  KdfContext ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) return false;
  params.push_back(OSSL_PARAM_construct_end());
  return EVP_KDF_derive(ctx.get(), out.data(), out.size(), params.data()) == 1;
}

}  // namespace

SecureBytes hkdfSha256(ByteView inputKeyMaterial, ByteView salt, ByteView info, std::size_t length) {
  if (length == 0 || length > 255 * kSha256Size) throw CipherError(CipherError::Code::invalidInput);
  static char digest[] = "SHA256";
  std::vector<OSSL_PARAM> params{
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      octets(OSSL_KDF_PARAM_KEY, inputKeyMaterial),
      octets(OSSL_KDF_PARAM_INFO, info),
  };
  if (!salt.empty()) params.push_back(octets(OSSL_KDF_PARAM_SALT, salt));
  SecureBytes out{Bytes(length)};
  if (!derive(OSSL_KDF_NAME_HKDF, std::move(params), out.mutableBytes())) {
    throw CipherError(CipherError::Code::internalFailure);
  }
  return out;
}

std::optional<SecureBytes> pbkdf2HmacSha256(ByteView password, ByteView salt, std::uint32_t iterations,
                                            std::size_t length) {
  if (iterations == 0 || length == 0) return std::nullopt;
  static char digest[] = "SHA256";
  std::uint64_t iterationCount = iterations;
  int pkcs5Mode = 1;  // RFC 8018 as written: no SP 800-132 minimums on salt, count or length
  std::vector<OSSL_PARAM> params{
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      octets(OSSL_KDF_PARAM_PASSWORD, password),
      octets(OSSL_KDF_PARAM_SALT, salt),
      OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_ITER, &iterationCount),
      OSSL_PARAM_construct_int(OSSL_KDF_PARAM_PKCS5, &pkcs5Mode),
  };
  SecureBytes out{Bytes(length)};
  if (!derive(OSSL_KDF_NAME_PBKDF2, std::move(params), out.mutableBytes())) return std::nullopt;
  return out;
}

}  // namespace tolvo::KeyDerivation
