#include "download/download_manager.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "download/odd_servers.h"
#include "platform/files.h"
#include "support/nginx_fixture.h"
#include "support/server_tree.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::PatternBytes;
using testing::TNginxServer;
using testing::TServerMode;
using testing::TServerOptions;
using testing::TServerTree;
using testing::TTempDir;
using TBytesV = std::vector<uint8_t>;

constexpr const char* kSmall = "\\bin32\\small.dll";  // one chunk, compressed
constexpr const char* kBig = "\\bin32\\big#1.dat";    // three chunks, stored as is
constexpr const char* kMid = "\\data\\mid.pak";       // two chunks, compressed
constexpr const char* kExact = "\\exact.bin";         // exactly 524,288 bytes

std::vector<testing::TTreeFile> StandardFiles() {
  return {
      {kSmall, PatternBytes(300 * 1024, 1, true), true},
      {kBig, PatternBytes(1300 * 1024, 2, false), false},
      {kMid, PatternBytes(700 * 1024, 3, false), true},
      {kExact, PatternBytes(524288, 4, false), false},
  };
}

TDownloadTimings FastTimings() {
  TDownloadTimings t;
  t.failurepause = 20ms;
  t.parkstep = 20ms;
  return t;
}

struct TDelivered {
  bool hadstream = false;
  TBytesV bytes;
  int count = 0;
};

struct TReport {
  int64_t a, b, c;
  bool speedupdated, isfilesize;
  bool operator==(const TReport&) const = default;
};

// Server base URLs.
struct TUrlList {
  std::vector<std::string> urls;
};

// A manager over the given servers with handlers that record everything.
class TManagerUnderTest {
 public:
  TManagerUnderTest(const std::vector<TNginxServer*>& servers, const std::string& downfolder,
                    int32_t m = 2, std::string probe = "launcher.version", int32_t probesize = 36,
                    TDownloadTimings timings = FastTimings(), int32_t downloadtimeout = 2000)
      : TManagerUnderTest(TUrlList{Urls(servers)}, downfolder, m, std::move(probe), probesize,
                          std::move(timings), downloadtimeout) {}
  TManagerUnderTest(const TUrlList& servers, const std::string& downfolder,
                    int32_t m = 2, std::string probe = "launcher.version", int32_t probesize = 36,
                    TDownloadTimings timings = FastTimings(), int32_t downloadtimeout = 2000) {
    manager = std::make_unique<TDownloadManager>(servers.urls, m, downloadtimeout, downfolder, probe,
                                                 probesize, timings);
    manager->SetFileDownloadedEvent([this](const std::string& key, TFileDownload& tdf) {
      TDelivered d;
      d.hadstream = tdf.stream != nullptr;
      if (tdf.stream) {
        EXPECT_EQ(tdf.stream->Position(), 0);
        TMemoryStream copy;
        copy.CopyFrom(*tdf.stream);
        d.bytes = copy.TakeBytes();
      } else {
        const std::string local = manager->LocalTransferFile(key, tdf.compressed);
        if (platform::FileExists(local))
          d.bytes = testing::ReadFileBytes(platform::ToSystemPath(local));
      }
      std::lock_guard<std::mutex> hold(mutex);
      d.count = delivered[key].count + 1;
      delivered[key] = std::move(d);
    });
    manager->SetStatusUpdateEvent([this](int64_t a, int64_t b, int64_t c, bool s, bool f) {
      std::lock_guard<std::mutex> hold(mutex);
      reports.push_back({a, b, c, s, f});
    });
  }

  std::map<std::string, TDelivered> Delivered() {
    std::lock_guard<std::mutex> hold(mutex);
    return delivered;
  }
  std::vector<TReport> Reports() {
    std::lock_guard<std::mutex> hold(mutex);
    return reports;
  }
  void Forget() {
    std::lock_guard<std::mutex> hold(mutex);
    delivered.clear();
    reports.clear();
  }

  std::unique_ptr<TDownloadManager> manager;

 private:
  static std::vector<std::string> Urls(const std::vector<TNginxServer*>& servers) {
    std::vector<std::string> urls;
    for (auto* s : servers) urls.push_back(s->BaseUrl());
    return urls;
  }

  std::mutex mutex;
  std::map<std::string, TDelivered> delivered;
  std::vector<TReport> reports;
};

class DownloadManagerTest : public ::testing::Test {
 protected:
  DownloadManagerTest() : tree(root.Path(), StandardFiles()) {}

