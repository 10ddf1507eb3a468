#include "versions/update_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "pack/pack_limits.h"
#include "platform/errors.h"
#include "support/list_bytes.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using testing::BuildListFile;
using testing::FixListDigest;
using testing::TRawEntry;
using testing::TRawList;
using testing::TTempDir;

bool LoadBytes(TUpdateList& list, const TBytes& bytes, bool isbuilder = false) {
  TMemoryStream m(bytes);
  return list.LoadFromStream(m, isbuilder);
}

TRawEntry Entry(const std::string& name, int64_t size) {
  TRawEntry e;
  e.name = name;
  e.size = size;
  return e;
}

std::vector<uint8_t> Crc(std::initializer_list<uint32_t> values) {
  std::vector<uint8_t> b;
  for (uint32_t v : values) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return b;
}

// What one entry of a loaded list must look like.
struct TWant {
  std::string key;
  bool compressed;
  std::vector<uint32_t> crcs;
  int64_t posinfile = -1;
};

struct TLayoutCase {
  const char* label;
  TRawList list;
  bool result;
  int32_t structversion;
  std::vector<TWant> want;  // exactly these keys, in key order
};

TEST(UpdateListLoad, EveryLayoutTheReaderAccepts) {
  const std::vector<TLayoutCase> cases = [] {
    std::vector<TLayoutCase> c;
    {
      TRawList l;
      l.structversion = 1;
      l.rawheader = true;
      l.updateversion = 17;
      l.entries = {Entry("\\bin32\\a.dll", 10), Entry("\\bin32\\b.dll", 524288)};
      c.push_back({"raw-header layout 1: entries alone, all compressed, no check values",
                   l,
                   true,
                   1,
                   {{"\\bin32\\a.dll", true, {0}}, {"\\bin32\\b.dll", true, {0, 0}}}});
    }
    {
      TRawList l;
      l.structversion = 0;
      l.entries = {Entry("\\a.dll", 3), Entry("\\x\\b.dll", 3)};
      c.push_back({"layout 0 reads like 1 after its header",
                   l,
                   true,
                   0,
                   {{"\\a.dll", true, {0}}, {"\\x\\b.dll", true, {0}}}});
    }
    {
      TRawList l;
      l.structversion = 1;
      l.entries = {Entry("\\a.dll", 3)};
      c.push_back({"layout 1 in the whole-body form", l, true, 1, {{"\\a.dll", true, {0}}}});
    }
    {
      TRawList l;
      l.structversion = 2;
      TRawEntry a = Entry("\\bin32\\a.dll", 5);
      a.compressed = false;
      a.crcbytes = Crc({0x11111111});
      TRawEntry b = Entry("\\bin32\\b.dll", 5);
      b.crcbytes = Crc({0x22222222});
      l.entries = {a, b};
      c.push_back(
          {"layout 2: the per-entry flag decides",
           l,
           true,
           2,
           {{"\\bin32\\a.dll", false, {0x11111111}}, {"\\bin32\\b.dll", true, {0x22222222}}}});
    }
    {
      TRawList l;
      l.structversion = 2;
      l.rawheader = true;
      TRawEntry a = Entry("\\a.dll", 1);
      a.crcbytes = Crc({5});
      l.entries = {a};
      c.push_back({"raw-header form with layout 2: the packed header counts",
                   l,
                   true,
                   2,
                   {{"\\a.dll", true, {5}}}});
    }
    {
      TRawList l;
      l.structversion = 3;
      l.exclude = ".txt";
      TRawEntry top = Entry("\\top.txt", 1);
      TRawEntry a = Entry("\\bin32\\a.dll", 1);
      TRawEntry b = Entry("b.txt", 1);
      TRawEntry d = Entry("\\data\\d.dll", 1);
      TRawEntry e = Entry("e.dll", 1);
      l.entries = {top, a, b, d, e};
      c.push_back({"layout 3: bare names share the folder before them",
                   l,
                   true,
                   3,
                   {{"\\bin32\\a.dll", true, {0}},
                    {"\\bin32\\b.txt", false, {0}},
                    {"\\data\\d.dll", true, {0}},
                    {"\\data\\e.dll", true, {0}},
                    {"\\top.txt", false, {0}}}});
    }
    {
      TRawList l;
      l.structversion = 3;
      l.entries = {Entry("\\top.dll", 1), Entry("next.dll", 1)};
      c.push_back({"a bare name after a top-level key is a top-level key",
                   l,
                   true,
                   3,
                   {{"\\next.dll", true, {0}}, {"\\top.dll", true, {0}}}});
    }
    {
      TRawList l;
      l.structversion = 4;
      l.foldersplit = true;
      l.folders = {{"\\bin32", 600000}, {"\\", 5}};
      l.entries = {Entry("\\bin32\\a.dll", 600000), Entry("b.dll", 1)};
      c.push_back({"layout 4 folder-split: folder table skipped, no values, own files",
                   l,
                   true,
                   4,
                   {{"\\bin32\\a.dll", true, {0, 0}}, {"\\bin32\\b.dll", true, {0}}}});
    }
    {
      TRawList l;
      l.structversion = 4;
      TRawEntry a = Entry("\\a.dll", 1);
      a.crcbytes = Crc({7});
      l.entries = {a};
      c.push_back(
          {"layout 4 without folder-split stores values", l, true, 4, {{"\\a.dll", true, {7}}}});
    }
    {
      TRawList l;
      l.structversion = 6;
      l.foldersplit = true;
      TRawEntry a = Entry("\\bin32\\a.dll", 3);
      a.crcbytes = Crc({9});
      a.posinfile = 1000;
      l.entries = {a};
      c.push_back(
          {"layout above 5 reads like 5", l, true, 6, {{"\\bin32\\a.dll", true, {9}, 1000}}});
    }
    {
      TRawList l;
      l.structversion = 5;
      l.entries = {Entry("\\a.dll", 1), Entry("\\b.dll", 1), Entry("\\a.dll", 1),
                   Entry("\\c.dll", 1)};
      c.push_back({"duplicate key: entries before it stay, success",
                   l,
                   true,
                   5,
                   {{"\\a.dll", true, {0}}, {"\\b.dll", true, {0}}}});
    }
    {
      TRawList l;
      l.structversion = 5;
      l.updateversion = 0;
      l.entries = {Entry("\\a.dll", 1)};
      c.push_back(
          {"update version 0 loads the entries but fails", l, false, 5, {{"\\a.dll", true, {0}}}});
    }
    {
      TRawList l;
      l.structversion = 5;
      TRawEntry neg = Entry("\\neg.dll", -5);
      l.entries = {Entry("\\a.dll", 1), neg, Entry("\\c.dll", 1)};
      c.push_back({"negative size ends the reading", l, true, 5, {{"\\a.dll", true, {0}}}});
    }
    return c;
  }();

  for (const TLayoutCase& tc : cases) {
    SCOPED_TRACE(tc.label);
    TUpdateList list;
    EXPECT_EQ(LoadBytes(list, BuildListFile(tc.list)), tc.result);
    EXPECT_EQ(list.structversion, tc.structversion);
    EXPECT_EQ(list.updateversion, tc.list.updateversion);
    ASSERT_EQ(list.filelist.size(), tc.want.size());
    auto it = list.filelist.begin();
    for (const TWant& w : tc.want) {
      SCOPED_TRACE(w.key);
      EXPECT_EQ(it->first, w.key);
      const TUpdateFile& f = *it->second;
      EXPECT_EQ(f.compressed, w.compressed);
      EXPECT_EQ(f.chunkcrc32, w.crcs);
      EXPECT_EQ(f.posinfile, w.posinfile);
      EXPECT_EQ(f.chunkcount, static_cast<int32_t>(w.crcs.size()));
      EXPECT_EQ(f.hash, TBytes(16, 0xAB));
      ++it;
    }
  }
}

