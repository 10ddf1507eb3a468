#include "pack/pack_dir_record.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "pack/pack_crypto.h"
#include "pack/pack_errors.h"
#include "pack_test_util.h"
#include "platform/files.h"
#include "support/temp_dir.h"
#include "versions/update_utils.h"

namespace vantrel {
namespace {

using testing::AddBytes;
using testing::BuildRawPack;
using testing::DecryptHeaderAt;
using testing::MakeRecord;
using testing::MD5Of;
using testing::PatternBytes;
using testing::ReadFileBytes;
using testing::TTempDir;
using testing::WriteFileBytes;

int32_t Int32At(const std::vector<uint8_t>& b, size_t at) {
  int32_t v = 0;
  std::memcpy(&v, &b[at], 4);
  return v;
}

class PackDir : public ::testing::Test {
 protected:
  void TearDown() override { platform::OverrideSectorSize(std::nullopt); }
  void Sector(int s) { platform::OverrideSectorSize(s); }
  // The pack path the way the logic forms it.
  std::string Pack() const { return tmp.Path() + "\\game_pak"; }
  std::string PackOnDisk() const { return tmp.File("game_pak"); }
  std::string SidecarOnDisk() const { return tmp.File("game_pak.dir"); }

  // A pack holding files "f/<i>" with PatternBytes(sizes[i], i).
  void MakePack(const std::vector<size_t>& sizes) {
    TPackDirRecord dir;
    dir.Mount(Pack());
    for (size_t i = 0; i < sizes.size(); ++i) {
      ASSERT_TRUE(AddBytes(dir, "f/" + std::to_string(i), PatternBytes(sizes[i], i)));
    }
    ASSERT_TRUE(dir.Dismount());
  }

  TTempDir tmp;
};

TEST_F(PackDir, MissingPackBecomesAHeaderBlock) {
  for (int s : {512, 4096}) {
    SCOPED_TRACE(s);
    Sector(s);
    platform::RemoveFileAt(PackOnDisk());
    TPackDirRecord dir;
    EXPECT_TRUE(dir.Mount(Pack()));
    EXPECT_TRUE(dir.IsMounted());
    EXPECT_TRUE(dir.ischanged);
    EXPECT_TRUE(dir.filelist.empty());
    EXPECT_EQ(dir.reallogicalsectorsize, s);
    EXPECT_TRUE(dir.Dismount());
    const std::vector<uint8_t> pack = ReadFileBytes(PackOnDisk());
    ASSERT_EQ(pack.size(), static_cast<size_t>(PackRoundup(32, s)));
    const std::vector<uint8_t> h = DecryptHeaderAt(pack, 0);
    EXPECT_EQ(Int32At(h, 0), 0);
    EXPECT_EQ(Int32At(h, 4), 0);
    EXPECT_EQ(Int32At(h, 8), kPackMagic);
    EXPECT_EQ(std::memcmp(&h[8], "IDEJ", 4), 0);
    EXPECT_EQ(Int32At(h, 12), 0);
    EXPECT_EQ(Int32At(h, 16), 0);
    // With no records there is no record block, and the data area is empty.
    dir.Mount(Pack());
    EXPECT_FALSE(dir.ischanged);
    EXPECT_EQ(dir.endofdata, 0);
    EXPECT_EQ(dir.foundsectorsize, s);
    dir.Dismount();
    EXPECT_EQ(ReadFileBytes(PackOnDisk()), pack);
  }
}

TEST_F(PackDir, OneFileAt512) {
  Sector(512);
  const std::vector<uint8_t> data = PatternBytes(1000, 7);
  {
    TPackDirRecord dir;
    dir.Mount(Pack());
    ASSERT_TRUE(AddBytes(dir, "\\Bin32\\Game.exe", data));
    dir.Dismount();
  }
  const std::vector<uint8_t> pack = ReadFileBytes(PackOnDisk());
  ASSERT_EQ(pack.size(), 2560u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), pack.begin()));
  TPackFileRecord r;
  ASSERT_TRUE(r.Decode(&pack[1536]));
  EXPECT_EQ(r.Name(), "bin32/game.exe");
  EXPECT_EQ(r.offset, 0);
  EXPECT_EQ(r.size, 1000);
  EXPECT_EQ(r.uncompSize, 1000);
  EXPECT_EQ(r.margin, 536);
  EXPECT_EQ(std::vector<uint8_t>(r.digest.begin(), r.digest.end()), MD5Of(data));
  const std::vector<uint8_t> h = DecryptHeaderAt(pack, 2048);
  EXPECT_EQ(Int32At(h, 0), 0);
  EXPECT_EQ(Int32At(h, 8), kPackMagic);
  EXPECT_EQ(Int32At(h, 12), 1);

  TPackDirRecord dir;
  dir.Mount(Pack());
  EXPECT_EQ(dir.endofdata, 1536);
  EXPECT_EQ(dir.packfilesize, 2560);
  EXPECT_EQ(dir.numRecord, 1);
  EXPECT_EQ(dir.GetFileDigest("bin32/game.exe"), MD5Of(data));
  dir.Dismount();
}

TEST_F(PackDir, PackOf512FoundOnA4096VolumeAndRewritten) {
  Sector(512);
  MakePack({1000, 3000, 70000});
  std::vector<TPackFileRecord> before;
  {
    TPackDirRecord dir;
    dir.Mount(Pack());
    for (const auto& [k, r] : dir.filelist) before.push_back(*r);
    dir.Dismount();
  }
  Sector(4096);
  TPackDirRecord dir;
  dir.Mount(Pack());
  EXPECT_EQ(dir.foundsectorsize, 512);
  EXPECT_TRUE(dir.ischanged);
  EXPECT_FALSE(dir.isrecovered);
  EXPECT_EQ(dir.logicalsectorsize, 4096);
  const int64_t endofdata = dir.endofdata;
  ASSERT_TRUE(dir.Dismount());
  const std::vector<uint8_t> pack = ReadFileBytes(PackOnDisk());
  ASSERT_EQ((pack.size() - static_cast<size_t>(endofdata)) % 4096, 0u);
  EXPECT_EQ(Int32At(DecryptHeaderAt(pack, static_cast<int64_t>(pack.size()) - 4096), 8),
            kPackMagic);
  dir.Mount(Pack());
  EXPECT_EQ(dir.foundsectorsize, 4096);
  EXPECT_FALSE(dir.ischanged);
  EXPECT_EQ(dir.endofdata, endofdata);
  ASSERT_EQ(dir.filelist.size(), before.size());
  for (const TPackFileRecord& r : before) {
    SCOPED_TRACE(r.Name());
    const TPackFileRecord& now = *dir.filelist.at(r.Name());
    EXPECT_EQ(now.offset, r.offset);
    EXPECT_EQ(now.size, r.size);
    EXPECT_EQ(now.margin, r.margin);
    EXPECT_EQ(now.digest, r.digest);
    EXPECT_EQ(now.Encode(), r.Encode());
  }
  dir.Dismount();
}