  // Every file of the tree was delivered once with its exact transfer form.
  void ExpectAllDelivered(TManagerUnderTest& t) {
    const auto delivered = t.Delivered();
    EXPECT_EQ(delivered.size(), tree.Refs().size());
    for (const auto& [key, entry] : tree.Refs()) {
      SCOPED_TRACE(key);
      ASSERT_TRUE(delivered.count(key));
      EXPECT_EQ(delivered.at(key).count, 1);
      EXPECT_TRUE(delivered.at(key).bytes == tree.TransferForm(key));
    }
  }
  std::string Local(const std::string& key) {
    const bool compressed = tree.Entry(key).compressed;
    return platform::ToSystemPath(down.Path() + key + (compressed ? ".u" : ""));
  }
  void PlaceLocal(const std::string& key, const TBytesV& bytes) {
    testing::WriteFileBytes(Local(key), bytes);
  }

  TTempDir root;
  TTempDir down;
  TServerTree tree;
};

TEST_F(DownloadManagerTest, RunDeliversEveryFileWithReports) {
  TNginxServer a(TServerMode::Good, tree.Root());
  TNginxServer b(TServerMode::Good, tree.Root());
  TManagerUnderTest t({&a, &b}, down.Path());
  ASSERT_TRUE(t.manager->DownloadFileList(tree.Refs()));
  EXPECT_FALSE(t.manager->IsDownloading());
  EXPECT_EQ(t.manager->LastRunError(), "");
  EXPECT_TRUE(t.manager->LastRunNotes().empty());
  ExpectAllDelivered(t);
  const auto delivered = t.Delivered();
  // Files of one chunk came in memory and never touched the download folder;
  // the others were written there and arrive without a stream.
  for (const char* key : {kSmall, kExact}) {
    SCOPED_TRACE(key);
    EXPECT_TRUE(delivered.at(key).hadstream);
    EXPECT_FALSE(std::filesystem::exists(Local(key)));
  }
  for (const char* key : {kBig, kMid}) {
    SCOPED_TRACE(key);
    EXPECT_FALSE(delivered.at(key).hadstream);
    EXPECT_EQ(testing::ReadFileBytes(Local(key)), tree.TransferForm(key));
  }
  int64_t total = 0;
  for (const auto& [key, e] : tree.Refs()) total += e->size;
  const auto reports = t.Reports();
  ASSERT_GE(reports.size(), 5u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(reports[i], (TReport{i + 1, 4, 0, false, false}));
  // The final byte report follows the periodic ones; delivery counts close.
  bool finalseen = false;
  for (size_t i = 4; i < reports.size(); ++i) {
    const TReport& r = reports[i];
    if (!finalseen && r.isfilesize && r.c == 0 && r.a == total) {
      EXPECT_EQ(r, (TReport{total, total, 0, true, true}));
      finalseen = true;
    } else if (finalseen) {
      EXPECT_FALSE(r.isfilesize);
      EXPECT_EQ(r.b, 4);
      EXPECT_EQ(r.c, 0);
    } else {
      EXPECT_TRUE(r.isfilesize && r.speedupdated);
    }
  }
  EXPECT_TRUE(finalseen);
  // Chunks of the three-chunk file: every range asked once, 206 answers.
  std::multiset<std::string> ranges;
  for (TNginxServer* s : {&a, &b}) {
    for (const auto& r : s->FileRequests()) {
      EXPECT_EQ(r.status, 206);
      if (r.uri == tree.RequestPath(kBig)) ranges.insert(r.range);
    }
  }
  EXPECT_EQ(ranges, (std::multiset<std::string>{"bytes=0-524287", "bytes=524288-1048575",
                                                "bytes=1048576-1331199"}));
}

TEST_F(DownloadManagerTest, PreparationReportsOneToThree) {
  TNginxServer a(TServerMode::Good, tree.Root());
  TManagerUnderTest t({&a}, down.Path());
  ASSERT_TRUE(t.manager->DownloadFileList(tree.Refs({kSmall, kBig, kMid})));
  const auto reports = t.Reports();
  ASSERT_GE(reports.size(), 3u);
  EXPECT_EQ(reports[0], (TReport{1, 3, 0, false, false}));
  EXPECT_EQ(reports[1], (TReport{2, 3, 0, false, false}));
  EXPECT_EQ(reports[2], (TReport{3, 3, 0, false, false}));
}

TEST_F(DownloadManagerTest, AllChunksPresentNeedsNoRequest) {
  TNginxServer a(TServerMode::Good, tree.Root());
  for (const auto& [key, e] : tree.Refs()) PlaceLocal(key, tree.TransferForm(key));
  TManagerUnderTest t({&a}, down.Path());
  ASSERT_TRUE(t.manager->DownloadFileList(tree.Refs()));
  ExpectAllDelivered(t);
  for (const auto& [key, d] : t.Delivered()) EXPECT_FALSE(d.hadstream) << key;
  EXPECT_TRUE(a.FileRequests().empty());
}

TEST_F(DownloadManagerTest, ResumptionFetchesOnlyMissingAndDamagedChunks) {
  std::vector<testing::TTreeFile> files;
  for (int i = 0; i < 5; ++i) {
    files.push_back({"\\res\\f" + std::to_string(i) + ".bin",
                     PatternBytes(3 * 524288 + 1000, 10 + i, false), false});
  }
  TTempDir root2;
  TServerTree big(root2.Path(), files);
  TNginxServer a(TServerMode::Good, big.Root());
  TNginxServer b(TServerMode::Good, big.Root());
  auto local = [&](int i) { return down.Path() + "/res/f" + std::to_string(i) + ".bin"; };
  auto form = [&](int i) -> const TBytesV& {
    return big.TransferForm("\\res\\f" + std::to_string(i) + ".bin");
  };
  // f0 complete; f1 only its first chunk (shorter: extended); f2 with a
  // damaged third chunk; f3 complete plus trailing bytes (longer: cut);
  // f4 missing.
  testing::WriteFileBytes(local(0), form(0));
  testing::WriteFileBytes(local(1), TBytesV(form(1).begin(), form(1).begin() + 524288));
  TBytesV damaged = form(2);
  damaged[2 * 524288 + 7] ^= 0xFF;
  testing::WriteFileBytes(local(2), damaged);
  TBytesV longer = form(3);
  longer.resize(longer.size() + 4096, 0xEE);
  testing::WriteFileBytes(local(3), longer);

  TManagerUnderTest t({&a, &b}, down.Path());
  ASSERT_TRUE(t.manager->DownloadFileList(big.Refs()));
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(testing::ReadFileBytes(local(i)), form(i));
  }
  std::multiset<std::pair<std::string, std::string>> asked;
  for (TNginxServer* s : {&a, &b}) {
    for (const auto& r : s->FileRequests()) asked.insert({r.uri, r.range});
  }
  const std::string last = std::to_string(3 * 524288 + 999);
  const std::multiset<std::pair<std::string, std::string>> want = {
      {"/kestrune//res/f1.bin.u", "bytes=524288-1048575"},
      {"/kestrune//res/f1.bin.u", "bytes=1048576-1572863"},
      {"/kestrune//res/f1.bin.u", "bytes=1572864-" + last},
      {"/kestrune//res/f2.bin.u", "bytes=1048576-1572863"},
      {"/kestrune//res/f4.bin.u", "bytes=0-524287"},
      {"/kestrune//res/f4.bin.u", "bytes=524288-1048575"},
      {"/kestrune//res/f4.bin.u", "bytes=1048576-1572863"},
      {"/kestrune//res/f4.bin.u", "bytes=1572864-" + last},
  };
  EXPECT_EQ(asked, want);
}

