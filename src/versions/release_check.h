// The checks a launcher built with release keys applies to a fetched
// release record before it trusts anything the record names, in the order
// they are made: form, signer, signature, expiry, rollback. Pure functions;
// any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "versions/release_keys.h"
#include "versions/release_record.h"

namespace vantrel {

enum class TReleaseVerdict {
  Trusted,       // every check passed
  Missing,       // no record could be fetched (the caller tells this one)
  Malformed,     // not 284 bytes, or not a release record
  UnknownKey,    // signed by a key that is not in the launcher's list
  BadSignature,  // the signature does not verify with the key it names
  Expired,       // the record's expiry time has passed
  Rollback,      // older than the newest release this client has accepted
};

// Parses bytes into record and checks it against keys, the time now
// (seconds since 1970-01-01 UTC) and accepted, the highest update version
// this client has accepted (0: none). record holds what was parsed also
// when a later check failed.
TReleaseVerdict CheckReleaseRecord(std::span<const uint8_t> bytes, const TReleaseKeyList& keys,
                                   int64_t now, int32_t accepted, TReleaseRecord& record);

// One English sentence for the log saying which check failed and why.
std::string DescribeReleaseVerdict(TReleaseVerdict verdict, const TReleaseRecord& record,
                                   int64_t now, int32_t accepted);

// UTC time as "2024-05-01 12:00:00 UTC".
std::string FormatUtcTime(int64_t seconds);

}  // namespace vantrel