TEST_F(PackDir, PackOf4096NotFoundAt512) {
  Sector(4096);
  MakePack({1000, 2000});
  const std::vector<uint8_t> sidecar = ReadFileBytes(SidecarOnDisk());
  Sector(512);
  {
    SCOPED_TRACE("without a sidecar the pack is empty");
    platform::RemoveFileAt(SidecarOnDisk());
    TPackDirRecord dir;
    dir.Mount(Pack());
    EXPECT_TRUE(dir.IsMounted());
    EXPECT_TRUE(dir.filelist.empty());
    EXPECT_TRUE(dir.ischanged);
    EXPECT_EQ(dir.endofdata, 0);
    EXPECT_EQ(dir.foundsectorsize, 0);
    dir.packfile.reset();  // leave the pack as it is
    dir.Reset();
  }
  {
    SCOPED_TRACE("the sidecar that fits brings the directory back");
    WriteFileBytes(SidecarOnDisk(), sidecar);
    TPackDirRecord dir;
    dir.Mount(Pack());
    EXPECT_TRUE(dir.isrecovered);
    EXPECT_EQ(dir.filelist.size(), 2u);
    EXPECT_EQ(dir.GetFileDigest("f/1"), MD5Of(PatternBytes(2000, 1)));
    dir.Dismount();
  }
}

TEST_F(PackDir, ChangingOneRecordRewritesOnlyItsBytes) {
  Sector(512);
  MakePack({1000, 1000, 1000});
  const std::vector<uint8_t> before = ReadFileBytes(PackOnDisk());
  const size_t records = 4608;  // three slots of 1,536 bytes
  {
    TPackDirRecord dir;
    dir.Mount(Pack());
    ASSERT_EQ(dir.endofdata, static_cast<int64_t>(records));
    ASSERT_TRUE(AddBytes(dir, "f/1", PatternBytes(1000, 55)));  // same size, new digest
    dir.Dismount();
  }
  const std::vector<uint8_t> after = ReadFileBytes(PackOnDisk());
  ASSERT_EQ(after.size(), before.size());
  // Records stand in name order: f/0, f/1, f/2. Filler is new at every save.
  for (size_t i = 0; i < 3 * 336; ++i) {
    const bool own = i >= 336 && i < 2 * 336;
    if (!own) {
      EXPECT_EQ(after[records + i], before[records + i]) << i;
    }
  }
  EXPECT_NE(std::vector<uint8_t>(after.begin() + records + 336, after.begin() + records + 672),
            std::vector<uint8_t>(before.begin() + records + 336, before.begin() + records + 672));
}

TEST_F(PackDir, PackTooShortForAHeaderIsEmpty) {
  for (int s : {512, 4096}) {
    SCOPED_TRACE(s);
    Sector(s);
    platform::RemoveFileAt(SidecarOnDisk());
    WriteFileBytes(PackOnDisk(), PatternBytes(100, 1));
    TPackDirRecord dir;
    dir.Mount(Pack());
    EXPECT_TRUE(dir.IsMounted());
    EXPECT_TRUE(dir.ischanged);
    EXPECT_TRUE(dir.filelist.empty());
    ASSERT_TRUE(AddBytes(dir, "a", PatternBytes(10, 2)));
    EXPECT_EQ(dir.filelist.at("a")->offset, 0);  // the old contents are given up
    dir.Dismount();
    EXPECT_EQ(platform::FileSizeOf(PackOnDisk()), s + s + s);
  }
}

TEST_F(PackDir, SaveCutsBytesBehindTheHeader) {
  Sector(512);
  MakePack({1000, 100000});
  const int64_t longer = platform::FileSizeOf(PackOnDisk());
  TPackDirRecord dir;
  dir.Mount(Pack());
  ASSERT_TRUE(dir.RemoveFile("f/1"));  // the last file: its space goes back
  EXPECT_EQ(dir.endofdata, 1536);
  EXPECT_TRUE(dir.unusedlist.empty());
  dir.Dismount();
  EXPECT_EQ(platform::FileSizeOf(PackOnDisk()), 1536 + 512 + 512);
  EXPECT_LT(platform::FileSizeOf(PackOnDisk()), longer);
}