TEST_F(DownloadManagerTest, DownloadFileRefetchesEveryChunkAndLandsOnDisk) {
  TNginxServer a(TServerMode::Good, tree.Root());
  TManagerUnderTest t({&a}, down.Path());
  // Without check values every chunk is fetched, also when a complete local
  // file exists.
  PlaceLocal(kBig, tree.TransferForm(kBig));
  const int64_t bigsize = tree.Entry(kBig).size;
  ASSERT_TRUE(t.manager->DownloadFile(kBig, bigsize, false));
  EXPECT_EQ(a.FileRequests().size(), 3u);
  EXPECT_EQ(testing::ReadFileBytes(Local(kBig)), tree.TransferForm(kBig));
  // A file of one chunk reaches the handler in memory and still lands in
  // the download folder.
  ASSERT_TRUE(t.manager->DownloadFile(kSmall, tree.Entry(kSmall).size, true));
  EXPECT_TRUE(t.Delivered().at(kSmall).hadstream);
  EXPECT_EQ(testing::ReadFileBytes(Local(kSmall)), tree.TransferForm(kSmall));
  // No handler routed: the same.
  std::filesystem::remove(Local(kSmall));
  t.manager->UnsetFileDownloadedEvent();
  ASSERT_TRUE(t.manager->DownloadFile(kSmall, tree.Entry(kSmall).size, true));
  EXPECT_EQ(testing::ReadFileBytes(Local(kSmall)), tree.TransferForm(kSmall));
}

TEST_F(DownloadManagerTest, MemoryFetchTriesTwoWorkers) {
  TTempDir root37;
  TServerTree tree37(root37.Path(), {}, false, 37);
  TServerOptions whole;
  whole.ignoreranges = true;  // answers 37 bytes to bytes=0-35
  TNginxServer a(TServerMode::Good, tree37.Root(), whole);
  // The probe accepts 37 bytes here, so the server is listed with two workers.
  TManagerUnderTest t({&a}, down.Path(), 2, "launcher.version", 37);
  EXPECT_EQ(t.manager->DownloadFileToMemory("launcher.version", 36)->Size(), 0);
  EXPECT_EQ(a.Requests().size(), 3u);  // the probe and two attempts
  auto got = t.manager->DownloadFileToMemory("launcher.version", 37);
  EXPECT_EQ(got->Size(), 37);
  EXPECT_EQ(got->Position(), 0);
}

