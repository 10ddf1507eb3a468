#include "pack/pack_file_record.h"

#include <gtest/gtest.h>

#include <cstring>

#include "pack/pack_crypto.h"
#include "pack/pack_errors.h"

namespace vantrel {
namespace {

TEST(PackFileRecord, FixName) {
  struct Case {
    const char* label;
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"path with backslashes", "\\Bin32\\Game.EXE", "bin32/game.exe"},
      {"database", "\\Game\\DB\\Compact.SQLite", "game/db/compact.sqlite"},
      {"only one leading slash goes", "//x", "/x"},
      {"empty", "", ""},
      {"already normal", "bin32/a.dll", "bin32/a.dll"},
      {"mixed separators", "/Game\\Objects/A.DDS", "game/objects/a.dds"},
      {"non-ASCII letters", "\\Данные\\ÉTÉ.txt", "данные/été.txt"},
      {"invalid UTF-8 kept",
       "A\xff\xfe"
       "B",
       "a\xff\xfe"
       "b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(TPackFileRecord::FixName(c.in), c.out);
  }
}

TEST(PackFileRecord, PlainLayoutOfARecord) {
  TPackFileRecord r;
  r.margin = -2;  // sign kept
  for (int i = 0; i < 16; ++i) r.digest[i] = static_cast<uint8_t>(0xA0 + i);
  r.size = 0x0102030405060708;
  r.SetName("bin32/game.exe");
  r.uncompSize = 0x1112131415161718;
  r.offset = 0x2122232425262728;
  r.ctime = 0x3132333435363738;
  r.mtime = 0x4142434445464748;
  const auto enc = r.Encode();
  const std::vector<uint8_t> plain = DecryptDirData(enc);
  ASSERT_EQ(plain.size(), 336u);
  const uint8_t margin[] = {0xFE, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(&plain[0], margin, 4), 0);
  EXPECT_EQ(std::memcmp(&plain[4], r.digest.data(), 16), 0);
  const uint8_t reserved[] = {0x00, 0x00, 0x00, 0x80};
  EXPECT_EQ(std::memcmp(&plain[20], reserved, 4), 0);
  EXPECT_EQ(plain[24], 0x08);
  EXPECT_EQ(plain[31], 0x01);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&plain[32])), "bin32/game.exe");
  for (int i = 293; i < 296; ++i) EXPECT_EQ(plain[i], 0) << i;
  EXPECT_EQ(plain[296], 0x18);
  EXPECT_EQ(plain[304], 0x28);
  EXPECT_EQ(plain[312], 0x38);
  EXPECT_EQ(plain[320], 0x48);
  EXPECT_EQ(plain[327], 0x41);
  for (int i = 328; i < 336; ++i) EXPECT_EQ(plain[i], 0) << i;

  TPackFileRecord back;
  ASSERT_TRUE(back.Decode(enc.data()));
  EXPECT_EQ(back.Name(), "bin32/game.exe");
  EXPECT_EQ(back.margin, -2);
  EXPECT_EQ(back.size, r.size);
  EXPECT_EQ(back.uncompSize, r.uncompSize);
  EXPECT_EQ(back.offset, r.offset);
  EXPECT_EQ(back.ctime, r.ctime);
  EXPECT_EQ(back.mtime, r.mtime);
  EXPECT_EQ(back.digest, r.digest);

  TMemoryStream s;
  ASSERT_TRUE(r.Save(s));
  EXPECT_EQ(s.Size(), 336);
  s.SetPosition(0);
  TPackFileRecord loaded;
  ASSERT_TRUE(loaded.Load(s));
  EXPECT_EQ(loaded.offset, r.offset);
  EXPECT_THROW(loaded.Load(s), EReadError);  // nothing left to read
}

TEST(PackFileRecord, RecordsAreEncryptedOnTheirOwn) {
  TPackFileRecord a;
  a.SetName("game/a.bin");
  a.size = a.uncompSize = 1000;
  TPackFileRecord b = a;
  // Identical records give identical blocks wherever they stand.
  EXPECT_EQ(a.Encode(), b.Encode());
  // A change in the last block of the plain text changes only what lies
  // from its cipher block on.
  b.mtime = 1;
  const auto ea = a.Encode();
  const auto eb = b.Encode();
  EXPECT_NE(ea, eb);
  EXPECT_EQ(std::memcmp(ea.data(), eb.data(), 320), 0);
  // The header is encrypted from the same vector: its first block is the
  // first block of any unit with the same first 16 plain bytes.
  std::vector<uint8_t> unit(32, 0);
  std::vector<uint8_t> longer(336, 0);
  EXPECT_EQ(std::memcmp(EncryptDirData(unit).data(), EncryptDirData(longer).data(), 32), 0);
  EXPECT_EQ(DecryptDirData(EncryptDirData(longer)), longer);
  EXPECT_THROW(EncryptDirData(std::vector<uint8_t>(33)), EPackError);
  EXPECT_TRUE(EncryptDirData({}).empty());
}

TEST(PackFileRecord, NamesAreCutAt260Bytes) {
  TPackFileRecord r;
  r.SetName(std::string(300, 'a'));
  EXPECT_EQ(r.Name(), std::string(260, 'a'));
  // Never inside a character: a two-byte letter that would straddle the
  // cut is left out whole.
  r.SetName(std::string(259, 'a') + "\xc3\xa9" + "zz");
  EXPECT_EQ(r.Name(), std::string(259, 'a'));
  // A stored name without its NUL ends at 260 bytes.
  TPackFileRecord full;
  full.SetName(std::string(260, 'b'));
  TPackFileRecord back;
  ASSERT_TRUE(back.Decode(full.Encode().data()));
  EXPECT_EQ(back.Name().size(), 260u);
}

TEST(PackFileRecord, SafeNames) {
  struct Case {
    std::string name;
    bool safe;
  };
  const Case cases[] = {
      {"bin32/game.exe", true},
      {"bin32/sub/a.dll", true},
      {"bin32/..x/a", true},
      {"bin32/../../etc/passwd", false},
      {"bin32/..\\..\\x", false},
      {"../x", false},
      {"/etc/passwd", false},
      {"bin32//a", false},
      {"bin32/./a", false},
      {"bin32/", false},
      {"c:/windows/x", false},
      {"bin32/a:b", false},
      {std::string("bin32/a\0b", 9), false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsSafePackPath(c.name), c.safe);
  }
}

}  // namespace
}  // namespace vantrel