TEST(UpdateListLoad, RawHeaderTakesPrecedenceOverNothingElse) {
  // The raw header's update version counts for layout 1.
  TRawList l;
  l.structversion = 1;
  l.rawheader = true;
  l.updateversion = 42;
  l.entries = {Entry("\\a", 1)};
  TUpdateList list;
  EXPECT_TRUE(LoadBytes(list, BuildListFile(l)));
  EXPECT_EQ(list.updateversion, 42);
}

// Damaged bodies whose digest still matches: reading stops silently and keeps
// what it had.
TEST(UpdateListLoad, DamagedDataKeepsTheEntriesReadSoFar) {
  struct TCut {
    const char* label;
    std::function<void(TBytes& body)> damage;
    size_t entries;
    bool result;
  };
  TRawList l;
  l.structversion = 5;
  l.updateversion = 3;
  l.entries = {Entry("\\a.dll", 1), Entry("\\b.dll", 1)};
  const TBytes good = testing::BuildListBody(l);
  const size_t header = 1 + 4 + 8 + 1 + 1 + 1;
  const size_t second = good.size() - (1 + 6 + 8 + 16 + 4);
  const std::vector<TCut> cuts = {
      {"ends inside a number", [&](TBytes& b) { b.resize(second + 1 + 6 + 3); }, 1, true},
      {"ends inside a name", [&](TBytes& b) { b.resize(second + 3); }, 1, true},
      {"ends inside the hash (values stored: entry dropped)",
       [&](TBytes& b) { b.resize(second + 1 + 6 + 8 + 5); }, 1, true},
      {"length prefix of six bytes",
       [&](TBytes& b) {
         b.resize(second);
         b.insert(b.end(), {0x81, 0x81, 0x81, 0x81, 0x81, 0x01});
       },
       1, true},
      {"negative string length",
       [&](TBytes& b) {
         b.resize(second);
         b.insert(b.end(), {0xFF, 0xFF, 0xFF, 0xFF, 0x0F});
       },
       1, true},
      {"header cut after the build number", [&](TBytes& b) { b.resize(header - 3); }, 0, true},
      {"header cut inside the build number", [&](TBytes& b) { b.resize(3); }, 0, false},
  };
  for (const TCut& c : cuts) {
    SCOPED_TRACE(c.label);
    TBytes body = good;
    c.damage(body);
    TBytes file(16, 0);
    const TBytes packed = testing::ZlibPack(body);
    file.insert(file.end(), packed.begin(), packed.end());
    FixListDigest(file);
    TUpdateList list;
    const bool ok = LoadBytes(list, file);
    EXPECT_EQ(list.filelist.size(), c.entries);
    EXPECT_EQ(ok, c.result);
  }
}

