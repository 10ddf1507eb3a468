// The one key the release record fuzz target lists: fixed public-key bytes
// whose private key nobody holds. The seed corpus names it, so that inputs
// reach the signature check.
#pragma once

#include <array>
#include <cstdint>

#include "versions/release_keys.h"

namespace vantrel::fuzz {

inline TReleaseKey FuzzReleaseKey() {
  std::array<uint8_t, 32> raw{};
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i * 37 + 11);
  return TReleaseKey::FromRaw(raw);
}

}  // namespace vantrel::fuzz