TEST_F(PackDir, AddReplaceQueryAndList) {
  Sector(512);
  TPackDirRecord dir;
  dir.Mount(Pack());
  const auto first = PatternBytes(5000, 1);
  const auto second = PatternBytes(3000, 2);
  ASSERT_TRUE(AddBytes(dir, "\\Game\\DB\\X.Bin", first));
  ASSERT_TRUE(AddBytes(dir, "game/db/x.bin", second));
  EXPECT_EQ(dir.filelist.size(), 1u);
  EXPECT_EQ(dir.numRecord, 1);
  EXPECT_TRUE(dir.IsFileExist("\\GAME\\db\\x.bin"));
  EXPECT_EQ(dir.GetFileDigest("game/db/x.bin"), MD5Of(second));
  EXPECT_EQ(dir.filelist.at("game/db/x.bin")->offset, 0);  // replaced in place

  ASSERT_TRUE(AddBytes(dir, "empty.txt", {}));
  EXPECT_EQ(dir.filelist.at("empty.txt")->size, 0);
  EXPECT_EQ(dir.GetFileDigest("empty.txt"), MD5Of({}));
  EXPECT_EQ(dir.GetFileDigest("missing"), TBytes(16, 0));
  EXPECT_FALSE(dir.IsFileExist("missing"));

  // The stream form stores from the stream's position on.
  TMemoryStream s(PatternBytes(100, 3));
  s.SetPosition(40);
  ASSERT_TRUE(dir.AddReplaceFile("part", s));
  EXPECT_EQ(dir.filelist.at("part")->size, 60);

  // The folder form reads folder + "\" + the normalized name.
  platform::ForceFolders(tmp.File("dl/bin32"));
  WriteFileBytes(tmp.File("dl/bin32/a.dll"), PatternBytes(700, 4));
  ASSERT_TRUE(dir.AddReplaceFile("\\Bin32\\A.dll", tmp.Path() + "\\dl"));
  EXPECT_EQ(dir.GetFileDigest("bin32/a.dll"), MD5Of(PatternBytes(700, 4)));
  EXPECT_THROW(dir.AddReplaceFile("\\bin32\\missing.dll", tmp.Path() + "\\dl"), EFOpenError);
  EXPECT_FALSE(dir.IsFileExist("bin32/missing.dll"));

  std::vector<std::string> list = dir.GetFileList();
  std::sort(list.begin(), list.end());
  EXPECT_EQ(list, (std::vector<std::string>{"\\bin32\\a.dll", "\\empty.txt", "\\game\\db\\x.bin",
                                            "\\part"}));
  dir.Dismount();

  dir.Mount(Pack());
  EXPECT_EQ(dir.filelist.size(), 4u);
  EXPECT_EQ(dir.GetFileDigest("game/db/x.bin"), MD5Of(second));
  // Removing a name that is not there changes nothing.
  EXPECT_TRUE(dir.RemoveFile("not/there"));
  EXPECT_FALSE(dir.ischanged);
  EXPECT_TRUE(dir.RemoveFile("\\PART"));
  EXPECT_TRUE(dir.ischanged);
  EXPECT_FALSE(dir.IsFileExist("part"));
  dir.Dismount();
}

TEST_F(PackDir, AddAndRemoveRefusedWhileSaving) {
  Sector(512);
  MakePack({1000});
  const std::vector<uint8_t> bytes = ReadFileBytes(PackOnDisk());
  TPackDirRecord dir;
  dir.Mount(Pack());
  dir.issaving = true;
  EXPECT_FALSE(AddBytes(dir, "new", PatternBytes(100, 1)));
  EXPECT_FALSE(AddBytes(dir, "f/0", PatternBytes(100, 1)));
  EXPECT_FALSE(dir.RemoveFile("f/0"));
  EXPECT_FALSE(dir.ischanging);
  EXPECT_EQ(dir.filelist.size(), 1u);
  EXPECT_EQ(dir.filelist.at("f/0")->size, 1000);
  EXPECT_EQ(dir.endofdata, 1536);
  EXPECT_FALSE(dir.ischanged);
  dir.issaving = false;
  dir.Dismount();
  EXPECT_EQ(ReadFileBytes(PackOnDisk()), bytes);
}

TEST_F(PackDir, RecalculateFileDigest) {
  Sector(512);
  MakePack({1000, 2000});
  TPackDirRecord dir;
  dir.Mount(Pack());
  EXPECT_TRUE(dir.RecalculateFileDigest("f/0"));
  EXPECT_TRUE(dir.RecalculateFileDigest("not/there"));
  EXPECT_FALSE(dir.ischanged);
  // Change the bytes behind the pack's back.
  {
    TFileStream raw(PackOnDisk(), TFileMode::OpenReadWrite);
    raw.SetPosition(dir.filelist.at("f/1")->offset + 10);
    const uint8_t x = 0x5A;
    raw.WriteBuffer(&x, 1);
  }
  const TBytes old = dir.GetFileDigest("f/1");
  std::vector<uint8_t> now = PatternBytes(2000, 1);
  now[10] = 0x5A;
  EXPECT_EQ(dir.ComputeFileDigest("f/1"), MD5Of(now));
  EXPECT_FALSE(dir.ischanged);
  EXPECT_TRUE(dir.RecalculateFileDigest("f/1"));
  EXPECT_TRUE(dir.ischanged);
  EXPECT_NE(dir.GetFileDigest("f/1"), old);
  EXPECT_EQ(dir.GetFileDigest("f/1"), MD5Of(now));
  dir.Dismount();
}

// A name cut in its record would no longer match its key after the next
// mount, and the file would then be stored twice: the pack refuses it.
TEST_F(PackDir, NamesLongerThanARecordHoldsAreRefused) {
  Sector(512);
  const std::string longest = "game/" + std::string(255, 'n');
  // 130 two-byte letters: 260 characters, but 265 bytes.
  std::string wide = "game/";
  for (int i = 0; i < 130; ++i) wide += "\xc3\xa9";
  const std::string names[] = {"game/" + std::string(256, 'n'), wide,
                               "\\Game\\" + std::string(300, 'N')};
  TPackDirRecord dir;
  dir.Mount(Pack());
  for (const std::string& name : names) {
    SCOPED_TRACE(name.size());
    try {
      AddBytes(dir, name, PatternBytes(10, 1));
      ADD_FAILURE() << "stored";
    } catch (const EPackError& e) {
      EXPECT_NE(std::string(e.what()).find("longer than 260 bytes"), std::string::npos);
      EXPECT_NE(std::string(e.what()).find(TPackFileRecord::FixName(name).substr(0, 40)),
                std::string::npos);
    }
  }
  EXPECT_TRUE(dir.filelist.empty());
  EXPECT_EQ(dir.endofdata, 0);
  ASSERT_EQ(longest.size(), kPackMaxNameLength);
  ASSERT_TRUE(AddBytes(dir, longest, PatternBytes(10, 1)));
  dir.Dismount();
  dir.Mount(Pack());
  EXPECT_TRUE(dir.IsFileExist(longest));
  EXPECT_EQ(dir.filelist.size(), 1u);
  dir.Dismount();
}

