#include "download/download_thread.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "download/odd_servers.h"
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
      {"memory task, # sent percent-encoded",
       {"a#b.txt", 0, 23, 0, 0, true, -1},
       "http://h/kestrune/a%23b.txt",
       "bytes=0-23"},
      {"every segment percent-encoded, / kept",
       {"\\d ir\\a b%c?d+e#f\xC3\xA9\xE6\x97\xA5.dll", 0, 9, 0, 0, false, -1},
       "http://h/kestrune//d%20ir/a%20b%25c%3Fd%2Be11223344556677889900f%C3%A9%E6%97%A5.dll.u",
       "bytes=0-9"},
      {"folder-split folder percent-encoded",
       {"\\my data\\x.bin", 0, 9, 0, 0, false, 0},
       "http://h/kestrune//my%20data.u",
       "bytes=0-9"},
      {"unreserved characters stay",
       {"\\A-z_0.9~\\f", 0, 9, 0, 0, false, -1},
       "http://h/kestrune//A-z_0.9~/f.u",
       "bytes=0-9"},
      {"no start", {"x", -1, 99, 0, 0, true, -1}, "http://h/kestrune/x", "bytes=-99"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(TaskUrl(B, c.task), c.url);
    EXPECT_EQ(TaskRangeValue(c.task), c.range);
  }
}

