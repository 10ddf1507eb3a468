// Feeds arbitrary bytes to the two version record parsers.
#include <cstdlib>

#include "versions/version_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantrel;
  const std::span<const uint8_t> bytes(data, size);
  TLauncherVersionRecord l;
  if (l.Parse(bytes) && l.IsDigestValid() && l.Serialize() != TBytes(data, data + size)) {
    std::abort();
  }
  TBuildVersionRecord b;
  if (b.Parse(bytes) && b.IsDigestValid() && b.Serialize() != TBytes(data, data + size)) {
    std::abort();
  }
  return 0;
}