// What an older writer left behind: a long name cut in one record, then the
// same file stored again under the cut name. The pack mounts with the later
// record, and the next save keeps only that one.
TEST_F(PackDir, NameStoredTwiceKeepsTheLaterRecord) {
  Sector(512);
  std::vector<uint8_t> data = PatternBytes(1000, 1);
  const std::vector<uint8_t> newer = PatternBytes(1000, 2);
  data.insert(data.end(), newer.begin(), newer.end());
  TPackFileRecord older = MakeRecord("a/x", 0, 1000, 0);
  TPackFileRecord later = MakeRecord("a/x", 1000, 1000, 0);
  const auto d = MD5Of(newer);
  std::copy(d.begin(), d.end(), later.digest.begin());
  WriteFileBytes(PackOnDisk(),
                 BuildRawPack(512, data, {}, {older, MakeRecord("b", 0, 10, 0), later},
                              {0, 0, kPackMagic, 3, 0}));
  TPackDirRecord dir;
  EXPECT_TRUE(dir.Mount(Pack()));
  ASSERT_TRUE(dir.IsMounted()) << dir.loaderror;
  EXPECT_EQ(dir.filelist.size(), 2u);
  EXPECT_EQ(dir.filelist.at("a/x")->offset, 1000);
  EXPECT_EQ(dir.GetFileDigest("a/x"), MD5Of(newer));
  EXPECT_EQ(dir.droppedrecords, 1);
  EXPECT_TRUE(dir.ischanged);
  dir.Dismount();
  dir.Mount(Pack());
  EXPECT_EQ(dir.droppedrecords, 0);
  EXPECT_EQ(dir.numRecord, 2);
  EXPECT_EQ(dir.ComputeFileDigest("a/x"), MD5Of(newer));
  dir.Dismount();
}

TEST_F(PackDir, UnpackFolderToDir) {
  Sector(512);
  TPackDirRecord dir;
  dir.Mount(Pack());
  ASSERT_TRUE(AddBytes(dir, "bin32/game.exe", PatternBytes(5000, 1)));
  ASSERT_TRUE(AddBytes(dir, "bin32/sub/a.dll", PatternBytes(70000, 2)));
  ASSERT_TRUE(AddBytes(dir, "bin32/empty", {}));
  ASSERT_TRUE(AddBytes(dir, "bin32", PatternBytes(10, 3)));
  ASSERT_TRUE(AddBytes(dir, "bin32x/a", PatternBytes(10, 4)));
  const std::string game = tmp.File("game");
  platform::ForceFolders(game + "/bin32");
  WriteFileBytes(game + "/bin32/game.exe", PatternBytes(99999, 9));  // replaced
  EXPECT_TRUE(dir.UnpackFolderToDir("/bin32", tmp.Path() + "\\game"));
  EXPECT_EQ(ReadFileBytes(game + "/bin32/game.exe"), PatternBytes(5000, 1));
  EXPECT_EQ(ReadFileBytes(game + "/bin32/sub/a.dll"), PatternBytes(70000, 2));
  EXPECT_TRUE(platform::FileExists(game + "/bin32/empty"));
  EXPECT_EQ(platform::FileSizeOf(game + "/bin32/empty"), 0);
  EXPECT_FALSE(platform::FolderExists(game + "/bin32x"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(game), {}), 1);
  // A trailing separator on the destination is not doubled.
  EXPECT_TRUE(dir.UnpackFolderToDir("\\BIN32\\Sub", tmp.Path() + "\\other\\"));
  EXPECT_TRUE(platform::FileExists(tmp.File("other/bin32/sub/a.dll")));
  dir.Dismount();
}

// Names that could lead outside the folder a file is extracted to: a
// planted pack must neither write nor name anything there.
TEST_F(PackDir, UnsafeNamesAreDroppedWhenRead) {
  Sector(512);
  const std::vector<std::string> unsafe = {"bin32\\..\\credits.dat",
                                           "bin32/../../escaped.txt",
                                           "bin32/..\\..\\escaped.txt",
                                           "bin32\\a.dll",
                                           "/etc/passwd",
                                           "bin32//abs.txt",
                                           "bin32/c:/x.txt",
                                           "bin32/./a",
                                           "..",
                                           ""};
  std::vector<TPackFileRecord> files = {MakeRecord("bin32/ok.txt", 0, 10, 0)};
  for (const std::string& n : unsafe) files.push_back(MakeRecord(n, 10, 10, 0));
  WriteFileBytes(PackOnDisk(),
                 BuildRawPack(512, PatternBytes(512, 1), {}, files,
                              {0, 0, kPackMagic, static_cast<int32_t>(files.size()), 0}));
  TPackDirRecord dir;
  dir.Mount(Pack());
  ASSERT_TRUE(dir.IsMounted()) << dir.loaderror;
  EXPECT_EQ(dir.filelist.size(), 1u);
  EXPECT_EQ(dir.unsafenames, unsafe);
  EXPECT_EQ(dir.droppedrecords, static_cast<int32_t>(unsafe.size()));
  EXPECT_TRUE(dir.ischanged);
  for (const std::string& n : unsafe) EXPECT_FALSE(dir.IsFileExist(n)) << n;
  platform::ForceFolders(tmp.File("dst/game"));
  EXPECT_TRUE(dir.UnpackFolderToDir("/bin32", tmp.Path() + "\\dst\\game"));
  EXPECT_TRUE(platform::FileExists(tmp.File("dst/game/bin32/ok.txt")));
  EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(tmp.File("dst")), {}), 3);
  // Nor can such a name be stored.
  for (const char* n : {"bin32/../../escaped.txt", "bin32//abs.txt", "bin32/c:/x.txt", ""}) {
    SCOPED_TRACE(n);
    EXPECT_THROW(AddBytes(dir, n, PatternBytes(10, 2)), EPackError);
  }
  EXPECT_EQ(dir.filelist.size(), 1u);
  dir.Dismount();
  // The next save left them out.
  dir.Mount(Pack());
  EXPECT_EQ(dir.droppedrecords, 0);
  EXPECT_TRUE(dir.unsafenames.empty());
  dir.Dismount();
}

