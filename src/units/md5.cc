#include "orvexa/units/md5.h"

#include <array>

#include "units/evp_digest.h"

namespace orvexa {

std::string MD5(std::string_view string) {
  internal::EvpDigest digest(internal::md5Algorithm());
  std::array<uint8_t, 16> bytes{};
  digest.update(string.data(), string.size());
  // Identity texts need a value even where the crypto library refuses MD5;
  // an all-zero digest still keeps the result 32 digits long.
  if (!digest.finish(bytes.data())) bytes.fill(0);
  return internal::hexString(bytes, /*upperCase=*/true);
}

}  // namespace orvexa
