// The launcher binary when a download run can never progress: a transfer
// file that every mirror lacks ends the headless check with status 1 and a
// log line naming the file, instead of asking the mirrors for ever.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "support/nginx_fixture.h"
#include "support/publish_tree.h"
#include "support/server_tree.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::TNginxServer;
using testing::TServerMode;
using testing::TServerOptions;

std::vector<int> Ports() {
  std::vector<int> ports;
  std::stringstream in(VANTREL_E2E_PORTS);
  for (std::string p; std::getline(in, p, ',');) ports.push_back(std::stoi(p));
  return ports;
}

TEST(DownloadStallE2E, FileMissingOnEveryMirrorEndsTheCheckWithItsReason) {
  const std::vector<int> ports = Ports();
  ASSERT_EQ(ports.size(), 4u);
  testing::TTempDir root, game;
  // A client of a few files, one of them of three chunks.
  testing::TClientFiles files;
  files["bin32/Myrefall.exe"] = testing::PatternBytes(70000, 1, false);
  files["game/data/world.dat"] = testing::PatternBytes(1300000, 2, false);
  files["readme.txt"] = {'r', 'e', 'a', 'd'};
  testing::WriteClientFolder(root.File("client"), files);
  publish::TPublishOptions o;
  o.clientdir = root.File("client");
  o.launcherfile = VANTREL_E2E_LAUNCHER;
  o.launchername = "Launcher.exe";
  o.outdir = root.File("srv/kestrune");
  o.updateversion = 1;
  testing::PublishTree(o);
  // Deleted from the tree both mirrors serve (a copy to the mirrors that
  // never finished); the other two configured ports stay dead.
  ASSERT_TRUE(fs::remove(root.File("srv/kestrune/game/data/world.dat.u")));
  std::vector<std::unique_ptr<TNginxServer>> servers;
  for (int i = 0; i < 2; ++i) {
    TServerOptions options;
    options.port = ports[i];
    servers.push_back(std::make_unique<TNginxServer>(TServerMode::Good, root.File("srv"), options));
  }
  const std::string launcher = game.Path() + "/Launcher.exe";
  fs::copy_file(VANTREL_E2E_LAUNCHER, launcher);
  ::chmod(launcher.c_str(), 0755);

  std::string output;
  const int code = testing::RunProgram(launcher, {"--headless", "-debug", "check"}, &output);
  EXPECT_EQ(code, 1) << output;
  const std::string log = testing::ReadFileText(game.Path() + "/Launcher.log");
  const size_t failed = log.find("Failed to download files");
  ASSERT_NE(failed, std::string::npos) << log;
  // The next line says why, naming the file and both mirrors.
  const size_t next = log.find('\n', failed);
  ASSERT_NE(next, std::string::npos);
  const std::string reason = log.substr(next + 1, log.find('\n', next + 1) - next - 1);
  EXPECT_NE(reason.find("No download server can serve \\game\\data\\world.dat"), std::string::npos)
      << reason;
  for (const auto& s : servers) EXPECT_NE(reason.find(s->BaseUrl()), std::string::npos) << reason;
  // Each mirror was asked for that file a few times, not for ever.
  for (const auto& s : servers) {
    int asked = 0;
    for (const auto& r : s->FileRequests()) asked += r.uri == "/kestrune//game/data/world.dat.u";
    EXPECT_GE(asked, 1);
    EXPECT_LE(asked, 9);  // three chunks, three refusals each at most
  }
}

}  // namespace
}  // namespace vantrel