TEST(UpdateListLoad, ShortHashIsKeptShortInLayoutOne) {
  TRawList l;
  l.structversion = 1;
  l.entries = {Entry("\\a", 1)};
  TBytes body = testing::BuildListBody(l);
  body.resize(body.size() - 6);
  TBytes file(16, 0);
  const TBytes packed = testing::ZlibPack(body);
  file.insert(file.end(), packed.begin(), packed.end());
  FixListDigest(file);
  TUpdateList list;
  EXPECT_TRUE(LoadBytes(list, file));
  ASSERT_EQ(list.filelist.size(), 1u);
  EXPECT_EQ(list.filelist.begin()->second->hash.size(), 10u);
}

TEST(UpdateListLoad, DigestMismatchLeavesTheListUnchanged) {
  TRawList l;
  l.updateversion = 8;
  l.entries = {Entry("\\a", 1)};
  const TBytes good = BuildListFile(l);
  for (size_t byte : {size_t{0}, size_t{15}, size_t{16}, good.size() - 1}) {
    SCOPED_TRACE(byte);
    TBytes bad = good;
    bad[byte] ^= 0x04;
    TUpdateList list;
    EXPECT_FALSE(LoadBytes(list, bad));
    EXPECT_EQ(list.updateversion, 0);
    EXPECT_TRUE(list.filelist.empty());
  }
  for (size_t len : {size_t{0}, size_t{7}, size_t{16}}) {
    SCOPED_TRACE(len);
    TUpdateList list;
    EXPECT_FALSE(LoadBytes(list, TBytes(len, 0)));
    EXPECT_EQ(list.updateversion, 0);
  }
}