// A stored name that is not in the pack's normal form (lower case, "/")
// is found by no lookup, and no remove reaches it: a damaged or foreign
// record must not stay as a file only extraction and listings see.
TEST_F(PackDir, NamesOutOfNormalFormAreDroppedWhenRead) {
  Sector(512);
  const std::vector<std::string> odd = {"bin32/Game.EXE", "Data/a.dat", "data/\xC3\x84.dat"};
  std::vector<TPackFileRecord> files = {MakeRecord("bin32/game.exe", 0, 10, 0),
                                        MakeRecord("data/\xC3\xA4.dat", 10, 10, 0)};
  for (const std::string& n : odd) files.push_back(MakeRecord(n, 20, 10, 0));
  WriteFileBytes(PackOnDisk(),
                 BuildRawPack(512, PatternBytes(512, 1), {}, files,
                              {0, 0, kPackMagic, static_cast<int32_t>(files.size()), 0}));
  TPackDirRecord dir;
  dir.Mount(Pack());
  ASSERT_TRUE(dir.IsMounted()) << dir.loaderror;
  EXPECT_EQ(dir.GetFileList(),
            (std::vector<std::string>{"\\bin32\\game.exe", "\\data\\\xC3\xA4.dat"}));
  EXPECT_EQ(dir.droppedrecords, static_cast<int32_t>(odd.size()));
  EXPECT_TRUE(dir.ischanged);
  EXPECT_EQ(dir.filelist.at("bin32/game.exe")->offset, 0);
  platform::ForceFolders(tmp.File("dst/game"));
  EXPECT_TRUE(dir.UnpackFolderToDir("/bin32", tmp.Path() + "\\dst\\game"));
  EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(tmp.File("dst")), {}), 3);
  dir.Dismount();
  dir.Mount(Pack());
  EXPECT_EQ(dir.droppedrecords, 0);
  EXPECT_EQ(dir.numRecord, 2);
  dir.Dismount();
}

// The extraction checks names once more, whatever put them in the directory.
TEST_F(PackDir, UnsafeNamesAreNeverExtracted) {
  Sector(512);
  const char* unsafe[] = {"bin32/../../escaped.txt", "bin32/..\\..\\escaped.txt", "bin32//abs.txt",
                          "bin32/c:/x.txt"};
  for (const char* name : unsafe) {
    SCOPED_TRACE(name);
    platform::RemoveFileAt(PackOnDisk());
    platform::RemoveFileAt(SidecarOnDisk());
    platform::RemoveFolderTree(tmp.File("dst"));
    platform::ForceFolders(tmp.File("dst/game"));
    TPackDirRecord dir;
    dir.Mount(Pack());
    ASSERT_TRUE(AddBytes(dir, "bin32/ok.txt", PatternBytes(10, 1)));
    auto planted = std::make_unique<TPackFileRecord>(*dir.filelist.at("bin32/ok.txt"));
    dir.filelist.emplace(name, std::move(planted));
    try {
      dir.UnpackFolderToDir("/bin32", tmp.Path() + "\\dst\\game");
      ADD_FAILURE() << "no error";
    } catch (const EPackError& e) {
      EXPECT_NE(std::string(e.what()).find("unsafe file name"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(platform::FileExists(tmp.File("escaped.txt")));
    EXPECT_FALSE(platform::FileExists(tmp.File("dst/escaped.txt")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.File("dst/game")), {}), 0);
    dir.filelist.erase(name);
    dir.Dismount();
  }
}

// A name at the file system's length limit extracts: the temporary name the
// bytes travel under is short.
TEST_F(PackDir, NameAtTheLengthLimitExtracts) {
  Sector(512);
  platform::ForceFolders(tmp.File("dst/game"));
  const std::string name = "bin32/" + std::string(250, 'n') + ".dll";
  TPackDirRecord dir;
  dir.Mount(Pack());
  ASSERT_TRUE(AddBytes(dir, name, PatternBytes(3000, 5)));
  ASSERT_TRUE(dir.UnpackFolderToDir("/bin32", tmp.Path() + "\\dst\\game", 0755));
  const std::string out = tmp.File("dst/game/" + name);
  ASSERT_TRUE(platform::FileExists(out));
  EXPECT_EQ(std::filesystem::file_size(out), 3000u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.File("dst/game/bin32")), {}), 1);
  dir.Dismount();
}

// A file that no slot can hold is refused by name before anything changes;
// the source is sparse, so nothing of its size is ever written.
TEST_F(PackDir, FileTooLargeForAnySlotIsRefused) {
  Sector(4096);
  platform::ForceFolders(tmp.File("src/data"));
  {
    TFileStream big(tmp.File("src/data/huge.bin"), TFileMode::Create);
    big.SetSize(kPackMaxFileSize + 1);
  }
  TPackDirRecord dir;
  dir.Mount(Pack());
  ASSERT_TRUE(AddBytes(dir, "a", PatternBytes(100, 1)));
  const int64_t end = dir.endofdata;
  try {
    dir.AddReplaceFile("data/huge.bin", tmp.Path() + "\\src");
    ADD_FAILURE() << "stored";
  } catch (const EPackError& e) {
    EXPECT_NE(std::string(e.what()).find("data/huge.bin"), std::string::npos) << e.what();
  }
  EXPECT_EQ(dir.endofdata, end);
  EXPECT_EQ(dir.filelist.size(), 1u);
  dir.Dismount();
  EXPECT_LT(platform::FileSizeOf(PackOnDisk()), 1 << 20);
}

TEST_F(PackDir, FolderThatCannotBeCreatedIsAnError) {
  Sector(512);
  TPackDirRecord dir;
  dir.Mount(Pack());
  ASSERT_TRUE(AddBytes(dir, "bin32/sub/a.dll", PatternBytes(10, 1)));
  platform::ForceFolders(tmp.File("game"));
  WriteFileBytes(tmp.File("game/bin32"), {1, 2, 3});  // a file where the folder must go
  try {
    dir.UnpackFolderToDir("/bin32", tmp.Path() + "\\game");
    ADD_FAILURE() << "no error";
  } catch (const EPackError& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot create the folder"), std::string::npos);
  }
  dir.Dismount();
}

