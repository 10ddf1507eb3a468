#include "platform/stream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/errors.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using testing::TTempDir;

// The same contract must hold for memory and file streams.
class StreamContract : public ::testing::TestWithParam<bool> {
 protected:
  std::unique_ptr<TStream> Make() {
    if (GetParam()) return std::make_unique<TFileStream>(dir_.File("s.bin"), TFileMode::Create);
    return std::make_unique<TMemoryStream>();
  }
  TTempDir dir_;
};

TEST_P(StreamContract, WriteSeekReadAndResize) {
  auto s = Make();
  EXPECT_EQ(s->Size(), 0);
  s->WriteBuffer("abcdef", 6);
  EXPECT_EQ(s->Position(), 6);
  EXPECT_EQ(s->Size(), 6);
  s->SetPosition(2);
  char buf[8] = {};
  EXPECT_EQ(s->Read(buf, 8), 4);  // short read at the end
  EXPECT_EQ(std::string(buf, 4), "cdef");
  EXPECT_EQ(s->Read(buf, 8), 0);

  // Writing past the end leaves a zero gap.
  s->SetPosition(8);
  s->WriteBuffer("z", 1);
  EXPECT_EQ(s->Size(), 9);
  s->SetPosition(6);
  s->ReadBuffer(buf, 3);
  EXPECT_EQ(std::string(buf, 3), std::string("\0\0z", 3));

  // Cutting moves a position that lies past the new end.
  s->SetSize(3);
  EXPECT_EQ(s->Size(), 3);
  EXPECT_EQ(s->Position(), 3);
  s->SetSize(5);  // extension reads as zeros
  s->SetPosition(3);
  s->ReadBuffer(buf, 2);
  EXPECT_EQ(std::string(buf, 2), std::string("\0\0", 2));

  s->SetPosition(0);
  EXPECT_THROW(s->ReadBuffer(buf, 6), EReadError);
  EXPECT_THROW(s->Seek(-1, TSeekOrigin::Begin), EStreamError);
  EXPECT_EQ(s->Seek(-2, TSeekOrigin::End), 3);
}

TEST_P(StreamContract, CopyFromTakesTheRestOrAnExactCount) {
  auto s = Make();
  TMemoryStream src(std::vector<uint8_t>(200000, 7));
  src.SetPosition(100);
  EXPECT_EQ(s->CopyFrom(src), 199900);
  EXPECT_EQ(s->Size(), 199900);
  src.SetPosition(199990);
  EXPECT_THROW(s->CopyFrom(src, 11), EReadError);
}

INSTANTIATE_TEST_SUITE_P(MemoryAndFile, StreamContract, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "File" : "Memory"; });

TEST(FileStream, OpenModes) {
  TTempDir dir;
  const std::string name = dir.File("m.bin");
  EXPECT_THROW(TFileStream(name, TFileMode::OpenRead), EFOpenError);
  { TFileStream(name, TFileMode::OpenOrCreate).WriteBuffer("hello", 5); }
  { EXPECT_EQ(TFileStream(name, TFileMode::OpenOrCreate).Size(), 5); }  // never truncates
  { EXPECT_EQ(TFileStream(name, TFileMode::OpenRead).Size(), 5); }
  { EXPECT_EQ(TFileStream(name, TFileMode::Create).Size(), 0); }  // truncates
  {
    TFileStream ro(name, TFileMode::OpenRead);
    EXPECT_THROW(ro.WriteBuffer("x", 1), EWriteError);
  }
}

TEST(FileStream, BackslashNamesReachTheFileSystemAsFolders) {
  TTempDir dir;
  ::mkdir(dir.File("sub").c_str(), 0755);
  { TFileStream(dir.Path() + "\\sub\\f.txt", TFileMode::Create).WriteBuffer("x", 1); }
  EXPECT_EQ(testing::ReadFileText(dir.File("sub/f.txt")), "x");
}

TEST(FileStream, DenyWriteHoldersExcludeEachOther) {
  TTempDir dir;
  const std::string name = dir.File("lock.bin");
  TFileStream first(name, TFileMode::Create, TFileShare::Exclusive);
  EXPECT_THROW(TFileStream(name, TFileMode::OpenRead, TFileShare::DenyWrite), EFOpenError);
  // Readers that allow sharing are not stopped.
  EXPECT_NO_THROW(TFileStream(name, TFileMode::OpenRead, TFileShare::DenyNone));
}

TEST(FileStream, OpenErrorNamesTheFile) {
  try {
    TFileStream f("/nonexistent-folder/x.bin", TFileMode::OpenRead);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent-folder/x.bin"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos);
  }
}

}  // namespace
}  // namespace vantrel