TEST(UpdateListLoad, CheckValueBytesReadAsTheDigestBytes) {
  // CB F4 39 26 is the CRC-32 of "123456789", most significant byte first.
  TRawList l;
  TRawEntry e = Entry("\\a", 9);
  e.crcbytes = {0xCB, 0xF4, 0x39, 0x26};
  l.entries = {e};
  TUpdateList list;
  ASSERT_TRUE(LoadBytes(list, BuildListFile(l)));
  TMemoryStream nine(TBytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'});
  EXPECT_EQ(list.filelist.at("\\a")->chunkcrc32.at(0), GetStreamCRC32Value(nine, 9));
}

TEST(UpdateListLoad, UnsafeKeysFailTheWholeLoad) {
  struct TKeyCase {
    const char* label;
    std::vector<std::string> names;
    int structversion;
  };
  const std::vector<TKeyCase> cases = {
      {"parent component", {"\\a.dll", "\\..\\evil.dll"}, 5},
      {"parent component inside", {"\\bin32\\..\\..\\evil"}, 5},
      {"dot component", {"\\.\\a"}, 5},
      {"no leading backslash (relative)", {"bin32\\a"}, 1},
      {"absolute system path", {"/etc/passwd"}, 1},
      {"slash separator", {"\\bin32/../../x"}, 5},
      {"empty component", {"\\bin32\\\\a"}, 5},
      {"trailing backslash", {"\\bin32\\"}, 5},
      {"lone backslash", {"\\"}, 5},
      {"NUL byte", {std::string("\\a\0b", 4)}, 5},
      {"drive form", {"\\C:\\x"}, 5},
      {"device name", {"\\bin32\\con.txt"}, 5},
      {"bare parent name shared with a folder", {"\\bin32\\a.dll", ".."}, 5},
  };
  for (const TKeyCase& c : cases) {
    SCOPED_TRACE(c.label);
    TRawList l;
    l.structversion = c.structversion;
    l.updateversion = 5;
    for (const std::string& n : c.names) l.entries.push_back(Entry(n, 1));
    TUpdateList list;
    EXPECT_FALSE(LoadBytes(list, BuildListFile(l)));
    EXPECT_EQ(list.updateversion, 0);
    EXPECT_TRUE(list.filelist.empty());
  }
  for (const char* good : {"\\a", "\\bin32\\a#b.dll", "\\game\\db\\x y.bin", "\\..a\\b..",
                           "\\bin32\\console.dll", "\\\xC3\xA9t\xC3\xA9.txt"}) {
    SCOPED_TRACE(good);
    EXPECT_TRUE(TUpdateList::IsSafeKey(good));
  }
}

// An entry the pack could not store fails the whole list: a name the
// pack's record would cut (then stored twice after a remount), or a file no
// slot can hold. The pack name is the key in lower case, "/" separated,
// without its leading separator.
TEST(UpdateListLoad, EntriesThePackCannotHoldFailTheWholeLoad) {
  struct TLimitCase {
    const char* label;
    std::string key;
    int64_t size;
    std::string exclude;  // keys ending with this travel uncompressed
    bool loads;
  };
  const std::string folder = "\\game\\";
  std::string wide = folder;  // 128 two-byte letters: 261 bytes as a pack name
  for (int i = 0; i < 128; ++i) wide += "\xc3\x89";
  const int64_t max = kPackMaxFileSize;
  const std::vector<TLimitCase> cases = {
      {"name of 260 bytes", folder + std::string(255, 'a'), 1, "", true},
      {"name of 261 bytes", folder + std::string(256, 'a'), 1, "", false},
      {"name of 261 bytes in two-byte letters", wide, 1, "", false},
      {"largest plain file", "\\big.bin", max, ".bin", true},
      {"plain file one byte larger", "\\big.bin", max + 1, ".bin", false},
      {"packed form of the largest file", "\\big.bin", max + (max >> 12), "", true},
      {"packed form far too large", "\\big.bin", int64_t{3} << 30, "", false},
      {"size of tens of gigabytes", "\\big.bin", int64_t{40} << 30, ".bin", false},
  };
  for (const TLimitCase& c : cases) {
    SCOPED_TRACE(c.label);
    TRawList l;
    l.structversion = 5;
    l.updateversion = 7;
    l.exclude = c.exclude;
    l.entries.push_back(Entry("\\a.dll", 1));
    l.entries.push_back(Entry(c.key, c.size));
    TUpdateList list;
    EXPECT_EQ(LoadBytes(list, BuildListFile(l)), c.loads);
    EXPECT_EQ(list.filelist.size(), c.loads ? 2u : 0u);
    EXPECT_EQ(list.updateversion, c.loads ? 7 : 0);
  }
}

TEST(UpdateListLoad, LoadFromFileOfAMissingFile) {
  TTempDir dir;
  TUpdateList list;
  EXPECT_FALSE(list.LoadFromFile(dir.File("client.version")));
  EXPECT_EQ(list.updateversion, -1);
}

TEST(UpdateListLoad, ReloadReplacesThePreviousContents) {
  TRawList a;
  a.structversion = 1;
  a.rawheader = true;
  a.entries = {Entry("\\a", 1)};
  TRawList b;
  b.structversion = 5;
  b.updateversion = 2;
  b.entries = {Entry("\\b", 1)};
  TUpdateList list;
  ASSERT_TRUE(LoadBytes(list, BuildListFile(a)));
  ASSERT_TRUE(LoadBytes(list, BuildListFile(b)));
  EXPECT_EQ(list.structversion, 5);
  ASSERT_EQ(list.filelist.size(), 1u);
  EXPECT_TRUE(list.filelist.contains("\\b"));
}

TEST(UpdateListChunks, OneCheckValuePerChunk) {
  // The chunk sizes and counts themselves are the table of update_utils_test.
  // A list record carries one value per chunk, the empty last one included.
  TRawList l;
  l.entries = {Entry("\\a", 524288), Entry("\\b", 0)};
  TUpdateList list;
  ASSERT_TRUE(LoadBytes(list, BuildListFile(l)));
  EXPECT_EQ(list.filelist.at("\\a")->chunkcrc32.size(), 2u);
  EXPECT_EQ(list.filelist.at("\\b")->chunkcrc32.size(), 1u);
}

TEST(UpdateListCompression, ExcludeRule) {
  struct TRuleCase {
    bool compressall;
    const char* exclude;
    const char* key;
    bool compressed;
  };
  const TRuleCase cases[] = {
      {true, ".txt;.xml", "\\bin32\\a.txt", false},
      {true, ".txt;.xml", "\\bin32\\a.xml", false},
      {true, ".txt;.xml", "\\bin32\\a.dll", true},
      {true, ".txt;.xml", "\\bin32\\A.TXT", true},
      {false, ".txt;.xml", "\\bin32\\a.txt", true},
      {false, ".txt;.xml", "\\bin32\\a.dll", false},
      {true, "", "\\a.txt", true},
      {false, "", "\\a.txt", false},
      {true, ".txt;", "\\a.dll", false},  // empty last item matches all
      {true, ";.txt", "\\a.dll", false},
      {true, ".txt;;.xml", "\\a.dll", false},
      {true, " .txt", "\\a.txt", true},  // spaces belong to the item
      {true, " .txt", "\\a .txt", false},
      {true, "\"a;b\"", "\\xa;b", false},  // quoted ";" belongs to the item
      {true, "\"a;b\"", "\\xb", true},
      {true, "\"q\"\"x\";.dll", "\\fq\"x", false},
      {true, "\"q\"\"x\";.dll", "\\f.dll", false},
      {true, "\"q\"\"x\";.dll", "\\f.exe", true},
      {true, "\\bin32\\a.dll", "\\bin32\\a.dll", false},  // whole-key suffix
  };
  for (const TRuleCase& c : cases) {
    SCOPED_TRACE(std::string(c.exclude) + " / " + c.key);
    EXPECT_EQ(IsCompressedByRule(c.key, c.compressall, SplitExclude(c.exclude)), c.compressed);
    // The same through a loaded list.
    TRawList l;
    l.structversion = 3;
    l.compressall = c.compressall;
    l.exclude = c.exclude;
    l.entries = {Entry(c.key, 1)};
    TUpdateList list;
    ASSERT_TRUE(LoadBytes(list, BuildListFile(l)));
    ASSERT_EQ(list.filelist.size(), 1u);
    EXPECT_EQ(list.filelist.begin()->second->compressed, c.compressed);
  }
}

// A list with several folders, a top-level file, sizes on both sides of a
// chunk boundary and keys differing only in case.
std::unique_ptr<TUpdateList> SampleList(int structversion, bool foldersplit, bool isbuilder) {
  auto list = std::make_unique<TUpdateList>();
  list->structversion = structversion;
  list->updateversion = 1234;
  list->fullunpakedsize = 987654321;
  list->compressall = structversion >= 3 ? false : true;
  list->exclude = structversion >= 3 ? ".dll;\"x;y\"" : "";
  list->foldersplit = foldersplit;
  const std::vector<std::string> excl = SplitExclude(list->exclude);
  const struct {
    const char* key;
    int64_t size;
  } files[] = {{"\\bin32\\a.dll", 10},      {"\\bin32\\B.exe", 524288}, {"\\bin32\\c#1.dll", 0},
               {"\\bin32\\sub\\d.txt", 77}, {"\\Game.exe", 1048577},    {"\\aa.x;y", 5},
               {"\\bin32\\A.dll", 3},       {"\\zeta\\e.bin", 900}};
  const bool crcs = structversion >= 2 && !(structversion == 4 && foldersplit);
  int64_t pos = 0;
  uint32_t seed = 1;
  for (const auto& f : files) {
    auto e = std::make_unique<TUpdateFile>();
    e->size = f.size;
    e->hash.resize(16);
    for (auto& b : e->hash) b = static_cast<uint8_t>(seed++ * 37);
    e->chunksize = GetChunkSize(f.size);
    e->chunkcount = GetChunkCount(f.size);
    e->chunkcrc32.assign(static_cast<size_t>(e->chunkcount), 0);
    if (crcs) {
      for (auto& c : e->chunkcrc32) c = seed++ * 0x9E3779B9u;
    }
    if (structversion <= 1) {
      e->compressed = true;
    } else if (structversion == 2) {
      e->compressed = (seed & 1) != 0;
    } else {
      e->compressed = IsCompressedByRule(f.key, list->compressall, excl);
    }
    if (structversion >= 5 && foldersplit) {
      e->posinfile = pos;
      pos += f.size;
    }
    if (isbuilder) {
      e->buildersize = f.size * 3 + 1;
      e->builderdate = 45000.25 + seed;
    }
    list->AddFile(f.key, std::move(e));
  }
  return list;
}

TEST(UpdateListSave, RoundTripOfEveryLayout) {
  TTempDir dir;
  const struct {
    int structversion;
    bool foldersplit;
  } layouts[] = {{0, false}, {1, false}, {2, false}, {3, false}, {4, false},
                 {4, true},  {5, false}, {5, true},  {6, true}};
  for (const auto& lay : layouts) {
    for (const bool isbuilder : {false, true}) {
      SCOPED_TRACE("layout " + std::to_string(lay.structversion) +
                   (lay.foldersplit ? " folder-split" : "") + (isbuilder ? " builder" : ""));
      const auto saved = SampleList(lay.structversion, lay.foldersplit, isbuilder);
      const std::string path = dir.File("client.version");
      saved->SaveToFile(path, isbuilder);
      TUpdateList loaded;
      ASSERT_TRUE(loaded.LoadFromFile(path, isbuilder));
      EXPECT_EQ(loaded.structversion, saved->structversion);
      EXPECT_EQ(loaded.updateversion, saved->updateversion);
      EXPECT_EQ(loaded.fullunpakedsize, saved->fullunpakedsize);
      if (lay.structversion >= 3) {
        EXPECT_EQ(loaded.compressall, saved->compressall);
        EXPECT_EQ(loaded.exclude, saved->exclude);
      }
      if (lay.structversion >= 4) {
        EXPECT_EQ(loaded.foldersplit, saved->foldersplit);
      }
      ASSERT_EQ(loaded.filelist.size(), saved->filelist.size());
      for (const auto& [key, want] : saved->filelist) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(loaded.filelist.contains(key));
        const TUpdateFile& got = *loaded.filelist.at(key);
        EXPECT_EQ(got.size, want->size);
        EXPECT_EQ(got.hash, want->hash);
        EXPECT_EQ(got.compressed, want->compressed);
        EXPECT_EQ(got.chunkcrc32, want->chunkcrc32);
        EXPECT_EQ(got.chunksize, want->chunksize);
        EXPECT_EQ(got.chunkcount, want->chunkcount);
        EXPECT_EQ(got.posinfile, want->posinfile);
        EXPECT_EQ(got.buildersize, want->buildersize);
        EXPECT_EQ(got.builderdate, want->builderdate);
      }
    }
  }
}

