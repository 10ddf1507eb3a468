#include "platform/text_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.h"

namespace vantrel::platform {
namespace {

using vantrel::testing::ReadFileText;
using vantrel::testing::TTempDir;
using vantrel::testing::WriteFileBytes;

TEST(TextFile, ReadsByByteOrderMark) {
  struct Case {
    const char* label;
    std::vector<uint8_t> bytes;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"ansi", {'d', 'e', '\r', '\n'}, {"de"}},
      {"utf8 bom", {0xEF, 0xBB, 0xBF, 'r', 'u', '\r', '\n', 'x'}, {"ru", "x"}},
      {"utf16le bom", {0xFF, 0xFE, 'f', 0, 'r', 0, '\r', 0, '\n', 0}, {"fr"}},
      {"utf16be bom", {0xFE, 0xFF, 0, 'c', 0, 'n'}, {"cn"}},
      {"utf16le non-ascii", {0xFF, 0xFE, 0x16, 0x04, 0x3D, 0xD8, 0x00, 0xDE}, {"\xD0\x96\xF0\x9F\x98\x80"}},
      {"lf and cr", {'a', '\n', 'b', '\r', 'c'}, {"a", "b", "c"}},
      {"empty line kept", {'a', '\r', '\n', '\r', '\n', 'b'}, {"a", "", "b"}},
      {"empty", {}, {}},
  };
  TTempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    WriteFileBytes(dir.File("t.dat"), c.bytes);
    EXPECT_EQ(ReadTextLines(dir.File("t.dat")), c.lines);
  }
}

TEST(TextFile, WritesCrLfWithoutMarkAndPermissions) {
  TTempDir dir;
  WriteTextLines(dir.File("c.dat"), {"login", "digest"}, 0600);
  EXPECT_EQ(ReadFileText(dir.File("c.dat")), "login\r\ndigest\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(dir.File("c.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A file that existed with wider rights is narrowed too.
  ::chmod(dir.File("c.dat").c_str(), 0666);
  WriteTextLines(dir.File("c.dat"), {"a"}, 0600);
  ASSERT_EQ(::stat(dir.File("c.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadFileText(dir.File("c.dat")), "a\r\n");
}

}  // namespace
}  // namespace vantrel::platform