TEST_F(DownloadManagerTest, FolderSplitLayout) {
  std::vector<testing::TTreeFile> files = {
      {"\\bin32\\a.dll", PatternBytes(600 * 1024, 21, false), false},
      {"\\bin32\\b.dll", PatternBytes(50 * 1024, 22, true), true},
      {"\\top.bin", PatternBytes(700 * 1024, 23, false), false},
  };
  TTempDir root2;
  TServerTree split(root2.Path(), files, true);
  TNginxServer a(TServerMode::Good, split.Root());
  TManagerUnderTest t({&a}, down.Path());
  ASSERT_TRUE(t.manager->DownloadFileList(split.Refs()));
  const auto delivered = t.Delivered();
  for (const auto& f : files) {
    SCOPED_TRACE(f.key);
    EXPECT_TRUE(delivered.at(f.key).bytes == split.TransferForm(f.key));
  }
  std::set<std::pair<std::string, std::string>> asked;
  for (const auto& r : a.FileRequests()) asked.insert({r.uri, r.range});
  const int64_t bpos = split.Entry("\\bin32\\b.dll").posinfile;
  EXPECT_TRUE(asked.count({"/kestrune//bin32.u", "bytes=0-524287"}));
  EXPECT_TRUE(asked.count(
      {"/kestrune//bin32.u", "bytes=" + std::to_string(bpos) + "-" +
                                 std::to_string(bpos + split.Entry("\\bin32\\b.dll").size - 1)}));
  EXPECT_TRUE(asked.count({"/kestrune/.u", "bytes=0-524287"}));
}

TEST_F(DownloadManagerTest, FailedChunkIsFetchedAgainAfterThePause) {
  // The only worker gets a damaged copy first; the run waits through the
  // pause and fetches the chunk again once the server has it right.
  const std::string served =
      root.Path() + "/kestrune" + "/bin32/big11223344556677889900" + "1.dat.u";
  const TBytesV good = testing::ReadFileBytes(served);
  TBytesV damaged = good;
  damaged[10] ^= 0xFF;
  testing::WriteFileBytes(served, damaged);
  TNginxServer a(TServerMode::Good, tree.Root());
  TDownloadTimings timings = FastTimings();
  timings.failurepause = 1500ms;
  TManagerUnderTest t({&a}, down.Path(), 1, "launcher.version", 36, timings);
  bool result = false;
  std::thread run([&] { result = t.manager->DownloadFileList(tree.Refs({kBig})); });
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  bool failedonce = false;
  while (!failedonce && std::chrono::steady_clock::now() < deadline) {
    for (const auto& r : a.FileRequests()) failedonce = failedonce || r.range == "bytes=0-524287";
    if (!failedonce) std::this_thread::sleep_for(5ms);
  }
  testing::WriteFileBytes(served, good);
  run.join();
  ASSERT_TRUE(failedonce);
  EXPECT_TRUE(result);
  EXPECT_EQ(testing::ReadFileBytes(Local(kBig)), tree.TransferForm(kBig));
  int first = 0;
  for (const auto& r : a.FileRequests()) first += r.range == "bytes=0-524287";
  EXPECT_EQ(first, 2);
}

struct TFaultCase {
  TServerMode mode;
  bool probefails;  // Missing / Error500: the probe file fails too
};

TEST_F(DownloadManagerTest, FaultMatrix) {
  const TFaultCase cases[] = {
      {TServerMode::Missing, false},    {TServerMode::Missing, true},
      {TServerMode::Error500, false},   {TServerMode::Error500, true},
      {TServerMode::Slow, false},       {TServerMode::Corrupted, false},
      {TServerMode::WrongProbe, false}, {TServerMode::Dead, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(testing::ModeName(c.mode)) + (c.probefails ? " (probe too)" : ""));
    TServerOptions options;
    options.probefails = c.probefails;
    options.limitrate = 256 * 1024;
    TNginxServer faulty(c.mode, tree.Root(), options);
    {
      // Mixed with a good server: everything arrives, byte for byte.
      TNginxServer good(TServerMode::Good, tree.Root());
      TTempDir folder;
      TManagerUnderTest t({&faulty, &good}, folder.Path());
      ASSERT_TRUE(t.manager->DownloadFileList(tree.Refs()));
      ExpectAllDelivered(t);
    }
    const bool probepasses =
        c.mode == TServerMode::Slow || c.mode == TServerMode::Corrupted ||
        (!c.probefails && (c.mode == TServerMode::Missing || c.mode == TServerMode::Error500));
    if (probepasses) continue;  // alone it would keep the run going (no retry limit)
    // Alone: nothing is listed, the fetches give up at once.
    TTempDir folder;
    TManagerUnderTest t({&faulty}, folder.Path());
    EXPECT_FALSE(t.manager->DownloadFileList(tree.Refs()));
    EXPECT_TRUE(t.Delivered().empty());
    EXPECT_EQ(t.manager->DownloadFileToMemory("launcher.version", 36)->Size(), 0);
    EXPECT_FALSE(t.manager->IsDownloading());
  }
}

