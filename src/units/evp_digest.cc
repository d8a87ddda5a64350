#include "units/evp_digest.h"

namespace orvexa::internal {
namespace {

struct MdFree {
  void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
using FetchedMd = std::unique_ptr<EVP_MD, MdFree>;

}  // namespace

// Fetching resolves the provider by name under a lock inside OpenSSL; doing it
// once keeps that cost off every file of a duplicate scan. The function-local
// statics make the first use thread-safe.
const EVP_MD* md5Algorithm() {
  static const FetchedMd md(EVP_MD_fetch(nullptr, "MD5", nullptr));
  return md.get();
}

const EVP_MD* sha512Algorithm() {
  static const FetchedMd md(EVP_MD_fetch(nullptr, "SHA512", nullptr));
  return md.get();
}

EvpDigest::EvpDigest(const EVP_MD* algorithm) : ctx_(EVP_MD_CTX_new()), algorithm_(algorithm) {
  ok_ = ctx_ && algorithm_ && EVP_DigestInit_ex2(ctx_.get(), algorithm_, nullptr) == 1;
}

bool EvpDigest::update(const void* bytes, size_t count) {
  if (ok_ && count > 0) ok_ = EVP_DigestUpdate(ctx_.get(), bytes, count) == 1;
  return ok_;
}

bool EvpDigest::finish(uint8_t* out) {
  if (!ok_) return false;
  unsigned int written = 0;
  ok_ = EVP_DigestFinal_ex(ctx_.get(), out, &written) == 1 && written == digestLength();
  return ok_;
}

size_t EvpDigest::digestLength() const {
  return algorithm_ ? static_cast<size_t>(EVP_MD_get_size(algorithm_)) : 0;
}

std::string hexString(std::span<const uint8_t> bytes, bool upperCase) {
  const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t byte : bytes) {
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0x0F]);
  }
  return text;
}

}  // namespace orvexa::internal
