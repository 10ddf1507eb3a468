// The two small records the download servers publish beside the client's
// version list: "launcher.version" (which launcher is current) and
// "build.version" (which build is current and how long its list is). Each
// starts with the MD5 of the bytes after it. Plain values; no shared state.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "platform/stream.h"
#include "versions/update_utils.h"

namespace vantrel {

using TDigest = std::array<uint8_t, 16>;

// "launcher.version", 36 bytes: digest of bytes 16..35, the size of the
// launcher's transfer file (its zlib form), the MD5 of the launcher itself.
struct TLauncherVersionRecord {
  static constexpr int64_t kSize = 36;

  TDigest digest{};  // as stored; Serialize writes a fresh one
  int32_t launchersize = 0;
  TDigest launcherhash{};

  // False (record unchanged) unless bytes holds exactly kSize bytes. The
  // digest is not checked here: see IsDigestValid.
  bool Parse(std::span<const uint8_t> bytes);
  // The whole stream from offset 0; false unless it is exactly kSize long.
  bool Parse(TStream& stream);
  // Whether digest is the MD5 of the fields after it.
  bool IsDigestValid() const;
  // kSize bytes with the digest computed over the fields.
  TBytes Serialize() const;
};

// "build.version", 24 bytes: digest of bytes 16..23, the published build's
// update version, the size in bytes of the published "client.version".
struct TBuildVersionRecord {
  static constexpr int64_t kSize = 24;

  TDigest digest{};
  int32_t updateversion = 0;
  int32_t clientversiondownsize = 0;

  bool Parse(std::span<const uint8_t> bytes);
  bool Parse(TStream& stream);
  bool IsDigestValid() const;
  TBytes Serialize() const;
};

}  // namespace vantrel
