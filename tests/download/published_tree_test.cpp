// The download manager against a tree made by the publisher and served by
// nginx: every file of the client arrives, unpacks and matches its digest.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>

#include "download/download_manager.h"
#include "platform/files.h"
#include "support/nginx_fixture.h"
#include "support/publish_tree.h"
#include "support/server_tree.h"
#include "support/temp_dir.h"
#include "versions/update_list.h"
#include "versions/update_utils.h"

namespace vantrel {
namespace {

using testing::TNginxServer;
using testing::TServerMode;

// The file as installed: the transfer form, unpacked when compressed.
std::vector<uint8_t> Installed(TStream& form, bool compressed) {
  form.SetPosition(0);
  TMemoryStream out;
  if (compressed) {
    EXPECT_TRUE(DecompressStream(form, out));
  } else {
    out.CopyFrom(form);
  }
  return out.TakeBytes();
}

// Names that are not allowed raw in a URL path: a blank, "%", "?", "#",
// "+", non-ASCII letters, in file and folder names; files of one chunk, of
// several chunks, and an empty one that travels uncompressed.
testing::TClientFiles OddNameFiles() {
  auto bytes = [](size_t n, uint32_t seed) { return testing::PatternBytes(n, seed, false); };
  testing::TClientFiles f;
  f["bin32/a b.dll"] = bytes(5000, 1);
  f["bin32/100%.dat"] = bytes(6000, 2);
  f["bin32/what?.cfg"] = bytes(700, 3);
  f["bin32/c#d.dll"] = bytes(800, 4);
  f["bin32/x+y.bin"] = bytes(900, 5);
  f["bin32/%41%2F..%2Fz.dll"] = bytes(1000, 6);
  f["donn\xC3\xA9" "es/\xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.pak"] = bytes(1200 * 1024, 7);
  f["dir with space/big +%#?\xC3\xBC.bin"] = bytes(1300 * 1024, 8);
  f["dir with space/empty ?#.txt"] = {};
  return f;
}

TEST(PublishedTree, EveryFileArrivesAndMatchesItsDigest) {
  struct Case {
    const char* label;
    bool foldersplit;
    bool oddnames;
  } cases[] = {{"per-file layout", false, false},
               {"folder-split layout", true, false},
               {"odd names, per-file layout", false, true},
               {"odd names, folder-split layout", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    testing::TTempDir work;
    const auto client = c.oddnames ? OddNameFiles() : testing::SampleClientFiles(3);
    testing::WriteClientFolder(work.File("client"), client);
    const std::vector<uint8_t> launcher = testing::PatternBytes(700 * 1024, 9, true);
    testing::WriteFileBytes(work.File("Launcher.exe"), launcher);
    publish::TPublishOptions options;
    options.clientdir = work.File("client");
    options.launcherfile = work.File("Launcher.exe");
    options.outdir = work.File("www/kestrune");
    options.updateversion = 7;
    options.foldersplit = c.foldersplit;
    options.exclude = ".txt";
    const auto published = testing::PublishTree(options);
    TNginxServer a(TServerMode::Good, work.File("www"));
    TNginxServer b(TServerMode::Good, work.File("www"));
    const std::string down = work.File("game") + "\\tmp";
    TDownloadManager manager({a.BaseUrl(), b.BaseUrl()}, 2, 10000, down, "launcher.version", 36);

    const int64_t listsize = platform::FileSizeOf(work.File("www/kestrune/client.version"));
    auto liststream = manager.DownloadFileToMemory("client.version", listsize);
    TUpdateList list;
    ASSERT_TRUE(list.LoadFromStream(*liststream));
    TUpdateFileRefs refs;
    for (const auto& [key, e] : list.filelist) refs.emplace(key, e.get());
    ASSERT_EQ(refs.size(), client.size());

    std::mutex mutex;
    std::map<std::string, std::vector<uint8_t>> got;
    manager.SetFileDownloadedEvent([&](const std::string& key, TFileDownload& tdf) {
      // In memory, or else in the download folder (an empty file too: it
      // arrives as an empty stream).
      std::vector<uint8_t> bytes;
      if (tdf.stream) {
        bytes = Installed(*tdf.stream, tdf.compressed);
      } else {
        TFileStream f(manager.LocalTransferFile(key, tdf.compressed), TFileMode::OpenRead);
        bytes = Installed(f, tdf.compressed);
      }
      std::lock_guard<std::mutex> hold(mutex);
      got[key] = std::move(bytes);
    });
    ASSERT_TRUE(manager.DownloadFileList(refs)) << manager.LastRunError();
    ASSERT_EQ(got.size(), client.size());
    for (const auto& [rel, bytes] : client) {
      std::string key = "\\" + rel;
      std::replace(key.begin(), key.end(), '/', '\\');
      SCOPED_TRACE(key);
      ASSERT_TRUE(got.count(key));
      EXPECT_TRUE(got[key] == bytes);
      TMemoryStream m(got[key]);
      EXPECT_EQ(GetStreamMD5(m), list.filelist.at(key)->hash);
    }

    // The launcher: a file that fits one chunk still lands on disk.
    manager.UnsetFileDownloadedEvent();
    ASSERT_TRUE(manager.DownloadFile("\\Launcher.exe", published.launchersize, true));
    const std::string local = platform::ToSystemPath(down + "\\Launcher.exe");
    ASSERT_TRUE(DecompressFile(local + ".u", local));
    EXPECT_EQ(testing::ReadFileBytes(local), launcher);
  }
}

}  // namespace
}  // namespace vantrel
