#include "versions/version_records.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(VersionRecords, LauncherRecordLayout) {
  TLauncherVersionRecord r;
  r.launchersize = 0x01020304;
  for (int i = 0; i < 16; ++i) r.launcherhash[i] = static_cast<uint8_t>(0xA0 + i);
  const TBytes b = r.Serialize();
  ASSERT_EQ(b.size(), 36u);
  EXPECT_EQ(TBytes(b.begin() + 16, b.begin() + 20), (TBytes{0x04, 0x03, 0x02, 0x01}));
  EXPECT_EQ(TBytes(b.begin() + 20, b.end()), TBytes(r.launcherhash.begin(), r.launcherhash.end()));
  TMemoryStream tail(TBytes(b.begin() + 16, b.end()));
  EXPECT_EQ(TBytes(b.begin(), b.begin() + 16), GetStreamMD5(tail));

  TLauncherVersionRecord back;
  ASSERT_TRUE(back.Parse(b));
  EXPECT_TRUE(back.IsDigestValid());
  EXPECT_EQ(back.launchersize, r.launchersize);
  EXPECT_EQ(back.launcherhash, r.launcherhash);
}

TEST(VersionRecords, BuildRecordLayout) {
  TBuildVersionRecord r;
  r.updateversion = 77;
  r.clientversiondownsize = 123456;
  const TBytes b = r.Serialize();
  ASSERT_EQ(b.size(), 24u);
  EXPECT_EQ(TBytes(b.begin() + 16, b.end()), (TBytes{77, 0, 0, 0, 0x40, 0xE2, 0x01, 0}));
  TMemoryStream m(b);
  TBuildVersionRecord back;
  ASSERT_TRUE(back.Parse(m));
  EXPECT_TRUE(back.IsDigestValid());
  EXPECT_EQ(back.updateversion, 77);
  EXPECT_EQ(back.clientversiondownsize, 123456);
}

TEST(VersionRecords, WrongSizesAndDamagedDigests) {
  TLauncherVersionRecord l;
  l.launchersize = 5;
  const TBytes lb = l.Serialize();
  TBuildVersionRecord b;
  b.updateversion = 9;
  const TBytes bb = b.Serialize();
  for (const size_t n : {size_t{0}, size_t{24}, size_t{35}, size_t{37}}) {
    SCOPED_TRACE(n);
    TBytes x = lb;
    x.resize(n);
    TLauncherVersionRecord r;
    r.launchersize = 42;
    EXPECT_FALSE(r.Parse(x));
    EXPECT_EQ(r.launchersize, 42);
    TMemoryStream m(x);
    EXPECT_FALSE(r.Parse(m));
  }
  for (const size_t n : {size_t{0}, size_t{23}, size_t{25}, size_t{36}}) {
    SCOPED_TRACE(n);
    TBytes x = bb;
    x.resize(n);
    TBuildVersionRecord r;
    EXPECT_FALSE(r.Parse(x));
  }
  for (size_t i : {size_t{0}, size_t{16}, size_t{35}}) {
    SCOPED_TRACE(i);
    TBytes x = lb;
    x[i] ^= 1;
    TLauncherVersionRecord r;
    ASSERT_TRUE(r.Parse(x));
    EXPECT_FALSE(r.IsDigestValid());
  }
  TBytes x = bb;
  x[20] ^= 0x80;
  TBuildVersionRecord r;
  ASSERT_TRUE(r.Parse(x));
  EXPECT_FALSE(r.IsDigestValid());
}

}  // namespace
}  // namespace vantrel
