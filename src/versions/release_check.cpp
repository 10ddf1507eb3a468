#include "versions/release_check.h"

#include <ctime>

namespace vantrel {

TReleaseVerdict CheckReleaseRecord(std::span<const uint8_t> bytes, const TReleaseKeyList& keys,
                                   int64_t now, int32_t accepted, TReleaseRecord& record) {
  if (bytes.empty()) return TReleaseVerdict::Missing;
  if (!record.Parse(bytes)) return TReleaseVerdict::Malformed;
  const TReleaseKey* key = keys.Find(record.keyid);
  if (key == nullptr) return TReleaseVerdict::UnknownKey;
  const TBytes signedpart = record.SignedPart();
  if (!VerifyEd25519(*key, signedpart, record.signature)) return TReleaseVerdict::BadSignature;
  if (now >= record.expiresat) return TReleaseVerdict::Expired;
  if (record.updateversion < accepted) return TReleaseVerdict::Rollback;
  return TReleaseVerdict::Trusted;
}

std::string FormatUtcTime(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (::gmtime_r(&t, &tm) == nullptr) return std::to_string(seconds) + " s";
  char text[64];
  if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0) {
    return std::to_string(seconds) + " s";
  }
  return text;
}

std::string DescribeReleaseVerdict(TReleaseVerdict verdict, const TReleaseRecord& record,
                                   int64_t now, int32_t accepted) {
  switch (verdict) {
    case TReleaseVerdict::Trusted:
      return "Release record " + std::to_string(record.updateversion) + " trusted (key " +
             KeyIdHex(record.keyid).substr(0, 16) + ", valid until " +
             FormatUtcTime(record.expiresat) + ")";
    case TReleaseVerdict::Missing:
      return "Release record missing: no server gave " + std::string(kReleaseRecordName) + " of " +
             std::to_string(TReleaseRecord::kSize) + " bytes";
    case TReleaseVerdict::Malformed:
      return "Release record malformed";
    case TReleaseVerdict::UnknownKey:
      return "Release record signed by an unknown key " + KeyIdHex(record.keyid).substr(0, 16);
    case TReleaseVerdict::BadSignature:
      return "Release record signature invalid";
    case TReleaseVerdict::Expired:
      return "Release record expired at " + FormatUtcTime(record.expiresat) + " (now " +
             FormatUtcTime(now) + ")";
    case TReleaseVerdict::Rollback:
      return "Release record older than the accepted release: update version " +
             std::to_string(record.updateversion) + " below " + std::to_string(accepted);
  }
  return "Release record refused";
}

}  // namespace vantrel