TEST_F(DownloadManagerTest, SlowServerAloneStillDelivers) {
  TServerOptions options;
  options.limitrate = 384 * 1024;
  TNginxServer slow(TServerMode::Slow, tree.Root(), options);
  TManagerUnderTest t({&slow}, down.Path());
  ASSERT_TRUE(t.manager->DownloadFileList(tree.Refs()));
  ExpectAllDelivered(t);
}

TEST_F(DownloadManagerTest, FileErrorFailsTheRunAndTheNextRunIsClean) {
  TNginxServer a(TServerMode::Good, tree.Root());
  // The download folder cannot be created while a file stands in its way.
  const std::string blocker = down.File("blocked");
  testing::WriteFileText(blocker, "x");
  TManagerUnderTest t({&a}, blocker + "/dl");
  EXPECT_FALSE(t.manager->DownloadFileList(tree.Refs()));
  EXPECT_FALSE(t.manager->IsDownloading());
  std::filesystem::remove(blocker);
  t.Forget();
  // Nothing of the failed run is left: every key registers again and each
  // file is delivered once, memory files included.
  ASSERT_TRUE(t.manager->DownloadFileList(tree.Refs()));
  ExpectAllDelivered(t);
}

TEST_F(DownloadManagerTest, KeyReachingOutsideTheFolderIsRefusedBeforeTheRun) {
  TNginxServer a(TServerMode::Good, tree.Root());
  TManagerUnderTest t({&a}, down.File("dl"));
  TUpdateFile e = tree.Entry(kBig);
  for (const char* key : {"\\..\\escape.bin", "\\bin32\\..\\..\\x", "..\\x"}) {
    SCOPED_TRACE(key);
    TUpdateFileRefs refs = tree.Refs({kSmall});
    refs.emplace(key, &e);
    EXPECT_THROW(t.manager->DownloadFileList(refs), EVantrelError);
    EXPECT_FALSE(t.manager->IsDownloading());
  }
  EXPECT_FALSE(std::filesystem::exists(down.File("escape.bin")));
  EXPECT_FALSE(std::filesystem::exists(down.File("x")));
  // The refused runs left nothing registered.
  ASSERT_TRUE(t.manager->DownloadFileList(tree.Refs()));
  ExpectAllDelivered(t);
}

TEST_F(DownloadManagerTest, HandlerErrorFailsTheRunWithoutEndingTheThread) {
  TNginxServer a(TServerMode::Good, tree.Root());
  TManagerUnderTest t({&a}, down.Path());
  std::atomic<int> calls{0};
  t.manager->SetFileDownloadedEvent([&](const std::string&, TFileDownload&) {
    ++calls;
    throw std::runtime_error("handler failed");
  });
  EXPECT_FALSE(t.manager->DownloadFileList(tree.Refs()));
  EXPECT_EQ(calls.load(), 4);
}

TEST_F(DownloadManagerTest, EmptyFileArrivesAsAnEmptyStream) {
  // A file of 0 bytes stored as it is: no chunk, no request, no local file.
  TTempDir root2;
  TServerTree empty(root2.Path(), {{"\\data\\empty.cfg", {}, false}, {kSmall, PatternBytes(10, 5, true), true}});
  TNginxServer a(TServerMode::Good, empty.Root());
  TManagerUnderTest t({&a}, down.Path());
  ASSERT_TRUE(t.manager->DownloadFileList(empty.Refs()));
  const auto delivered = t.Delivered();
  ASSERT_TRUE(delivered.count("\\data\\empty.cfg"));
  EXPECT_TRUE(delivered.at("\\data\\empty.cfg").hadstream);
  EXPECT_TRUE(delivered.at("\\data\\empty.cfg").bytes.empty());
  EXPECT_EQ(a.FileRequests().size(), 1u);  // the other file only
  // Fetched on its own, it lands in the download folder as an empty file.
  ASSERT_TRUE(t.manager->DownloadFile("\\data\\empty.cfg", 0, false));
  EXPECT_TRUE(testing::ReadFileBytes(platform::ToSystemPath(down.Path() + "/data/empty.cfg")).empty());
}