TEST_F(PackDir, DismountAfterQueriesWritesNothing) {
  Sector(512);
  MakePack({1000, 2000, 3000});
  const auto pack = ReadFileBytes(PackOnDisk());
  const auto sidecar = ReadFileBytes(SidecarOnDisk());
  TPackDirRecord dir;
  EXPECT_FALSE(dir.Dismount());
  dir.Mount(Pack());
  EXPECT_THROW(dir.Mount(Pack()), EPackError);
  EXPECT_TRUE(dir.IsFileExist("f/1"));
  dir.GetFileDigest("f/2");
  dir.GetFileList();
  dir.RecalculateFileDigest("f/0");
  dir.RemoveFile("missing");
  dir.UnpackFolderToDir("/nothing", tmp.Path() + "\\x");
  EXPECT_TRUE(dir.Dismount());
  EXPECT_FALSE(dir.Dismount());
  EXPECT_EQ(ReadFileBytes(PackOnDisk()), pack);
  EXPECT_EQ(ReadFileBytes(SidecarOnDisk()), sidecar);
}

TEST_F(PackDir, ReadOnlyMountChangesNothing) {
  Sector(512);
  TPackDirRecord dir;
  EXPECT_THROW(dir.MountReadOnly(Pack()), EFOpenError);
  EXPECT_FALSE(platform::FileExists(PackOnDisk()));
  MakePack({1000});
  const auto pack = ReadFileBytes(PackOnDisk());
  dir.MountReadOnly(Pack());
  EXPECT_EQ(dir.filelist.size(), 1u);
  EXPECT_THROW(AddBytes(dir, "x", {1}), EPackError);
  EXPECT_THROW(dir.RemoveFile("f/0"), EPackError);
  EXPECT_THROW(dir.Save(), EPackError);
  EXPECT_FALSE(dir.ischanging);
  EXPECT_TRUE(dir.Dismount());
  EXPECT_EQ(ReadFileBytes(PackOnDisk()), pack);
}

