// Feeds arbitrary bytes to the version record parsers and to the check a
// launcher with release keys applies to a fetched release record.
#include <cstdlib>

#include "fuzz_release_key.h"
#include "versions/release_check.h"
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
  // A release record reads back as it was; the check never trusts a record
  // no key signed (the one key listed here has no known private key).
  TReleaseRecord r;
  if (r.Parse(bytes) && r.Serialize() != TBytes(data, data + size)) std::abort();
  static const TReleaseKeyList keys = [] {
    TReleaseKeyList k;
    k.Add(fuzz::FuzzReleaseKey());
    return k;
  }();
  TReleaseRecord checked;
  if (CheckReleaseRecord(bytes, keys, 0, 0, checked) == TReleaseVerdict::Trusted) std::abort();
  return 0;
}
