#include "download/download_thread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/nginx_fixture.h"
#include "support/server_tree.h"
#include "support/temp_dir.h"
#include "versions/update_utils.h"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::TNginxServer;
using testing::TServerMode;

TEST(TaskUrl, FollowsTheServerNamingRules) {
  const std::string B = "http://h/kestrune/";
  struct Case {
    const char* label;
    TDownloadTask task;
    const char* url;
    const char* range;
  } cases[] = {
      {"per-file layout, # replaced",
       {"\\bin32\\a#b.dll", 0, 524287, 0, 0, false, -1},
       "http://h/kestrune//bin32/a11223344556677889900b.dll.u",
       "bytes=0-524287"},
      {"folder-split shifts the range",
       {"\\bin32\\a.dll", 0, 524287, 0, 0, false, 1000},
       "http://h/kestrune//bin32.u",
       "bytes=1000-525287"},
      {"folder-split top-level file",
       {"\\a.dll", 0, 99, 0, 0, false, 0},
       "http://h/kestrune/.u",
       "bytes=0-99"},
      {"folder-split folder with #",
       {"\\da#ta\\x.bin", 10, 19, 0, 0, false, 5},
       "http://h/kestrune//da11223344556677889900ta.u",
       "bytes=15-24"},
      {"memory task keeps its name",
       {"launcher.version", 0, -1, 36, 0, true, -1},
       "http://h/kestrune/launcher.version",
       "bytes=0-"},
      {"memory task, # kept",
       {"a#b.txt", 0, 23, 0, 0, true, -1},
       "http://h/kestrune/a#b.txt",
       "bytes=0-23"},
      {"no start", {"x", -1, 99, 0, 0, true, -1}, "http://h/kestrune/x", "bytes=-99"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(TaskUrl(B, c.task), c.url);
    EXPECT_EQ(TaskRangeValue(c.task), c.range);
  }
}

std::unique_ptr<TDownloadTask> Copy(const TDownloadTask& t) {
  return std::make_unique<TDownloadTask>(t.filename, t.rangefirst, t.rangelast, t.size, t.checksum,
                                         t.ismemory, t.posinfile);
}

// Waits until the worker reports ready (a generous deadline, never a
// timing assertion).
void WaitReady(TDownloadThread& w) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!w.IsReady() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(w.IsReady());
}

class DownloadThreadTest : public ::testing::Test {
 protected:
  DownloadThreadTest()
      : content(testing::PatternBytes(600 * 1024, 7, false)),
        tree(root.Path(), {{"\\bin32\\a.dll", content, false}}) {}

  testing::TTempDir root;
  std::vector<uint8_t> content;
  testing::TServerTree tree;
};

TEST_F(DownloadThreadTest, AnswerChecks) {
  TNginxServer good(TServerMode::Good, tree.Root());
  TNginxServer error500(TServerMode::Error500, tree.Root());
  TNginxServer dead(TServerMode::Dead, tree.Root());
  const uint32_t crc0 = tree.Entry("\\bin32\\a.dll").chunkcrc32[0];
  struct Case {
    const char* label;
    TNginxServer* server;
    TDownloadTask task;
    bool ok;
    int64_t length;
  } cases[] = {
      {"chunk with its CRC",
       &good,
       {"\\bin32\\a.dll", 0, 524287, 0, crc0, false, -1},
       true,
       524288},
      {"chunk with a wrong CRC",
       &good,
       {"\\bin32\\a.dll", 0, 524287, 0, crc0 ^ 1, false, -1},
       false,
       0},
      {"chunk without CRC",
       &good,
       {"\\bin32\\a.dll", 524288, 614399, 0, 0, false, -1},
       true,
       90112},
      {"range past the end is short",
       &good,
       {"\\bin32\\a.dll", 524288, 700000, 0, 0, false, -1},
       false,
       0},
      {"probe of the right size", &good, {"launcher.version", 0, -1, 36, 0, true, -1}, true, 36},
      {"probe expecting 35", &good, {"launcher.version", 0, -1, 35, 0, true, -1}, false, 0},
      {"probe expecting 37", &good, {"launcher.version", 0, -1, 37, 0, true, -1}, false, 0},
      {"no start: no length rule", &good, {"launcher.version", -1, 34, 0, 0, true, -1}, true, 34},
      {"404", &good, {"\\bin32\\missing.dll", 0, 9, 0, 0, false, -1}, false, 0},
      {"500", &error500, {"\\bin32\\a.dll", 0, 9, 0, 0, false, -1}, false, 0},
      {"nothing listening", &dead, {"launcher.version", 0, -1, 36, 0, true, -1}, false, 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.label);
    TDownloadThread w(c.server->BaseUrl(), 2000, nullptr);
    ASSERT_TRUE(w.IsReady());
    EXPECT_EQ(w.GetTask(), nullptr);
    w.SetTask(Copy(c.task));
    WaitReady(w);
    EXPECT_EQ(w.IsFailed(), !c.ok);
    auto t = w.GetTask();
    ASSERT_NE(t, nullptr);
    if (c.ok) {
      ASSERT_NE(t->data, nullptr);
      EXPECT_EQ(t->data->Size(), c.length);
      if (!t->ismemory) {
        const std::vector<uint8_t> want(content.begin() + c.task.rangefirst,
                                        content.begin() + c.task.rangefirst + c.length);
        EXPECT_EQ(t->data->Bytes(), want);
      }
    } else {
      EXPECT_EQ(t->data, nullptr);  // a failed task holds no data
    }
  }
  // The requests carry the range values, and 206 answers were accepted.
  const auto log = good.Requests();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[0].uri, "/kestrune//bin32/a.dll.u");
  EXPECT_EQ(log[0].range, "bytes=0-524287");
  EXPECT_EQ(log[0].status, 206);
  EXPECT_EQ(log[4].uri, "/kestrune/launcher.version");
  EXPECT_EQ(log[4].range, "bytes=0-");
  EXPECT_EQ(log[7].range, "bytes=-34");
}

