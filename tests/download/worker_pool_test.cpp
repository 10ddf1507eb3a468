#include "download/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "download/download_manager.h"
#include "support/nginx_fixture.h"
#include "support/server_tree.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using testing::TNginxServer;
using testing::TServerMode;
using TNames = std::vector<std::string>;

// Places server after server; each server's probe worker is "<S>1", the
// others "<S>2", "<S>3"... in creation order.
TNames Place(int32_t m, const std::vector<std::pair<char, bool>>& servers) {
  TNames list;
  for (const auto& [name, interleave] : servers) {
    int created = 1;
    const std::function<std::string()> make = [&] {
      return std::string(1, name) + std::to_string(++created);
    };
    PlaceServerWorkers<std::string>(list, std::string(1, name) + "1", make, m, interleave);
  }
  return list;
}

TEST(PlaceServerWorkers, OrdersOfThePool) {
  struct Case {
    const char* label;
    int32_t m;
    std::vector<std::pair<char, bool>> servers;  // server, passed within the window
    TNames want;
  } cases[] = {
      {"m=2 first server", 2, {{'P', false}}, {"P1", "P2"}},
      {"m=2 second within the window", 2, {{'A', false}, {'B', true}}, {"A1", "B2", "A2", "B1"}},
      {"m=2 third three seconds later is appended",
       2,
       {{'A', false}, {'B', true}, {'C', false}},
       {"A1", "B2", "A2", "B1", "C1", "C2"}},
      {"m=2 three within the window",
       2,
       {{'A', false}, {'B', true}, {'C', true}},
       {"A1", "B2", "C2", "A2", "B1", "C1"}},
      {"m=3 second within the window",
       3,
       {{'A', false}, {'B', true}},
       {"A1", "B3", "A2", "B2", "A3", "B1"}},
      {"m=1 within the window goes to the end",
       1,
       {{'A', false}, {'B', true}, {'C', true}},
       {"A1", "B1", "C1"}},
      {"m=1 late", 1, {{'A', false}, {'B', false}}, {"A1", "B1"}},
      {"m=3 late", 3, {{'A', false}, {'B', false}}, {"A1", "A2", "A3", "B1", "B2", "B3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Place(c.m, c.servers), c.want);
  }
}

class ProbeTest : public ::testing::Test {
 protected:
  ProbeTest() : tree(root.Path(), {{"\\a.bin", testing::PatternBytes(100, 1, false), false}}) {}
  std::unique_ptr<TDownloadManager> Manager(const std::vector<TNginxServer*>& servers, int32_t m,
                                            TDownloadTimings timings = {}) {
    std::vector<std::string> urls;
    for (auto* s : servers) urls.push_back(s->BaseUrl());
    return std::make_unique<TDownloadManager>(urls, m, 2000, folder.Path(), "launcher.version", 36,
                                              timings);
  }
  testing::TTempDir root;
  testing::TTempDir folder;
  testing::TServerTree tree;
};

TEST_F(ProbeTest, ServersWithinTheWindowShareTheFrontInTurns) {
  TNginxServer a(TServerMode::Good, tree.Root());
  TNginxServer b(TServerMode::Good, tree.Root());
  TDownloadTimings wide;
  wide.probewindow = std::chrono::milliseconds(60000);  // a loaded machine stays inside it
  auto manager = Manager({&a, &b}, 2, wide);
  const TNames servers = manager->WorkerServers();
  ASSERT_EQ(servers.size(), 4u);
  EXPECT_NE(servers[0], servers[1]);
  EXPECT_EQ(servers[0], servers[2]);
  EXPECT_EQ(servers[1], servers[3]);
}

TEST_F(ProbeTest, LateServersAreAppended) {
  TNginxServer a(TServerMode::Good, tree.Root());
  TNginxServer b(TServerMode::Good, tree.Root());
  TNginxServer c(TServerMode::Good, tree.Root());
  // Every reading of the clock is three seconds after the previous one.
  auto ticks = std::make_shared<std::atomic<int64_t>>(0);
  TDownloadTimings late;
  late.clock = [ticks] { return ticks->fetch_add(3000); };
  auto manager = Manager({&a, &b, &c}, 2, late);
  const TNames servers = manager->WorkerServers();
  ASSERT_EQ(servers.size(), 6u);
  for (size_t i = 0; i < 6; i += 2) EXPECT_EQ(servers[i], servers[i + 1]);
  EXPECT_NE(servers[0], servers[2]);
  EXPECT_NE(servers[2], servers[4]);
  EXPECT_NE(servers[0], servers[4]);
}

TEST_F(ProbeTest, FailingServersAreDroppedAfterTwoProbes) {
  TNginxServer good(TServerMode::Good, tree.Root());
  testing::TServerOptions small;
  small.probesize = 35;
  TNginxServer shortprobe(TServerMode::WrongProbe, tree.Root(), small);
  testing::TServerOptions failing;
  failing.probefails = true;
  TNginxServer missing(TServerMode::Missing, tree.Root(), failing);
  TNginxServer error500(TServerMode::Error500, tree.Root(), failing);
  TNginxServer dead(TServerMode::Dead, tree.Root());
  auto manager = Manager({&good, &shortprobe, &missing, &error500, &dead}, 2);
  EXPECT_EQ(manager->WorkerServers(), (TNames{good.BaseUrl(), good.BaseUrl()}));
  for (TNginxServer* s : {&shortprobe, &missing, &error500}) {
    SCOPED_TRACE(testing::ModeName(s->Mode()));
    const auto log = s->Requests();
    ASSERT_EQ(log.size(), 2u);
    for (const auto& r : log) {
      EXPECT_EQ(r.uri, "/kestrune/launcher.version");
      EXPECT_EQ(r.range, "bytes=0-");
    }
  }
  const auto log = good.Requests();
  ASSERT_EQ(log.size(), 1u);
}

TEST_F(ProbeTest, NoServerLeftGivesAnEmptyPool) {
  TNginxServer dead(TServerMode::Dead, tree.Root());
  auto manager = Manager({&dead}, 2);
  EXPECT_TRUE(manager->WorkerServers().empty());
  EXPECT_EQ(manager->DownloadFileToMemory("launcher.version", 36)->Size(), 0);
  EXPECT_FALSE(manager->DownloadFileList(tree.Refs()));
  EXPECT_FALSE(manager->IsDownloading());
}

}  // namespace
}  // namespace vantrel
