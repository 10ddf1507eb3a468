// Runs the real vantrel-pack binary on packs made by the library.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "pack/pack_dir_record.h"
#include "pack_test_util.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using testing::PatternBytes;
using testing::ReadFileBytes;
using testing::TTempDir;
using testing::WriteFileBytes;

struct TResult {
  int status;
  std::string out;  // standard output and standard error
};

TResult Tool(const std::string& args) {
  const std::string cmd =
      std::string("VANTREL_SECTOR_SIZE=512 '") + VANTREL_PACK_TOOL + "' " + args + " 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return {-1, ""};
  std::string out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int st = ::pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class PackTool : public ::testing::Test {
 protected:
  std::string P(const std::string& name) const { return "'" + tmp.File(name) + "'"; }
  TTempDir tmp;
};

TEST_F(PackTool, HelpAndUsage) {
  const TResult help = Tool("--help");
  EXPECT_EQ(help.status, 0);
  for (const char* cmd : {"info", "list", "verify", "extract", "add", "remove"}) {
    EXPECT_TRUE(Has(help.out, std::string("  ") + cmd + " ")) << cmd;
  }
  struct Case {
    const char* args;
    const char* says;
  };
  const Case cases[] = {{"", "no command given"},
                        {"frob x", "unknown command \"frob\""},
                        {"info", "\"info\" takes 1 arguments"},
                        {"add a b", "\"add\" takes 3 arguments"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const TResult r = Tool(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.out, c.says)) << r.out;
    EXPECT_TRUE(Has(r.out, "Usage: vantrel-pack")) << r.out;
  }
}

TEST_F(PackTool, AddListInfoVerifyExtractRemove) {
  WriteFileBytes(tmp.File("a.bin"), PatternBytes(5000, 1));
  WriteFileBytes(tmp.File("b.txt"), PatternBytes(3, 2));
  ASSERT_EQ(Tool("add " + P("game_pak") + " '\\Bin32\\A.bin' " + P("a.bin")).status, 0);
  ASSERT_EQ(Tool("add " + P("game_pak") + " game/b.txt " + P("b.txt")).status, 0);

  const TResult list = Tool("list " + P("game_pak"));
  EXPECT_EQ(list.status, 0);
  TPackDirRecord dir;
  dir.MountReadOnly(tmp.File("game_pak"));
  auto hex = [](const std::array<uint8_t, 16>& d) {
    char buf[33];
    for (int i = 0; i < 16; ++i) std::snprintf(buf + 2 * i, 3, "%02x", d[i]);
    return std::string(buf);
  };
  const std::string line_a =
      "{\"name\": \"bin32/a.bin\", \"offset\": 0, \"size\": 5000, \"margin\": 632, "
      "\"digest\": \"" +
      hex(dir.filelist.at("bin32/a.bin")->digest) + "\"}\n";
  const std::string line_b =
      "{\"name\": \"game/b.txt\", \"offset\": 5632, \"size\": 3, \"margin\": 509, "
      "\"digest\": \"" +
      hex(dir.filelist.at("game/b.txt")->digest) + "\"}\n";
  dir.Dismount();
  EXPECT_EQ(list.out, line_a + line_b);

  const TResult info = Tool("info " + P("game_pak"));
  EXPECT_EQ(info.status, 0);
  for (const char* part :
       {"\"size\": 7680", "\"sectorsize\": 512", "\"sig\": \"0x4A454449\"", "\"numRecord\": 2",
        "\"numUnused\": 0", "\"endofdata\": 6144", "\"recordblock\": 1024", "\"headerblock\": 512",
        "\"recovered\": false"}) {
    EXPECT_TRUE(Has(info.out, part)) << part << "\n" << info.out;
  }

  const TResult ok = Tool("verify " + P("game_pak"));
  EXPECT_EQ(ok.status, 0) << ok.out;
  EXPECT_TRUE(Has(ok.out, "2 files verified, 0 do not match"));

  const TResult ex = Tool("extract " + P("game_pak") + " /bin32 " + P("out"));
  EXPECT_EQ(ex.status, 0) << ex.out;
  EXPECT_EQ(ReadFileBytes(tmp.File("out/bin32/a.bin")), PatternBytes(5000, 1));
  EXPECT_FALSE(platform::FileExists(tmp.File("out/game/b.txt")));
  EXPECT_EQ(Tool("extract " + P("game_pak") + " / " + P("all")).status, 0);
  EXPECT_EQ(ReadFileBytes(tmp.File("all/game/b.txt")), PatternBytes(3, 2));

  // A byte changed behind the pack's back.
  {
    TFileStream raw(tmp.File("game_pak"), TFileMode::OpenReadWrite);
    raw.SetPosition(100);
    const uint8_t x = 0;
    raw.WriteBuffer(&x, 1);
  }
  const std::vector<uint8_t> before = ReadFileBytes(tmp.File("game_pak"));
  const TResult bad = Tool("verify " + P("game_pak"));
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(Has(bad.out, "{\"name\": \"bin32/a.bin\", \"stored\": ")) << bad.out;
  EXPECT_FALSE(Has(bad.out, "game/b.txt")) << bad.out;
  EXPECT_TRUE(Has(bad.out, "1 do not match"));
  EXPECT_EQ(ReadFileBytes(tmp.File("game_pak")), before);  // looking never writes

  EXPECT_EQ(Tool("remove " + P("game_pak") + " '\\BIN32\\a.bin'").status, 0);
  const TResult missing = Tool("remove " + P("game_pak") + " bin32/a.bin");
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(Has(missing.out, "no file \"bin32/a.bin\"")) << missing.out;
  EXPECT_EQ(Tool("list " + P("game_pak")).out, line_b);
}

TEST_F(PackTool, FilesThatAreNotPacks) {
  WriteFileBytes(tmp.File("notes.txt"), PatternBytes(3000, 3));
  const std::vector<uint8_t> bytes = ReadFileBytes(tmp.File("notes.txt"));
  for (const char* cmd : {"info", "list", "verify"}) {
    SCOPED_TRACE(cmd);
    const TResult r = Tool(std::string(cmd) + " " + P("notes.txt"));
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.out, "is not a pack (no directory found)")) << r.out;
  }
  WriteFileBytes(tmp.File("x"), {1});
  const TResult add = Tool("add " + P("notes.txt") + " a " + P("x"));
  EXPECT_EQ(add.status, 2);
  EXPECT_TRUE(Has(add.out, "not changed")) << add.out;
  EXPECT_EQ(ReadFileBytes(tmp.File("notes.txt")), bytes);
  EXPECT_FALSE(platform::FileExists(tmp.File("notes.txt.dir")));

  // Only add creates a pack; every other command leaves a missing or empty
  // file as it is.
  WriteFileBytes(tmp.File("empty"), {});
  for (const std::string& args :
       {"info " + P("missing"), "list " + P("missing"), "verify " + P("missing"),
        "extract " + P("missing") + " / " + P("out"), "remove " + P("missing") + " a",
        "remove " + P("empty") + " a"}) {
    SCOPED_TRACE(args);
    const TResult none = Tool(args);
    EXPECT_EQ(none.status, 2);
    EXPECT_TRUE(Has(none.out, "missing") || Has(none.out, "empty")) << none.out;
    EXPECT_FALSE(platform::FileExists(tmp.File("missing")));
    EXPECT_FALSE(platform::FileExists(tmp.File("missing.dir")));
    EXPECT_FALSE(platform::FileExists(tmp.File("empty.dir")));
    EXPECT_EQ(platform::FileSizeOf(tmp.File("empty")), 0);
  }
}

TEST_F(PackTool, InfoTellsARecoveredDirectory) {
  platform::OverrideSectorSize(512);
  {
    TPackDirRecord dir;
    dir.Mount(tmp.File("game_pak"));
    testing::AddBytes(dir, "a", PatternBytes(1000, 1));
    dir.Dismount();
    dir.Mount(tmp.File("game_pak"));
    testing::AddBytes(dir, "b", PatternBytes(5000, 2));  // over the directory
    dir.packfile.reset();                                // the launcher dies here
    dir.Reset();
  }
  platform::OverrideSectorSize(std::nullopt);
  const TResult info = Tool("info " + P("game_pak"));
  EXPECT_EQ(info.status, 0) << info.out;
  EXPECT_TRUE(Has(info.out, "\"recovered\": true")) << info.out;
  EXPECT_TRUE(Has(info.out, "\"numRecord\": 1")) << info.out;
  EXPECT_EQ(Tool("verify " + P("game_pak")).status, 0);
}

}  // namespace
}  // namespace vantrel