TEST_F(DownloadManagerTest, TrickledChunkIsGivenUpAndFetchedElsewhere) {
  // One server sends 512 bytes a second (its probe file passes at once):
  // below the floor (4 KiB/s held for a second, shortened here), its chunks
  // go to the other server.
  TServerOptions trickle;
  trickle.limitrate = 512;
  TNginxServer slow(TServerMode::Slow, tree.Root(), trickle);
  TNginxServer good(TServerMode::Good, tree.Root());
  TDownloadTimings timings = FastTimings();
  timings.lowspeedlimit = 4096;
  timings.lowspeedtime = 1s;
  // A silence limit of 3 x 30 s: nginx's pauses between bursts never reach
  // it, so only the floor can give the slow answers up.
  TManagerUnderTest t({&slow, &good}, down.Path(), 2, "launcher.version", 36, timings, 30000);
  ASSERT_EQ(t.manager->WorkerServers().size(), 4u);  // both passed the probe
  ASSERT_TRUE(t.manager->DownloadFileList(tree.Refs()));
  ExpectAllDelivered(t);
  EXPECT_FALSE(slow.FileRequests().empty());  // the slow server was given chunks
}

// Keys of the multi-chunk files of StandardFiles().
bool IsMultiChunkPath(const TServerTree& tree, const std::string& path) {
  return path == tree.RequestPath(kBig) || path == tree.RequestPath(kMid);
}

TEST_F(DownloadManagerTest, ServerIgnoringRangesAloneEndsTheRun) {
  testing::TPythonServer python(tree.Root());
  TManagerUnderTest t(TUrlList{{python.BaseUrl()}}, down.Path());
  EXPECT_FALSE(t.manager->DownloadFileList(tree.Refs()));
  EXPECT_FALSE(t.manager->IsDownloading());
  const std::string error = t.manager->LastRunError();
  EXPECT_NE(error.find(python.BaseUrl()), std::string::npos) << error;
  EXPECT_TRUE(error.find(kBig) != std::string::npos || error.find(kMid) != std::string::npos)
      << error;
  EXPECT_NE(error.find("whole file"), std::string::npos) << error;
  const auto notes = t.manager->LastRunNotes();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find(python.BaseUrl()), std::string::npos) << notes[0];
  // Files of one chunk are still whole-file requests it answers right.
  EXPECT_EQ(t.manager->DownloadFileToMemory("launcher.version", 36)->Size(), 36);
}

TEST_F(DownloadManagerTest, ServerIgnoringRangesBesideNginxIsGivenWholeFilesOnly) {
  testing::TPythonServer python(tree.Root());
  TNginxServer good(TServerMode::Good, tree.Root());
  TManagerUnderTest t(TUrlList{{python.BaseUrl(), good.BaseUrl()}}, down.Path());
  ASSERT_EQ(t.manager->WorkerServers().size(), 4u);
  auto chunksasked = [&] {
    int chunks = 0;
    for (const auto& path : python.Requests()) chunks += IsMultiChunkPath(tree, path);
    return chunks;
  };
  // A few runs; the first chunks queued are the three of kBig, so the
  // server ignoring ranges is given chunks in the first pass of each run.
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    t.Forget();
    std::filesystem::remove_all(down.Path());
    const int before = chunksasked();
    ASSERT_TRUE(t.manager->DownloadFileList(tree.Refs())) << t.manager->LastRunError();
    ExpectAllDelivered(t);  // byte for byte
    // Once found out, the server is asked for no more chunks in the run:
    // at most one per worker of it (those under way when the first failed).
    const int asked = chunksasked() - before;
    EXPECT_LE(asked, 2);
    const auto notes = t.manager->LastRunNotes();
    if (asked > 0) {
      ASSERT_EQ(notes.size(), 1u);
      EXPECT_NE(notes[0].find(python.BaseUrl()), std::string::npos) << notes[0];
    }
  }
  EXPECT_GT(chunksasked(), 0);
}

TEST_F(DownloadManagerTest, FileMissingOnEveryMirrorEndsTheRun) {
  ASSERT_TRUE(std::filesystem::remove(root.Path() + tree.RequestPath(kBig)));
  TNginxServer a(TServerMode::Good, tree.Root());
  TNginxServer b(TServerMode::Good, tree.Root());
  TManagerUnderTest t({&a, &b}, down.Path());
  EXPECT_FALSE(t.manager->DownloadFileList(tree.Refs()));
  EXPECT_FALSE(t.manager->IsDownloading());
  const std::string error = t.manager->LastRunError();
  EXPECT_NE(error.find(kBig), std::string::npos) << error;
  EXPECT_NE(error.find(a.BaseUrl()), std::string::npos) << error;
  EXPECT_NE(error.find(b.BaseUrl()), std::string::npos) << error;
  EXPECT_NE(error.find("404"), std::string::npos) << error;
  // Each server was asked a few times for that file, no more.
  for (TNginxServer* s : {&a, &b}) {
    int asked = 0;
    for (const auto& r : s->FileRequests()) asked += r.uri == tree.RequestPath(kBig);
    EXPECT_GE(asked, TDownloadManager::RefusalsPerServer);
    // Its three chunks, each refused at most that often by one server.
    EXPECT_LE(asked, 3 * TDownloadManager::RefusalsPerServer);
  }
  // The single-file fetch ends the same way; the next good run is clean.
  EXPECT_FALSE(t.manager->DownloadFile(kBig, tree.Entry(kBig).size, false));
  EXPECT_NE(t.manager->LastRunError().find(kBig), std::string::npos);
  t.Forget();
  ASSERT_TRUE(t.manager->DownloadFileList(tree.Refs({kSmall, kMid, kExact})));
  EXPECT_EQ(t.manager->LastRunError(), "");
}