TEST(UpdateListSave, FolderSplitLayoutFiveStoresSharedFolderNames) {
  TUpdateList list;
  list.structversion = 5;
  list.updateversion = 2;
  list.foldersplit = true;
  int64_t pos = 0;
  for (const char* key : {"\\bin32\\a.dll", "\\bin32\\b.dll", "\\bin32\\c.dll", "\\game.exe"}) {
    auto e = std::make_unique<TUpdateFile>();
    e->size = 100;
    e->hash = TBytes(16, 1);
    e->chunkcrc32 = {0xDEADBEEF};
    e->posinfile = std::string(key).starts_with("\\bin32") ? (pos += 100) - 100 : 0;
    list.AddFile(key, std::move(e));
  }
  const TBytes file = list.SaveToBytes();
  TMemoryStream packed(TBytes(file.begin() + 16, file.end()));
  TMemoryStream body;
  ASSERT_TRUE(DecompressStream(packed, body));
  const std::string text(body.Bytes().begin(), body.Bytes().end());
  EXPECT_NE(text.find("\\bin32\\a.dll"), std::string::npos);
  EXPECT_EQ(text.find("\\bin32\\b.dll"), std::string::npos);
  EXPECT_EQ(text.find("\\bin32\\c.dll"), std::string::npos);
  EXPECT_NE(text.find("\x05"
                      "b.dll"),
            std::string::npos);
  EXPECT_NE(text.find("\\game.exe"), std::string::npos);

  TUpdateList loaded;
  ASSERT_TRUE(LoadBytes(loaded, file));
  ASSERT_EQ(loaded.filelist.size(), 4u);
  for (const auto& [key, e] : list.filelist) {
    SCOPED_TRACE(key);
    ASSERT_TRUE(loaded.filelist.contains(key));
    EXPECT_EQ(loaded.filelist.at(key)->posinfile, e->posinfile);
  }
}

TEST(UpdateListSave, RefusesEntriesThatWouldNotReadBack) {
  TUpdateList list;
  list.structversion = 5;
  list.updateversion = 1;
  auto e = std::make_unique<TUpdateFile>();
  e->size = 524288;
  e->hash = TBytes(16, 0);
  e->chunkcrc32 = {1};  // needs two values
  list.AddFile("\\a", std::move(e));
  EXPECT_THROW(list.SaveToBytes(), EVantrelError);
  list.filelist.at("\\a")->chunkcrc32 = {1, 0};
  list.filelist.at("\\a")->hash.resize(15);
  EXPECT_THROW(list.SaveToBytes(), EVantrelError);
}

TEST(UpdateListSave, DuplicateKeyIsRefused) {
  TUpdateList list;
  list.AddFile("\\a", std::make_unique<TUpdateFile>());
  try {
    list.AddFile("\\a", std::make_unique<TUpdateFile>());
    FAIL() << "no error";
  } catch (const EVantrelError& e) {
    EXPECT_STREQ(e.what(), "Duplicates not allowed");
  }
  list.AddFile("\\A", std::make_unique<TUpdateFile>());
  EXPECT_EQ(list.filelist.size(), 2u);
}

}  // namespace
}  // namespace vantrel
