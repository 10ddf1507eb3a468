#include "platform/files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/stream.h"
#include "support/temp_dir.h"

namespace vantrel::platform {
namespace {

using vantrel::testing::TTempDir;

TEST(Files, PathPieces) {
  struct Case {
    const char* path;
    const char* dir;
    const char* name;
    const char* log;
  };
  const Case cases[] = {
      {"/opt/game/Launcher.exe", "/opt/game", "Launcher.exe", "/opt/game/Launcher.log"},
      {"/opt/game/vantrel", "/opt/game", "vantrel", "/opt/game/vantrel.log"},
      {"/opt/my.game/vantrel", "/opt/my.game", "vantrel", "/opt/my.game/vantrel.log"},
      {"C:\\Games\\Launcher.exe", "C:\\Games", "Launcher.exe", "C:\\Games\\Launcher.log"},
      {"name", "", "name", "name.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(ExtractFileDir(c.path), c.dir);
    EXPECT_EQ(ExtractFileName(c.path), c.name);
    EXPECT_EQ(ChangeFileExt(c.path, ".log"), c.log);
  }
  EXPECT_EQ(ToSystemPath("/g\\tmp\\bin32\\a.dll"), "/g/tmp/bin32/a.dll");
}

TEST(Files, ExecutableFolderIsWhereTheTestRuns) {
  const std::string exe = ExecutablePath();
  EXPECT_TRUE(FileExists(exe));
  EXPECT_EQ(ExecutableFolder() + "/" + ExtractFileName(exe), exe);
  char cwd[4096];
  const std::string before = ::getcwd(cwd, sizeof cwd);
  EnterExecutableFolder();
  EXPECT_EQ(std::string(::getcwd(cwd, sizeof cwd)), ExecutableFolder());
  ASSERT_EQ(::chdir(before.c_str()), 0);
}

TEST(Files, FolderAndFileOperations) {
  TTempDir dir;
  const std::string deep = dir.Path() + "\\a\\b\\c";
  EXPECT_TRUE(ForceFolders(deep));
  EXPECT_TRUE(FolderExists(dir.File("a/b/c")));
  EXPECT_FALSE(FileExists(deep));
  vantrel::testing::WriteFileText(dir.File("a/b/c/f"), "12345");
  EXPECT_EQ(FileSizeOf(deep + "\\f"), 5);
  EXPECT_EQ(FileSizeOf(deep + "\\missing"), -1);
  EXPECT_TRUE(RenameFileAt(deep + "\\f", dir.File("g")));
  EXPECT_TRUE(FileExists(dir.File("g")));
  EXPECT_TRUE(RemoveFileAt(dir.File("g")));
  EXPECT_FALSE(RemoveFileAt(dir.File("g")));
  // A file in the way of a folder cannot become one.
  vantrel::testing::WriteFileText(dir.File("plain"), "x");
  EXPECT_FALSE(ForceFolders(dir.File("plain/sub")));
  EXPECT_TRUE(RemoveFolderTree(dir.File("a")));
  EXPECT_FALSE(FolderExists(dir.File("a")));
}

TEST(Files, SectorSizeOverride) {
  TTempDir dir;
  const auto real = LogicalSectorSize(dir.Path());
  if (real) {
    EXPECT_GE(*real, 512);
  }
  OverrideSectorSize(4096);
  EXPECT_EQ(LogicalSectorSize(dir.Path()), 4096);
  OverrideSectorSize(512);
  EXPECT_EQ(LogicalSectorSize(dir.Path()), 512);
  OverrideSectorSize(std::nullopt);
  EXPECT_EQ(LogicalSectorSize(dir.Path()), real);
}

}  // namespace
}  // namespace vantrel::platform

namespace vantrel::platform {
namespace {

TEST(Files, ReplaceFileDurably) {
  vantrel::testing::TTempDir dir;
  const std::string path = dir.Path() + "\\side.dir";
  ReplaceFileDurably(path, std::vector<uint8_t>{1, 2, 3});
  ReplaceFileDurably(path, std::vector<uint8_t>{4, 5});
  EXPECT_EQ(vantrel::testing::ReadFileBytes(dir.File("side.dir")), (std::vector<uint8_t>{4, 5}));
  EXPECT_FALSE(FileExists(dir.File("side.dir.tmp")));
  EXPECT_THROW(ReplaceFileDurably(dir.Path() + "\\missing\\x", std::vector<uint8_t>{1}), EFOpenError);
}

// Links planted at the names the launcher writes (its own files or the
// temporary one beside them) never carry a write outside the game folder.
TEST(Files, WritesNeverFollowAPlantedLink) {
  vantrel::testing::TTempDir dir, elsewhere;
  const std::string target = elsewhere.File("victim");
  {
    TFileStream victim(target, TFileMode::Create);
    victim.WriteBuffer(std::vector<uint8_t>{9, 9, 9});
  }
  ASSERT_EQ(::symlink(target.c_str(), dir.File("lang.dat").c_str()), 0);
  EXPECT_THROW(TFileStream(dir.Path() + "\\lang.dat", TFileMode::Create), EFOpenError);

  ASSERT_EQ(::symlink(target.c_str(), dir.File("side.dir.tmp").c_str()), 0);
  ReplaceFileDurably(dir.Path() + "\\side.dir", std::vector<uint8_t>{1, 2});
  EXPECT_EQ(vantrel::testing::ReadFileBytes(dir.File("side.dir")), (std::vector<uint8_t>{1, 2}));
  EXPECT_FALSE(FileExists(dir.File("side.dir.tmp")));
  EXPECT_EQ(vantrel::testing::ReadFileBytes(target), (std::vector<uint8_t>{9, 9, 9}));
}

}  // namespace
}  // namespace vantrel::platform