TEST_F(DownloadManagerTest, EntryClaimingAHugeSizeEndsWithoutATaskPerChunk) {
  // 2^50 bytes: with one task per chunk made up front, about 2^29 tasks.
  TUpdateFile huge = tree.Entry(kBig);
  huge.size = int64_t{1} << 50;
  huge.chunksize = GetChunkSize(huge.size);
  huge.chunkcrc32.clear();
  const TUpdateFileRefs refs{{kBig, &huge}};
  TNginxServer a(TServerMode::Good, tree.Root());
  TManagerUnderTest t({&a}, down.Path());
  EXPECT_FALSE(t.manager->DownloadFileList(refs));
  const std::string error = t.manager->LastRunError();
  EXPECT_NE(error.find(kBig), std::string::npos) << error;
  EXPECT_LE(a.FileRequests().size(), 2u * 2 + TDownloadManager::RefusalsPerServer);
}

// The bytes the queues hold never pass their bound, whichever of count and
// bytes is reached first; an item larger than the bound still passes. The
// first delivery is held until the queues are as full as the bound lets
// them get, so memory-held files pile up behind it.
struct TQueueBoundCase {
  const char* label;
  int64_t bound;
  bool holdfirst;  // the first delivery waits until the queues are full
};

TEST_F(DownloadManagerTest, QueuedBytesStayWithinTheirBound) {
  TTempDir root2;
  std::vector<testing::TTreeFile> files;
  for (int i = 0; i < 24; ++i) {  // one chunk each: held in memory until delivered
    files.push_back({"\\one\\f" + std::to_string(i) + ".bin",
                     PatternBytes(400 * 1024 + 7 * static_cast<size_t>(i), 100 + i, false), false});
  }
  for (int i = 0; i < 4; ++i) {  // three chunks each: through the download folder
    files.push_back({"\\three\\g" + std::to_string(i) + ".bin",
                     PatternBytes(1300 * 1024, 200 + i, false), false});
  }
  const TServerTree many(root2.Path(), files);
  TNginxServer a(TServerMode::Good, many.Root());
  TNginxServer b(TServerMode::Good, many.Root());
  const int64_t chunk = 512 * 1024;
  const TQueueBoundCase cases[] = {
      {"bound of four chunks, delivery held", 4 * chunk, true},
      {"bound below one chunk, delivery held", 100 * 1024, true},
      {"bound of four chunks, free flow", 4 * chunk, false},
  };
  for (const TQueueBoundCase& c : cases) {
    SCOPED_TRACE(c.label);
    TTempDir folder;
    TDownloadTimings timings = FastTimings();
    timings.maxqueuedbytes = c.bound;
    TManagerUnderTest t({&a, &b}, folder.Path(), 2, "launcher.version", 36, timings);
    TDownloadManager& m = *t.manager;
    std::atomic<int> calls{0};
    std::atomic<bool> filled{false};
    std::mutex mutex;
    std::map<std::string, TBytesV> got;
    m.SetFileDownloadedEvent([&](const std::string& key, TFileDownload& tdf) {
      if (calls++ == 0 && c.holdfirst) {
        // Until one more chunk would not fit (a safety limit only).
        const auto limit = std::chrono::steady_clock::now() + 60s;
        while (m.QueuedBytes() + chunk <= std::max(c.bound, chunk) &&
               std::chrono::steady_clock::now() < limit) {
          std::this_thread::sleep_for(1ms);
        }
        filled = m.QueuedBytes() + chunk > std::max(c.bound, chunk);
      }
      TBytesV bytes;
      if (tdf.stream) {
        TMemoryStream copy;
        copy.CopyFrom(*tdf.stream);
        bytes = copy.TakeBytes();
      } else {
        bytes = testing::ReadFileBytes(
            platform::ToSystemPath(m.LocalTransferFile(key, tdf.compressed)));
      }
      std::lock_guard<std::mutex> hold(mutex);
      got[key] = std::move(bytes);
    });
    ASSERT_TRUE(m.DownloadFileList(many.Refs())) << m.LastRunError();
    EXPECT_EQ(got.size(), files.size());
    for (const auto& f : files) EXPECT_TRUE(got[f.key] == many.TransferForm(f.key)) << f.key;
    // A single item (a chunk at most) may pass a bound smaller than itself,
    // alone.
    EXPECT_LE(m.PeakQueuedBytes(), std::max(c.bound, chunk));
    EXPECT_GT(m.PeakQueuedBytes(), 0);
    if (c.holdfirst) {
      EXPECT_TRUE(filled.load());
    }
    EXPECT_EQ(m.QueuedBytes(), 0);
  }
}