TEST_F(DownloadThreadTest, FailedAttemptsBytesAreTakenBack) {
  testing::TServerOptions slow;
  slow.limitrate = 200 * 1024;
  TNginxServer server(TServerMode::Slow, tree.Root(), slow);
  TDownloadThread w(server.BaseUrl(), 2000, nullptr);
  const uint32_t crc0 = tree.Entry("\\bin32\\a.dll").chunkcrc32[0];
  w.SetTask(std::make_unique<TDownloadTask>("\\bin32\\a.dll", 0, 524287, 0, crc0 ^ 1, false, -1));
  int64_t sum = 0;
  int64_t positive = 0;
  while (!w.IsReady()) {
    const int64_t d = w.GetDownloadDiff();
    sum += d;
    if (d > 0) positive += d;
    std::this_thread::sleep_for(5ms);
  }
  const int64_t last = w.GetDownloadDiff();
  sum += last;
  EXPECT_TRUE(w.IsFailed());
  EXPECT_GT(positive, 0);
  EXPECT_LT(last, 0);
  EXPECT_EQ(sum, 0);
  // A new task counts from 0 again.
  w.GetTask();
  w.SetTask(std::make_unique<TDownloadTask>("launcher.version", 0, -1, 36, 0, true, -1));
  WaitReady(w);
  EXPECT_FALSE(w.IsFailed());
  EXPECT_EQ(w.GetDownloadDiff(), 36);
}

TEST_F(DownloadThreadTest, ResponseTimeOutIsSilenceNotTransferTime) {
  // A slow answer that keeps bringing data succeeds although it takes far
  // longer than three time-outs.
  testing::TServerOptions slow;
  slow.limitrate = 64 * 1024;
  TNginxServer server(TServerMode::Slow, tree.Root(), slow);
  // 256 KiB at 64 KiB/s: about three seconds, two and a half times the
  // silence limit of 3 x 400 ms.
  TDownloadThread w(server.BaseUrl(), 400, nullptr);
  w.SetTask(std::make_unique<TDownloadTask>("\\bin32\\a.dll", 0, 262143, 0, 0, false, -1));
  WaitReady(w);
  EXPECT_FALSE(w.IsFailed());

  // A server that takes the connection but never answers fails the task.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 8), 0);
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  TDownloadThread mute("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/", 100,
                       nullptr);
  mute.SetTask(std::make_unique<TDownloadTask>("launcher.version", 0, -1, 36, 0, true, -1));
  WaitReady(mute);
  EXPECT_TRUE(mute.IsFailed());
  ::close(fd);
}

TEST_F(DownloadThreadTest, PausesAfterFailureThenTurnsReadyWithoutTask) {
  TNginxServer server(TServerMode::Good, tree.Root());
  TWakeup wake;
  TDownloadThread w(server.BaseUrl(), 2000, &wake, 50ms);
  w.SetTask(std::make_unique<TDownloadTask>("\\nothing", 0, 9, 0, 0, false, -1));
  WaitReady(w);
  ASSERT_TRUE(w.IsFailed());
  auto t = w.GetTask();
  w.UnsetFailed();
  EXPECT_FALSE(w.IsReady());
  EXPECT_FALSE(w.IsFailed());
  WaitReady(w);
  EXPECT_EQ(w.GetTask(), nullptr);
  EXPECT_FALSE(w.IsFinished());
  w.SetTerminate();
  EXPECT_TRUE(w.IsFinished());
}

}  // namespace
}  // namespace vantrel
