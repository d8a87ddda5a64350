#include "orvexa/units/file_hash.h"

#include <array>
#include <exception>
#include <memory>
#include <vector>

#include "orvexa/platform/file_reader.h"
#include "units/evp_digest.h"

namespace orvexa {
namespace {

constexpr size_t kChunkBytes = 4096;

// std::any needs a copyable value; the digest itself is neither copied nor
// shared, the shared_ptr only satisfies that requirement.
using EvpState = std::shared_ptr<internal::EvpDigest>;

ComputationContext evpContext(const EVP_MD* (*algorithm)(), size_t digestLength) {
  ComputationContext context;
  context.initialise = [algorithm](ComputationContext::State& state) {
    auto digest = std::make_shared<internal::EvpDigest>(algorithm());
    if (!digest->ok()) return false;
    state = std::move(digest);
    return true;
  };
  context.update = [](ComputationContext::State& state, const uint8_t* bytes, size_t count) {
    const EvpState* digest = std::any_cast<EvpState>(&state);
    return digest != nullptr && (*digest)->update(bytes, count);
  };
  context.finalise = [](uint8_t* out, ComputationContext::State& state) {
    const EvpState* digest = std::any_cast<EvpState>(&state);
    return digest != nullptr && (*digest)->finish(out);
  };
  context.digestLength = digestLength;
  return context;
}

std::string hashWith(const std::string& path, const ComputationContext& context) {
  if (!context.initialise || !context.update || !context.finalise) return {};
  RegularFile file = RegularFile::open(path);
  if (!file.ok()) return {};

  ComputationContext::State state;
  if (!context.initialise(state)) return {};
  std::array<uint8_t, kChunkBytes> chunk{};
  for (;;) {
    ssize_t got = file.read(chunk.data(), chunk.size());
    if (got < 0) return {};
    if (got == 0) break;
    if (!context.update(state, chunk.data(), static_cast<size_t>(got))) return {};
  }
  std::vector<uint8_t> digest(context.digestLength);
  if (!context.finalise(digest.data(), state)) return {};
  return internal::hexString(digest, /*upperCase=*/false);
}

}  // namespace

const ComputationContext& FileHash::md5Context() {
  static const ComputationContext context = evpContext(&internal::md5Algorithm, 16);
  return context;
}

const ComputationContext& FileHash::sha512Context() {
  static const ComputationContext context = evpContext(&internal::sha512Algorithm, 64);
  return context;
}

std::string FileHash::md5HashOfFileAtPath(const std::string& path) {
  return hashOfFileAtPath(path, md5Context());
}

std::string FileHash::SHA512HashOfFileAtPath(const std::string& path) {
  return hashOfFileAtPath(path, sha512Context());
}

std::string FileHash::hashOfFileAtPath(const std::string& path, const ComputationContext& context) {
  // The context's operations are the caller's code; nothing they throw may
  // escape a function whose contract is "a digest or the empty string".
  try {
    return hashWith(path, context);
  } catch (...) {
    return {};
  }
}

}  // namespace orvexa