TEST_F(PackDir, DamagedDirectories) {
  Sector(512);
  const std::vector<uint8_t> data = PatternBytes(4096, 1);
  struct Case {
    const char* label;
    std::vector<TPackFileRecord> unused;
    std::vector<TPackFileRecord> files;
    testing::TRawHeader header;
    bool found;
    size_t files_kept;
    int dropped;
  };
  const TPackFileRecord good = MakeRecord("a", 0, 1000, 536);
  const Case cases[] = {
      {"intact", {}, {good}, {0, 0, kPackMagic, 1, 0}, true, 1, 0},
      {"another writer's bytes 20 to 31",
       {},
       {good},
       {0, 7, kPackMagic, 1, 3, std::vector<uint8_t>(12, 0xEE)},
       true,
       1,
       0},
      {"wrong magic", {}, {good}, {0, 0, 0x12345678, 1, 0}, false, 0, 0},
      {"record count beyond the file", {}, {good}, {0, 0, kPackMagic, 0x7FFFFFFF, 0}, false, 0, 0},
      {"negative count", {}, {good}, {-1, 0, kPackMagic, 1, 0}, false, 0, 0},
      {"slot outside the data area",
       {MakeRecord("__unused__", 4000, 1000, 0)},
       {good, MakeRecord("b", 1LL << 62, 10, 0), MakeRecord("c", 100, -5, 0),
        MakeRecord("d", 3000, 1000, 200)},
       {1, 0, kPackMagic, 4, 0},
       true,
       1,
       4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    platform::RemoveFileAt(SidecarOnDisk());
    WriteFileBytes(PackOnDisk(), BuildRawPack(512, data, c.unused, c.files, c.header));
    TPackDirRecord dir;
    dir.Mount(Pack());
    EXPECT_TRUE(dir.IsMounted());
    EXPECT_EQ(dir.foundsectorsize != 0, c.found);
    EXPECT_EQ(dir.filelist.size(), c.files_kept);
    EXPECT_EQ(dir.droppedrecords, c.dropped);
    EXPECT_EQ(dir.ischanged, !c.found || c.dropped > 0);
    for (const auto& [k, r] : dir.filelist) dir.RecalculateFileDigest(k);
    dir.packfile.reset();
    dir.Reset();
  }
}

// --- Crash safety with the sidecar ------------------------------------------

// The state of the pack and its sidecar at one moment, as a crash would
// leave it.
struct TSnapshot {
  std::vector<uint8_t> pack, sidecar;
};

class PackRecovery : public PackDir {
 protected:
  TSnapshot Take() { return {ReadFileBytes(PackOnDisk()), ReadFileBytes(SidecarOnDisk())}; }
  // Mounts the snapshot in a folder of its own.
  void MountSnapshot(const TSnapshot& s, TPackDirRecord& dir, bool withsidecar = true) {
    platform::RemoveFolderTree(crash.File("c"));
    platform::ForceFolders(crash.File("c"));
    WriteFileBytes(crash.File("c/game_pak"), s.pack);
    if (withsidecar) WriteFileBytes(crash.File("c/game_pak.dir"), s.sidecar);
    dir.Mount(crash.Path() + "\\c\\game_pak");
  }
  TTempDir crash;
};

TEST_F(PackRecovery, DataAddedAfterTheSaveOverwroteTheDirectory) {
  Sector(512);
  struct Case {
    const char* label;
    size_t added;  // bytes of the new file appended over the directory
  };
  // 20 files: a record block of 7,168 bytes. A small file overwrites only its
  // start and the header stays; a large one overwrites everything.
  const Case cases[] = {{"records overwritten, header intact", 100},
                        {"whole directory overwritten", 20000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    platform::RemoveFileAt(PackOnDisk());
    MakePack(std::vector<size_t>(20, 700));
    TPackDirRecord dir;
    dir.Mount(Pack());
    ASSERT_TRUE(AddBytes(dir, "new/file", PatternBytes(c.added, 99)));
    ASSERT_TRUE(AddBytes(dir, "f/3", PatternBytes(600, 77)));  // replaced in its slot
    const TSnapshot s = Take();                                // the process dies here
    dir.Dismount();

    {
      SCOPED_TRACE("from the sidecar");
      TPackDirRecord after;
      MountSnapshot(s, after);
      EXPECT_TRUE(after.isrecovered);
      EXPECT_TRUE(after.ischanged);
      EXPECT_FALSE(after.IsFileExist("new/file"));
      ASSERT_EQ(after.filelist.size(), 20u);
      // Every digest was checked against the bytes: only the file being
      // changed no longer matches, and that shows at once.
      EXPECT_EQ(after.recovereddigests, 1);
      for (int i = 0; i < 20; ++i) {
        const std::string n = "f/" + std::to_string(i);
        SCOPED_TRACE(n);
        EXPECT_EQ(after.GetFileDigest(n), after.ComputeFileDigest(n));
        EXPECT_EQ(after.GetFileDigest(n) == MD5Of(PatternBytes(700, i)), i != 3);
      }
      after.Dismount();
      // Written again, the pack reads back on its own.
      platform::RemoveFileAt(crash.File("c/game_pak.dir"));
      TPackDirRecord again;
      again.Mount(crash.Path() + "\\c\\game_pak");
      EXPECT_FALSE(again.isrecovered);
      EXPECT_EQ(again.filelist.size(), 20u);
      again.packfile.reset();
    }
    {
      SCOPED_TRACE("without the sidecar files are lost");
      TPackDirRecord after;
      MountSnapshot(s, after, false);
      EXPECT_LT(after.filelist.size(), 20u);
      after.packfile.reset();
    }
  }
}

TEST_F(PackRecovery, SaveStoppedAfterTheSidecar) {
  // The pack as it was just before a save, with the sidecar that save wrote:
  // the pack's header is still the previous one.
  Sector(512);
  MakePack({1000, 2000, 3000});
  TPackDirRecord dir;
  dir.Mount(Pack());
  ASSERT_TRUE(AddBytes(dir, "f/0", PatternBytes(900, 50)));  // in place: the directory stays
  const std::vector<uint8_t> before = ReadFileBytes(PackOnDisk());
  ASSERT_TRUE(dir.Save());
  const TSnapshot s{before, ReadFileBytes(SidecarOnDisk())};
  dir.Dismount();
  TPackDirRecord after;
  MountSnapshot(s, after);
  EXPECT_TRUE(after.isrecovered);
  EXPECT_EQ(after.GetFileDigest("f/0"), MD5Of(PatternBytes(900, 50)));
  EXPECT_EQ(after.filelist.at("f/0")->size, 900);
  after.Dismount();
}

TEST_F(PackRecovery, PackRewrittenElsewhereKeepsItsOwnDirectory) {
  Sector(512);
  MakePack({1000, 2000});
  const std::vector<uint8_t> stale = ReadFileBytes(SidecarOnDisk());
  {
    TPackDirRecord dir;
    dir.Mount(Pack());
    ASSERT_TRUE(AddBytes(dir, "later", PatternBytes(5000, 5)));
    dir.Dismount();
  }
  // A sidecar of an earlier save next to a pack saved since.
  WriteFileBytes(SidecarOnDisk(), stale);
  {
    TPackDirRecord dir;
    dir.Mount(Pack());
    EXPECT_FALSE(dir.isrecovered);
    EXPECT_TRUE(dir.IsFileExist("later"));
    dir.Dismount();
  }
  // A damaged sidecar is no sidecar.
  std::vector<uint8_t> bad = stale;
  bad[bad.size() / 2] ^= 1;
  WriteFileBytes(SidecarOnDisk(), bad);
  {
    TPackDirRecord dir;
    dir.Mount(Pack());
    EXPECT_FALSE(dir.isrecovered);
    EXPECT_TRUE(dir.IsFileExist("later"));
    dir.Dismount();
  }
}

// Another writer may carry header bytes 20..31 as it read them (they are
// free for any writer) while it writes a directory of its own: the save id
// alone must not make our stale sidecar stand in for that directory.
TEST_F(PackRecovery, ForeignDirectoryCarryingOurSaveIdHolds) {
  Sector(512);
  MakePack({1000, 2000, 3000});
  const std::vector<uint8_t> pack = ReadFileBytes(PackOnDisk());
  const std::vector<uint8_t> plain = DecryptHeaderAt(pack, static_cast<int64_t>(pack.size()) - 512);
  // The foreign directory: the same data, one file fewer.
  TPackDirRecord ours;
  ours.MountReadOnly(Pack());
  ASSERT_EQ(ours.filelist.size(), 3u);
  const int64_t end = ours.endofdata;
  std::vector<TPackFileRecord> files = {*ours.filelist.at("f/0"), *ours.filelist.at("f/2")};
  ours.Dismount();
  testing::TRawHeader header{0, 0, kPackMagic, 2, 0};
  header.reserved.assign(plain.begin() + 20, plain.end());
  WriteFileBytes(
      PackOnDisk(),
      BuildRawPack(512, std::vector<uint8_t>(pack.begin(), pack.begin() + end), {}, files, header));
  TPackDirRecord dir;
  dir.Mount(Pack());
  EXPECT_FALSE(dir.isrecovered);
  EXPECT_EQ(dir.filelist.size(), 2u);
  EXPECT_FALSE(dir.IsFileExist("f/1"));
  dir.Dismount();
}

// A pack put back from a copy of an earlier save, next to the sidecar of a
// later one: whichever directory is used, no stored digest may claim bytes
// that are not there.
TEST_F(PackRecovery, PackPutBackFromACopyIsCheckedByItsBytes) {
  Sector(512);
  MakePack({1000, 2000, 3000});
  const std::vector<uint8_t> copy = ReadFileBytes(PackOnDisk());
  {
    TPackDirRecord dir;
    dir.Mount(Pack());
    ASSERT_TRUE(AddBytes(dir, "f/0", PatternBytes(1000, 40)));  // same slot, new bytes
    ASSERT_TRUE(dir.RemoveFile("f/1"));
    ASSERT_TRUE(AddBytes(dir, "g", PatternBytes(1500, 41)));  // into f/1's slot
    dir.Dismount();
  }
  WriteFileBytes(PackOnDisk(), copy);
  TPackDirRecord dir;
  dir.Mount(Pack());
  ASSERT_TRUE(dir.IsMounted());
  for (const auto& [name, r] : dir.filelist) {
    SCOPED_TRACE(name);
    EXPECT_EQ(dir.GetFileDigest(name), dir.ComputeFileDigest(name));
  }
  EXPECT_NE(dir.GetFileDigest("f/0"), MD5Of(PatternBytes(1000, 40)));
  EXPECT_NE(dir.GetFileDigest("g"), MD5Of(PatternBytes(1500, 41)));
  dir.Dismount();
}

// A sidecar that cannot describe the pack next to it is no sidecar.
TEST_F(PackRecovery, SidecarThatDoesNotFitThePackIsIgnored) {
  Sector(512);
  struct Case {
    const char* label;
    void (*change)(TPackSidecar&);
  };
  const Case cases[] = {
      {"end of data beyond the pack", [](TPackSidecar& sc) { sc.endofdata += 1 << 20; }},
      {"end of data at the top of the range",
       [](TPackSidecar& sc) { sc.endofdata = INT64_MAX - 100; }},
      {"counts that need more bytes than the copy has",
       [](TPackSidecar& sc) {
         std::vector<uint8_t> plain =
             DecryptHeaderAt(sc.tail, static_cast<int64_t>(sc.tail.size()) - 512);
         plain[12] = 0xFF;
         plain[13] = 0xFF;
         plain[14] = 0xFF;
         plain[15] = 0x7F;
         const std::vector<uint8_t> enc = EncryptDirData(plain);
         std::copy(enc.begin(), enc.end(), sc.tail.end() - 512);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    platform::RemoveFileAt(PackOnDisk());
    MakePack(std::vector<size_t>(5, 700));
    TPackDirRecord dir;
    dir.Mount(Pack());
    ASSERT_TRUE(AddBytes(dir, "new/file", PatternBytes(100, 99)));  // over the records
    TSnapshot s = Take();
    dir.packfile.reset();
    dir.Reset();
    std::optional<TPackSidecar> sc = DecodePackSidecar(s.sidecar);
    ASSERT_TRUE(sc);
    c.change(*sc);
    s.sidecar = EncodePackSidecar(*sc);
    TPackDirRecord after;
    MountSnapshot(s, after);
    EXPECT_TRUE(after.IsMounted());
    EXPECT_FALSE(after.isrecovered);
    after.packfile.reset();
    after.Reset();
  }
}

// --- Threads -----------------------------------------------------------------

TEST_F(PackDir, SavesAndAddsOnTwoThreads) {
  Sector(512);
  TPackDirRecord dir;
  dir.Mount(Pack());
  constexpr int kFiles = 30;
  constexpr int kSaves = 20;
  std::atomic<bool> started{false};
  std::atomic<bool> saving{true};
  std::vector<int> version(kFiles, -1);  // -1: not in the pack
  const auto bytes = [](int slot, int v) {
    return PatternBytes(1000 + 37 * static_cast<size_t>(slot), static_cast<uint32_t>(v));
  };
  // Adds, replaces and removes until the saves are done; a refused change is
  // tried again, as the download thread would.
  std::thread adder([&] {
    started = true;
    for (int i = 0; i < kFiles || saving; ++i) {
      const int slot = i % kFiles;
      const std::string n = "t/" + std::to_string(slot);
      if (i % 7 == 3) {
        while (!dir.RemoveFile(n)) std::this_thread::yield();
        version[slot] = -1;
      } else {
        while (!AddBytes(dir, n, bytes(slot, i))) std::this_thread::yield();
        version[slot] = i;
      }
    }
  });
  while (!started) std::this_thread::yield();
  for (int k = 0; k < kSaves; ++k) {
    ASSERT_TRUE(dir.Save());
    std::this_thread::yield();
  }
  saving = false;
  adder.join();
  dir.Dismount();
  dir.Mount(Pack());
  for (int slot = 0; slot < kFiles; ++slot) {
    SCOPED_TRACE(slot);
    const std::string n = "t/" + std::to_string(slot);
    ASSERT_EQ(dir.IsFileExist(n), version[slot] >= 0);
    if (version[slot] >= 0) {
      EXPECT_EQ(dir.GetFileDigest(n), MD5Of(bytes(slot, version[slot])));
      EXPECT_EQ(dir.ComputeFileDigest(n), dir.GetFileDigest(n));
    }
  }
  dir.Dismount();
}

TEST_F(PackDir, DismountWaitsForTheAddUnderWay) {
  Sector(512);
  TPackDirRecord dir;
  dir.Mount(Pack());
  // A source that holds the add until the main thread has asked to dismount.
  struct TSlowStream : TMemoryStream {
    using TMemoryStream::TMemoryStream;
    std::atomic<bool>* go = nullptr;
    std::atomic<bool>* reading = nullptr;
    int64_t Read(void* b, int64_t n) override {
      reading->store(true);
      while (!go->load()) std::this_thread::yield();
      return TMemoryStream::Read(b, n);
    }
  };
  std::atomic<bool> go{false}, reading{false};
  TSlowStream src(PatternBytes(200000, 1));
  src.go = &go;
  src.reading = &reading;
  bool added = false;
  std::thread adder([&] { added = dir.AddReplaceFile("slow", src); });
  while (!reading) std::this_thread::yield();
  std::thread closer([&] { EXPECT_TRUE(dir.Dismount()); });
  while (!dir.issaving) std::this_thread::yield();  // the dismount waits
  EXPECT_FALSE(AddBytes(dir, "refused", {1}));
  go = true;
  adder.join();
  closer.join();
  EXPECT_TRUE(added);
  dir.Mount(Pack());
  EXPECT_EQ(dir.GetFileDigest("slow"), MD5Of(PatternBytes(200000, 1)));
  EXPECT_FALSE(dir.IsFileExist("refused"));
  dir.Dismount();
}

TEST(PackDirSingle, GetPackDirIsOneObject) {
  TPackDirRecord* a = nullptr;
  TPackDirRecord* b = nullptr;
  std::thread t1([&] { a = &GetPackDir(); });
  std::thread t2([&] { b = &GetPackDir(); });
  t1.join();
  t2.join();
  EXPECT_EQ(a, b);
  EXPECT_FALSE(GetPackDir().IsMounted());
}

}  // namespace
}  // namespace vantrel