TEST(EncodeUrlPath, EncodesEveryByteButUnreservedAndSlash) {
  EXPECT_EQ(EncodeUrlPath("/a/b c/%/?/#/+/&=;:@!$'()*,[]"),
            "/a/b%20c/%25/%3F/%23/%2B/%26%3D%3B%3A%40%21%24%27%28%29%2A%2C%5B%5D");
  EXPECT_EQ(EncodeUrlPath(std::string("\x00\x7F\xFF", 3)), "%00%7F%FF");
  EXPECT_EQ(EncodeUrlPath(""), "");
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
  testing::TServerOptions ignoreranges;
  ignoreranges.ignoreranges = true;
  TNginxServer whole(TServerMode::Good, tree.Root(), ignoreranges);
  const uint32_t crc0 = tree.Entry("\\bin32\\a.dll").chunkcrc32[0];
  struct Case {
    const char* label;
    TNginxServer* server;
    TDownloadTask task;
    TTaskOutcome outcome;
    int64_t length;
  } cases[] = {
      {"chunk with its CRC",
       &good,
       {"\\bin32\\a.dll", 0, 524287, 0, crc0, false, -1},
       TTaskOutcome::Done,
       524288},
      {"chunk with a wrong CRC",
       &good,
       {"\\bin32\\a.dll", 0, 524287, 0, crc0 ^ 1, false, -1},
       TTaskOutcome::Refused,
       0},
      {"chunk without CRC",
       &good,
       {"\\bin32\\a.dll", 524288, 614399, 0, 0, false, -1},
       TTaskOutcome::Done,
       90112},
      {"range past the end is short",
       &good,
       {"\\bin32\\a.dll", 524288, 700000, 0, 0, false, -1},
       TTaskOutcome::Refused,
       0},
      {"probe of the right size",
       &good,
       {"launcher.version", 0, -1, 36, 0, true, -1},
       TTaskOutcome::Done,
       36},
      {"probe expecting 35",
       &good,
       {"launcher.version", 0, -1, 35, 0, true, -1},
       TTaskOutcome::Refused,
       0},
      {"probe expecting 37",
       &good,
       {"launcher.version", 0, -1, 37, 0, true, -1},
       TTaskOutcome::Refused,
       0},
      {"no start: no length rule",
       &good,
       {"launcher.version", -1, 34, 0, 0, true, -1},
       TTaskOutcome::Done,
       34},
      {"404", &good, {"\\bin32\\missing.dll", 0, 9, 0, 0, false, -1}, TTaskOutcome::Refused, 0},
      {"range beyond the file: 416",
       &good,
       {"\\bin32\\a.dll", 700000, 700009, 0, 0, false, -1},
       TTaskOutcome::Refused,
       0},
      {"500 with a body longer than the range",
       &error500,
       {"\\bin32\\a.dll", 0, 9, 0, 0, false, -1},
       TTaskOutcome::Transient,
       0},
      {"nothing listening",
       &dead,
       {"launcher.version", 0, -1, 36, 0, true, -1},
       TTaskOutcome::Transient,
       0},
      {"whole file for a ranged chunk",
       &whole,
       {"\\bin32\\a.dll", 0, 524287, 0, crc0, false, -1},
       TTaskOutcome::WholeBody,
       0},
      {"whole file asked for as a whole",
       &whole,
       {"\\bin32\\a.dll", 0, 614399, 0, 0, false, -1},
       TTaskOutcome::Done,
       614400},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.label);
    TDownloadThread w(c.server->BaseUrl(), 2000, nullptr);
    ASSERT_TRUE(w.IsReady());
    EXPECT_EQ(w.GetTask(), nullptr);
    w.SetTask(Copy(c.task));
    WaitReady(w);
    const bool ok = c.outcome == TTaskOutcome::Done;
    EXPECT_EQ(w.IsFailed(), !ok);
    EXPECT_EQ(w.Outcome(), c.outcome);
    EXPECT_EQ(w.FailureText().empty(), ok) << w.FailureText();
    auto t = w.GetTask();
    ASSERT_NE(t, nullptr);
    if (ok) {
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
  // The bytes taken back may be seen before or after the worker turns
  // ready: what counts is that the diffs add up to nothing.
  int64_t positive = 0;
  int64_t negative = 0;
  auto take = [&] {
    const int64_t d = w.GetDownloadDiff();
    (d > 0 ? positive : negative) += d;
  };
  while (!w.IsReady()) {
    take();
    std::this_thread::sleep_for(5ms);
  }
  take();
  EXPECT_TRUE(w.IsFailed());
  EXPECT_GT(positive, 0);
  EXPECT_EQ(negative, -positive);
  EXPECT_EQ(w.GetDownloadDiff(), 0);
  // A new task counts from 0 again.
  w.GetTask();
  w.SetTask(std::make_unique<TDownloadTask>("launcher.version", 0, -1, 36, 0, true, -1));
  WaitReady(w);
  EXPECT_FALSE(w.IsFailed());
  EXPECT_EQ(w.GetDownloadDiff(), 36);
}

TEST(DownloadThreadLimits, SlowAnswerThatKeepsComingIsNotSilence) {
  // One byte every 50 ms for 40 bytes: two seconds in all, well past the
  // silence limit of 3 x 250 ms, never silent for more than a small part of
  // it. The speed floor is off here.
  testing::TTrickleServer server(40, 50ms);
  TDownloadTimings timings;
  timings.lowspeedlimit = 0;
  TDownloadThread w(server.BaseUrl(), 250, nullptr, timings);
  w.SetTask(std::make_unique<TDownloadTask>("f", 0, 39, 0, 0, true, -1));
  WaitReady(w);
  EXPECT_FALSE(w.IsFailed()) << w.FailureText();
  // The server counts an answer once its last send returned, which may be
  // after the worker has read that byte: give its thread a moment.
  for (int i = 0; i < 500 && server.Completed() < 1; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(server.Completed(), 1);

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
  EXPECT_EQ(mute.Outcome(), TTaskOutcome::Transient);
  ::close(fd);
}

TEST(DownloadThreadLimits, TrickleBelowTheSpeedFloorIsGivenUp) {
  // One byte every 400 ms of 300: two minutes to the end, and never silent
  // long enough for the silence limit (3 x 2 s). The floor of 100 bytes per
  // second held for one second gives it up; the request counts as
  // transient, so another worker takes the chunk.
  testing::TTrickleServer server(300, 400ms);
  TDownloadTimings timings;
  timings.lowspeedlimit = 100;
  timings.lowspeedtime = 1s;
  TDownloadThread w(server.BaseUrl(), 2000, nullptr, timings);
  w.SetTask(std::make_unique<TDownloadTask>("\\slow.bin", 0, 299, 0, 0, false, -1));
  WaitReady(w);
  EXPECT_TRUE(w.IsFailed());
  EXPECT_EQ(w.Outcome(), TTaskOutcome::Transient);
  EXPECT_EQ(server.Completed(), 0);
}

TEST(DownloadThreadLimits, OnlyHttpAndHttpsAreSpoken) {
  // A base URL of another scheme is refused before anything is read, even
  // where the file exists (without the restriction libcurl reads the file
  // and the task fails only on its missing HTTP status).
  testing::TTempDir dir;
  testing::WriteFileText(dir.File("launcher.version"), std::string(36, 'v'));
  TDownloadThread w("file://" + dir.Path() + "/", 2000, nullptr);
  w.SetTask(std::make_unique<TDownloadTask>("launcher.version", 0, -1, 36, 0, true, -1));
  WaitReady(w);
  EXPECT_TRUE(w.IsFailed());
  EXPECT_EQ(w.Outcome(), TTaskOutcome::Transient);
  // libcurl's text, then its detail.
  EXPECT_EQ(w.FailureText().rfind(curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL), 0), 0u)
      << w.FailureText();
}

TEST_F(DownloadThreadTest, PausesAfterFailureThenTurnsReadyWithoutTask) {
  TNginxServer server(TServerMode::Good, tree.Root());
  TWakeup wake;
  TDownloadTimings timings;
  timings.failurepause = 50ms;
  TDownloadThread w(server.BaseUrl(), 2000, &wake, timings);
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
