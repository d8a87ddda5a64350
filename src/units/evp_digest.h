// Internal plumbing shared by the digest services: algorithms fetched from
// OpenSSL once per process, an owning digest context, and hex rendering.
//
// Thread-safety: the fetched algorithms are immutable and may be used from any
// thread at once; each EvpDigest instance belongs to one thread at a time.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace orvexa::internal {

// The process-wide MD5 and SHA-512 implementations; nullptr when the crypto
// library cannot provide them (a FIPS-only configuration has no MD5).
const EVP_MD* md5Algorithm();
const EVP_MD* sha512Algorithm();

// One running digest. Every operation returns false once anything failed, so
// a caller can feed all its data and check only the final result.
class EvpDigest {
 public:
  explicit EvpDigest(const EVP_MD* algorithm);

  bool ok() const { return ok_; }
  bool update(const void* bytes, size_t count);
  // Writes digestLength() bytes to `out`.
  bool finish(uint8_t* out);
  size_t digestLength() const;

 private:
  struct CtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
  };
  std::unique_ptr<EVP_MD_CTX, CtxFree> ctx_;
  const EVP_MD* algorithm_;
  bool ok_ = false;
};

// Two hex digits per byte, high nibble first.
std::string hexString(std::span<const uint8_t> bytes, bool upperCase);

}  // namespace orvexa::internal
