#include "versions/update_utils.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <random>

#include "platform/errors.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using testing::TTempDir;

std::string Hex(const TBytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t x : b) {
    s += d[x >> 4];
    s += d[x & 15];
  }
  return s;
}

TMemoryStream StreamOf(const std::string& s) { return TMemoryStream(TBytes(s.begin(), s.end())); }

TBytes RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  TBytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// Counts reads to show the 4096-byte loop.
class TCountingStream : public TMemoryStream {
 public:
  using TMemoryStream::TMemoryStream;
  int64_t Read(void* buffer, int64_t count) override {
    ++reads;
    lastcount = count;
    return TMemoryStream::Read(buffer, count);
  }
  int reads = 0;
  int64_t lastcount = 0;
};

TEST(MD5, KnownDigestsAndBlockBoundaries) {
  struct Case {
    const char* label;
    std::string data;
    const char* md5;
    int reads;
  };
  const Case cases[] = {
      {"empty", "", "d41d8cd98f00b204e9800998ecf8427e", 1},
      {"abc", "abc", "900150983cd24fb0d6963f7d28e17f72", 1},
      {"4096 a", std::string(4096, 'a'), "21a199c53f422a380e20b162fb6ebe9c", 2},
      {"4097 a", std::string(4097, 'a'), "8cfc1a0bd8cd76599e76e5e721c6e62e", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TCountingStream s(TBytes(c.data.begin(), c.data.end()));
    EXPECT_EQ(Hex(GetStreamMD5(s)), c.md5);
    EXPECT_EQ(s.reads, c.reads);
    EXPECT_EQ(s.lastcount, 4096);
    EXPECT_EQ(s.Position(), s.Size());
  }
}

TEST(MD5, FromPositionAndOfFiles) {
  TMemoryStream s = StreamOf("xxabc");
  s.SetPosition(2);
  EXPECT_EQ(Hex(GetStreamMD5(s)), "900150983cd24fb0d6963f7d28e17f72");
  s.SetPosition(5);  // at the end: digest of nothing
  EXPECT_EQ(Hex(GetStreamMD5(s)), "d41d8cd98f00b204e9800998ecf8427e");

  TTempDir dir;
  const TBytes big = RandomBytes(3 * 4096 + 17, 1);
  testing::WriteFileBytes(dir.File("f.bin"), big);
  TMemoryStream mem(big);
  EXPECT_EQ(GetFileMD5(dir.File("f.bin")), GetStreamMD5(mem));
  EXPECT_THROW(GetFileMD5(dir.File("missing")), EFOpenError);
}

TEST(CRC32, ValuesAndPadding) {
  TMemoryStream s = StreamOf("123456789");
  EXPECT_EQ(GetStreamCRC32Value(s, 9), 0x2639F4CBu);
  EXPECT_EQ(s.Position(), 9);
  s.SetPosition(0);
  const auto digest = GetStreamCRC32(s, 9);
  EXPECT_EQ(digest, (std::array<uint8_t, 4>{0xCB, 0xF4, 0x39, 0x26}));

  s.SetPosition(0);
  EXPECT_EQ(GetStreamCRC32Value(s, 0), 0u);
  EXPECT_EQ(s.Position(), 0);

  // A short read is padded with zeros up to n.
  s.SetPosition(0);
  std::string padded = "123456789";
  padded.append(7, '\0');
  const uint32_t expected = __builtin_bswap32(
      static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(padded.data()), 16)));
  EXPECT_EQ(GetStreamCRC32Value(s, 16), expected);
  EXPECT_EQ(s.Position(), 9);
  EXPECT_EQ(CRC32Value(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x2639F4CBu);
}

TEST(Zlib, RoundTripsAndRejects) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{65536}, size_t{300001}}) {
    SCOPED_TRACE(n);
    const TBytes data = RandomBytes(n, static_cast<unsigned>(n));
    TMemoryStream src(data), packed, unpacked;
    ASSERT_TRUE(CompressStream(src, packed));
    ASSERT_GE(packed.Size(), 2);
    EXPECT_EQ(packed.Bytes()[0], 0x78);  // zlib wrapper, 15-bit window
    EXPECT_EQ(packed.Bytes()[1], 0x9C);  // default level
    packed.SetPosition(0);
    ASSERT_TRUE(DecompressStream(packed, unpacked));
    EXPECT_EQ(unpacked.Bytes(), data);
  }

  // The same packing as zlib's own compress() at the default level.
  const TBytes text(100000, 'q');
  TMemoryStream src(text), packed;
  ASSERT_TRUE(CompressStream(src, packed));
  uLongf len = compressBound(static_cast<uLong>(text.size()));
  TBytes ref(len);
  ASSERT_EQ(compress2(ref.data(), &len, text.data(), static_cast<uLong>(text.size()), Z_DEFAULT_COMPRESSION), Z_OK);
  ref.resize(len);
  EXPECT_EQ(packed.Bytes(), ref);

  // Trailing bytes after the stream are ignored.
  packed.Seek(0, TSeekOrigin::End);
  packed.WriteBuffer("trailing", 8);
  packed.SetPosition(0);
  TMemoryStream out;
  EXPECT_TRUE(DecompressStream(packed, out));
  EXPECT_EQ(out.Bytes(), text);

  struct Bad {
    const char* label;
    TBytes bytes;
  };
  TBytes truncated = packed.Bytes();
  truncated.resize(truncated.size() / 2);
  TBytes corrupt = ref;
  corrupt[corrupt.size() / 2] ^= 0xFF;
  corrupt[corrupt.size() - 1] ^= 0xFF;  // adler-32
  const Bad bad[] = {
      {"not zlib", {'h', 'e', 'l', 'l', 'o'}},
      {"empty", {}},
      {"truncated", truncated},
      {"corrupt", corrupt},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.label);
    TMemoryStream in(b.bytes), sink;
    EXPECT_FALSE(DecompressStream(in, sink));
  }
}

TEST(Zlib, DecompressFile) {
  TTempDir dir;
  const TBytes data = RandomBytes(200000, 9);
  TMemoryStream src(data), packed;
  ASSERT_TRUE(CompressStream(src, packed));
  packed.SaveToFile(dir.File("a.u"));
  EXPECT_TRUE(DecompressFile(dir.File("a.u"), dir.File("a")));
  EXPECT_EQ(testing::ReadFileBytes(dir.File("a")), data);

  EXPECT_FALSE(DecompressFile(dir.File("missing.u"), dir.File("b")));
  EXPECT_FALSE(DecompressFile(dir.File("a.u"), dir.File("no/such/folder/x")));
  // A failed unpacking keeps the created destination.
  testing::WriteFileText(dir.File("bad.u"), "not a zlib stream");
  EXPECT_FALSE(DecompressFile(dir.File("bad.u"), dir.File("bad")));
  EXPECT_TRUE(std::filesystem::exists(dir.File("bad")));
}

TEST(ChunkLayout, SizesAndCounts) {
  struct Case {
    int64_t size;
    int32_t chunksize;
    int32_t chunkcount;
  };
  const Case cases[] = {
      {0, 524288, 1},
      {1, 524288, 1},
      {524287, 524288, 1},
      {524288, 524288, 2},
      {524289, 524288, 2},
      {-5, 524288, 1},
      {524287999, 524288, 1000},
      {524288000, 1048576, 501},
      {2147483646, 1048576, 2048},
      {2147483647, 2097152, 1024},
      {4294967296LL, 2097152, 2049},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(GetChunkSize(c.size), c.chunksize);
    EXPECT_EQ(GetChunkCount(c.size), c.chunkcount);
  }
}

}  // namespace
}  // namespace vantrel