TEST_F(DownloadManagerTest, EveryMirrorStoppedEndsTheRunAfterTheSilenceBound) {
  std::vector<testing::TTreeFile> files;
  for (int i = 0; i < 2; ++i) {
    files.push_back({"\\big\\f" + std::to_string(i), PatternBytes(4 << 20, 60 + i, false), false});
  }
  TTempDir root2;
  TServerTree big(root2.Path(), files);
  TServerOptions options;
  options.limitrate = 512 * 1024;
  TNginxServer a(TServerMode::Slow, big.Root(), options);
  TNginxServer b(TServerMode::Slow, big.Root(), options);
  TDownloadTimings timings = FastTimings();
  timings.silencelimit = 1500ms;
  TManagerUnderTest t({&a, &b}, down.Path(), 2, "launcher.version", 36, timings);
  std::atomic<bool> finished{false};
  bool result = true;
  std::thread run([&] {
    result = t.manager->DownloadFileList(big.Refs());
    finished.store(true);
  });
  // Stop both mirrors once a chunk is in the download folder.
  const std::string local = down.Path() + "/big/f0";
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!finished.load() && std::chrono::steady_clock::now() < deadline &&
         !std::filesystem::exists(local)) {
    std::this_thread::sleep_for(5ms);
  }
  a.Stop();
  b.Stop();
  run.join();
  EXPECT_FALSE(result);
  const std::string error = t.manager->LastRunError();
  EXPECT_EQ(error.rfind("No data arrived from any download server", 0), 0u) << error;
  // What was stored stays for the next run: at least one chunk of f0 is
  // there and intact.
  const TBytesV stored = testing::ReadFileBytes(local);
  const TBytesV& form = big.TransferForm("\\big\\f0");
  int intact = 0;
  for (size_t first = 0; first + 524288 <= stored.size(); first += 524288) {
    intact += std::equal(form.begin() + first, form.begin() + first + 524288, stored.begin() + first);
  }
  EXPECT_GT(intact, 0);
}

// The terminated run parks its caller for good, so the scenario runs in a
// child process, which ends with _exit and reports through its exit code.
int TerminationScenario(const TNginxServer& slow, const TUpdateFileRefs& refs,
                        const std::string& folder) {
  // Never destroyed: a parked caller keeps using it.
  auto* manager = new TDownloadManager({slow.BaseUrl()}, 2, 2000, folder, "launcher.version", 36,
                                       FastTimings());
  std::atomic<int64_t> received{0};
  manager->SetStatusUpdateEvent([&](int64_t a, int64_t, int64_t, bool, bool isfilesize) {
    if (isfilesize) received.store(a);
  });
  std::atomic<bool> returned{false};
  std::thread([&] {
    manager->DownloadFileList(refs);
    returned.store(true);
  }).detach();
  auto wait = [](auto pred) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!pred() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return pred();
  };
  auto stored = [&] {
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder, ec)) {
      if (e.is_regular_file()) return true;
    }
    return false;
  };
  if (!wait([&] { return received.load() > 0 && stored(); })) return 10;
  if (returned.load()) return 11;
  if (!manager->IsDownloading()) return 12;
  manager->TerminateDownload();
  if (!wait([&] { return !manager->IsDownloading(); })) return 13;
  manager->UnsetStatusUpdateEvent();
  // Nothing is written any more once the run has stopped.
  auto snapshot = [&] {
    std::map<std::string, TBytesV> found;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
      if (e.is_regular_file()) found[e.path().string()] = testing::ReadFileBytes(e.path().string());
    }
    return found;
  };
  const auto before = snapshot();
  if (before.empty()) return 14;  // chunks had been stored
  std::this_thread::sleep_for(300ms);
  if (snapshot() != before) return 15;
  if (returned.load()) return 16;
  if (manager->IsDownloading()) return 17;
  return 0;
}

TEST_F(DownloadManagerTest, TerminateDownloadParksTheCaller) {
  std::vector<testing::TTreeFile> files;
  for (int i = 0; i < 4; ++i) {
    files.push_back({"\\big\\f" + std::to_string(i), PatternBytes(4 << 20, 40 + i, false), false});
  }
  TTempDir root2;
  TServerTree big(root2.Path(), files);
  TServerOptions options;
  // nginx lets the first second's worth through at once, then limits: each
  // chunk takes about a second, the run a quarter of a minute.
  options.limitrate = 256 * 1024;
  TNginxServer slow(TServerMode::Slow, big.Root(), options);
  const TUpdateFileRefs refs = big.Refs();
  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(TerminationScenario(slow, refs, down.Path()));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace vantrel
