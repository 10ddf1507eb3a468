// The launcher binary end to end: installs, updates, repairs, replaces
// itself and starts the game, against nginx servers on the ports its
// configuration names.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "pack/pack_dir_record.h"
#include "platform/files.h"
#include "platform/locale.h"
#include "platform/process.h"
#include "support/nginx_fixture.h"
#include "support/publish_tree.h"
#include "support/temp_dir.h"
#include "versions/update_list.h"
#include "versions/update_utils.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::TClientFiles;
using testing::TNginxServer;
using testing::TServerMode;
using testing::TServerOptions;
using testing::TTempDir;

std::vector<int> Ports() {
  std::vector<int> ports;
  std::stringstream in(VANTREL_E2E_PORTS);
  for (std::string p; std::getline(in, p, ',');) ports.push_back(std::stoi(p));
  return ports;
}

TBytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  TBytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

TBytes Text(const std::string& s) { return TBytes(s.begin(), s.end()); }

// A small client with a bin32 folder, nested folders and both kinds of data.
TClientFiles BuildOne() {
  TClientFiles f;
  f["bin32/Myrefall.exe"] = RandomBytes(700000, 1);
  f["bin32/core.dll"] = RandomBytes(40000, 2);
  f["bin32/sub/plugin.dll"] = Text("plugin v1");
  f["game/data/world.dat"] = RandomBytes(1300000, 3);
  f["game/data/text/en.txt"] = Text(std::string(200000, 'e'));
  f["game/db/items.db"] = Text("items v1");
  f["readme.txt"] = Text("Myrefall build 1");
  f["empty.cfg"] = {};
  return f;
}

struct TRun {
  int code = -1;
  std::string output;
};

class LauncherE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ports_ = Ports();
    ASSERT_EQ(ports_.size(), 4u);
    serverroot_ = root_.File("srv");
    fs::create_directories(serverroot_ + "/kestrune");
    gamefolder_ = game_.Path();
    launcher_ = gamefolder_ + "/Launcher.exe";
    fs::copy_file(VANTREL_E2E_LAUNCHER, launcher_);
    ::chmod(launcher_.c_str(), 0755);
  }

  // Starts one server per mode on the configured ports; Dead leaves its
  // port without a listener.
  void Serve(const std::vector<TServerMode>& modes) {
    servers_.clear();
    for (size_t i = 0; i < modes.size() && i < ports_.size(); ++i) {
      if (modes[i] == TServerMode::Dead) continue;
      TServerOptions o;
      o.port = ports_[i];
      o.limitrate = limitrate_;
      servers_.push_back(std::make_unique<TNginxServer>(modes[i], serverroot_, o));
    }
  }

  void Publish(const TClientFiles& files, int32_t version, const std::string& launcherfile = "") {
    const std::string client = root_.File("client" + std::to_string(version));
    fs::remove_all(client);
    testing::WriteClientFolder(client, files);
    publish::TPublishOptions o;
    o.clientdir = client;
    o.launcherfile = launcherfile.empty() ? std::string(VANTREL_E2E_LAUNCHER) : launcherfile;
    o.launchername = "Launcher.exe";
    o.outdir = serverroot_ + "/kestrune";
    o.updateversion = version;
    testing::PublishTree(o);
  }

  TRun Launch(const std::vector<std::string>& args) {
    TRun r;
    r.code = testing::RunProgram(launcher_, args, &r.output);
    return r;
  }

  // Everything the pack holds, checked against the published list.
  void ExpectClientIs(const TClientFiles& files, int32_t version) {
    TUpdateList installed;
    ASSERT_TRUE(installed.LoadFromFile(gamefolder_ + "\\client.version"));
    EXPECT_EQ(installed.updateversion, version);
    EXPECT_EQ(testing::ReadFileBytes(gamefolder_ + "/client.version"),
              testing::ReadFileBytes(serverroot_ + "/kestrune/client.version"));
    TPackDirRecord pack;
    ASSERT_TRUE(pack.MountReadOnly(gamefolder_ + "\\game_pak"));
    std::vector<std::string> listed = pack.GetFileList();
    EXPECT_EQ(listed.size(), files.size());
    for (const auto& [rel, bytes] : files) {
      SCOPED_TRACE(rel);
      ASSERT_TRUE(pack.IsFileExist(rel));
      TMemoryStream m(bytes);
      const TBytes md5 = GetStreamMD5(m);
      EXPECT_EQ(pack.GetFileDigest(rel), md5);
      EXPECT_EQ(pack.ComputeFileDigest(rel), md5);
    }
    pack.Dismount();
    // bin32 is extracted next to the launcher, under the pack's lower-case
    // names.
    for (const auto& [rel, bytes] : files) {
      if (rel.rfind("bin32/", 0) == 0) {
        EXPECT_EQ(testing::ReadFileBytes(gamefolder_ + "/" + platform::AnsiLowerCase(rel)), bytes) << rel;
      }
    }
  }

  int64_t FetchedBytes() {
    int64_t total = 0;
    for (auto& s : servers_) {
      for (const auto& req : s->FileRequests()) total += req.bytes;
    }
    return total;
  }

  std::vector<std::string> FetchedUris() {
    std::vector<std::string> uris;
    for (auto& s : servers_) {
      for (const auto& req : s->FileRequests()) uris.push_back(req.uri);
    }
    return uris;
  }

  std::vector<int> ports_;
  TTempDir root_, game_;
  std::string serverroot_, gamefolder_, launcher_;
  int64_t limitrate_ = 256 * 1024;
  std::vector<std::unique_ptr<TNginxServer>> servers_;
};

TEST_F(LauncherE2E, MissingClientIsRepairedFromScratch) {
  const TClientFiles files = BuildOne();
  Publish(files, 1);
  Serve({TServerMode::Good, TServerMode::Good});
  const TRun run = Launch({"--headless", "-debug", "check"});
  ASSERT_EQ(run.code, 0) << run.output;
  ExpectClientIs(files, 1);
  // With UnpackDevDB off only bin32 is extracted.
  EXPECT_FALSE(fs::exists(gamefolder_ + "/game/db/items.db"));
  EXPECT_FALSE(fs::exists(gamefolder_ + "/tmp"));
  const std::string log = testing::ReadFileText(gamefolder_ + "/Launcher.log");
  EXPECT_NE(log.find("Current client version missing, creating repair thread"), std::string::npos);
  EXPECT_NE(log.find("Saving client version"), std::string::npos);

  // The next check finds the client current and fetches no file.
  Serve({TServerMode::Good, TServerMode::Good});
  const TRun again = Launch({"--headless", "-debug", "check"});
  ASSERT_EQ(again.code, 0) << again.output;
  EXPECT_EQ(FetchedUris(), std::vector<std::string>{"/kestrune/build.version"})
      << again.output << testing::ReadFileText(gamefolder_ + "/Launcher.log");
}

TEST_F(LauncherE2E, UpdateFetchesOnlyWhatChanged) {
  TClientFiles one = BuildOne();
  Publish(one, 1);
  Serve({TServerMode::Good, TServerMode::Good});
  ASSERT_EQ(Launch({"--headless", "check"}).code, 0);

  TClientFiles two = one;
  two["bin32/core.dll"] = RandomBytes(45000, 20);  // changed
  two["game/data/new.dat"] = RandomBytes(900000, 21);  // added
  two.erase("readme.txt");  // removed
  Publish(two, 2);
  Serve({TServerMode::Good, TServerMode::Good});
  const TRun run = Launch({"--headless", "-debug", "check"});
  ASSERT_EQ(run.code, 0) << run.output;
  ExpectClientIs(two, 2);
  std::vector<std::string> uris = FetchedUris();
  std::sort(uris.begin(), uris.end());
  uris.erase(std::unique(uris.begin(), uris.end()), uris.end());
  const std::vector<std::string> expected = {
      "/kestrune//bin32/core.dll.u", "/kestrune//game/data/new.dat.u",
      "/kestrune/build.version", "/kestrune/client.version"};
  EXPECT_EQ(uris, expected);
  const std::string log = testing::ReadFileText(gamefolder_ + "/Launcher.log");
  EXPECT_NE(log.find("Removing old file: \\readme.txt"), std::string::npos);
}

TEST_F(LauncherE2E, DamageInThePackIsFoundOnlyByTheRepair) {
  const TClientFiles files = BuildOne();
  Publish(files, 1);
  Serve({TServerMode::Good});
  ASSERT_EQ(Launch({"--headless", "check"}).code, 0);

  // Flip bytes inside one stored file.
  int64_t offset = -1;
  {
    TPackDirRecord pack;
    ASSERT_TRUE(pack.MountReadOnly(gamefolder_ + "\\game_pak"));
    offset = pack.filelist.at("game/data/world.dat")->offset;
    pack.Dismount();
  }
  ASSERT_GE(offset, 0);
  {
    std::fstream f(gamefolder_ + "/game_pak", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(offset + 1000);
    f.write("\xde\xad\xbe\xef", 4);
  }

  // The version check trusts the stored digests: the client is ready.
  Publish(files, 1);
  Serve({TServerMode::Good});
  ASSERT_EQ(Launch({"--headless", "check"}).code, 0);
  EXPECT_EQ(FetchedUris(), (std::vector<std::string>{"/kestrune/build.version"}));

  // The repair recomputes every digest and fetches the damaged file again.
  Serve({TServerMode::Good});
  const TRun run = Launch({"--headless", "repair"});
  ASSERT_EQ(run.code, 0) << run.output;
  ExpectClientIs(files, 1);
  std::vector<std::string> uris = FetchedUris();
  EXPECT_NE(std::find(uris.begin(), uris.end(), "/kestrune//game/data/world.dat.u"), uris.end());
  EXPECT_EQ(std::find(uris.begin(), uris.end(), "/kestrune//bin32/core.dll.u"), uris.end());
}

TEST_F(LauncherE2E, LauncherReplacesItselfAndGoesOn) {
  const TClientFiles files = BuildOne();
  // A published launcher that differs from the running one: the same
  // program with a few bytes appended.
  const std::string newer = root_.File("Launcher-new");
  {
    TBytes bytes = testing::ReadFileBytes(VANTREL_E2E_LAUNCHER);
    const TBytes tail = Text("-- build 2 --");
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    testing::WriteFileBytes(newer, bytes);
  }
  Publish(files, 1, newer);
  Serve({TServerMode::Good, TServerMode::Good});
  const TRun run = Launch({"--headless", "-debug", "check"});
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_EQ(testing::ReadFileBytes(launcher_), testing::ReadFileBytes(newer));
  EXPECT_FALSE(fs::exists(launcher_ + ".new"));
  // The new launcher deleted the previous one when it started.
  EXPECT_FALSE(fs::exists(launcher_ + ".old"));
  ExpectClientIs(files, 1);

  // Now the running launcher is the published one: nothing is replaced.
  const auto before = fs::last_write_time(launcher_);
  Serve({TServerMode::Good});
  ASSERT_EQ(Launch({"--headless", "check"}).code, 0);
  EXPECT_EQ(fs::last_write_time(launcher_), before);
  EXPECT_FALSE(fs::exists(launcher_ + ".old"));
}

TEST_F(LauncherE2E, OneGoodServerAmongBadOnesIsEnough) {
  const TClientFiles files = BuildOne();
  Publish(files, 1);
  // Bad servers that fail the probe are dropped; a server with damaged
  // transfer files answers the probe and the version files, and every chunk
  // it sends fails its check and is fetched again elsewhere.
  servers_.clear();
  TServerOptions failing;
  failing.port = ports_[1];
  failing.probefails = true;
  servers_.push_back(std::make_unique<TNginxServer>(TServerMode::Corrupted, serverroot_, [&] {
    TServerOptions o;
    o.port = ports_[0];
    return o;
  }()));
  servers_.push_back(std::make_unique<TNginxServer>(TServerMode::Error500, serverroot_, failing));
  failing.port = ports_[2];
  servers_.push_back(std::make_unique<TNginxServer>(TServerMode::Missing, serverroot_, failing));
  TServerOptions good;
  good.port = ports_[3];
  servers_.push_back(std::make_unique<TNginxServer>(TServerMode::Good, serverroot_, good));
  const TRun run = Launch({"--headless", "check"});
  ASSERT_EQ(run.code, 0) << run.output;
  ExpectClientIs(files, 1);
}

TEST_F(LauncherE2E, NoServerLeavesOnlyRepair) {
  Publish(BuildOne(), 1);
  Serve({TServerMode::Dead, TServerMode::Dead, TServerMode::Dead, TServerMode::Dead});
  const TRun run = Launch({"--headless", "check"});
  EXPECT_EQ(run.code, 1) << run.output;
  EXPECT_NE(run.output.find("Version check error!"), std::string::npos) << run.output;
}

// The password is typed at the prompt (a pseudo-terminal): the game gets
// its digest, and the typed text reaches neither the game, the screen, the
// log nor the saved credentials.
TEST_F(LauncherE2E, PlayStartsTheGameWithItsTicket) {
  const TClientFiles files = BuildOne();
  TClientFiles withgame = files;
  withgame["bin32/Myrefall.exe"] = testing::ReadFileBytes(FAKE_GAME_PATH);
  Publish(withgame, 1);
  Serve({TServerMode::Good});
  ASSERT_EQ(Launch({"--headless", "check"}).code, 0);

  // Saved credentials of another login keep the saving on.
  testing::WriteFileText(gamefolder_ + "/credits.dat", "someone\r\n00000000000000000000000000000000\r\n");
  const std::string record = root_.File("game.record");
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setenv("FAKE_GAME_RECORD", record.c_str(), 1);
    ::execl(launcher_.c_str(), launcher_.c_str(), "--headless", "-debug", "play", "player",
            static_cast<char*>(nullptr));
    ::_exit(121);
  }
  std::string screen;
  bool typed = false;
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 60000) <= 0) break;
    char buf[512];
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) break;  // the launcher has gone
    screen.append(buf, static_cast<size_t>(n));
    if (!typed && screen.find("Password for player: ") != std::string::npos) {
      typed = ::write(master, "secret\n", 7) == 7;
    }
  }
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  ::close(master);
  ASSERT_TRUE(typed) << screen;
  ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << screen;
  const std::string got = testing::ReadFileText(record);
  EXPECT_NE(got.find("login=player"), std::string::npos) << got;
  EXPECT_NE(got.find("digest=5EBE2294ECD0E0F08EAB7690D2A6EE69"), std::string::npos) << got;
  EXPECT_NE(got.find("-uid player"), std::string::npos) << got;
  EXPECT_EQ(got.find("secret"), std::string::npos) << got;
  EXPECT_EQ(screen.find("secret"), std::string::npos) << screen;
  EXPECT_EQ(testing::ReadFileText(gamefolder_ + "/Launcher.log").find("secret"), std::string::npos);
  EXPECT_EQ(testing::ReadFileText(gamefolder_ + "/credits.dat"),
            "player\r\n5EBE2294ECD0E0F08EAB7690D2A6EE69\r\n");
}

// A workflow ended by an error (here the launcher runs under another name
// than its configuration gives, so its own digest cannot be taken) ends the
// headless run with status 1 and the reason.
TEST_F(LauncherE2E, AWorkflowErrorEndsTheHeadlessRunWithItsReason) {
  Publish(BuildOne(), 1);
  Serve({TServerMode::Good});
  const std::string other = gamefolder_ + "/Other.exe";
  fs::rename(launcher_, other);
  TRun run;
  run.code = testing::RunProgram(other, {"--headless", "check"}, &run.output);
  EXPECT_EQ(run.code, 1) << run.output;
  EXPECT_NE(run.output.find("Version check error!"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Reason: Version check failed: "), std::string::npos) << run.output;
}

// A close that fails (its log cannot be written: the launcher may write no
// more bytes to a file, as on a full disk) ends the headless run with
// status 1 and says why, instead of aborting.
TEST_F(LauncherE2E, ACloseThatFailsEndsWithStatusOne) {
  Publish(BuildOne(), 1);
  limitrate_ = 64 * 1024;
  Serve({TServerMode::Slow});
  // The output goes through a pipe, which the file size limit does not touch.
  int pipefd[2];
  ASSERT_EQ(::pipe(pipefd), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(pipefd[1], 1);
    ::dup2(pipefd[1], 2);
    ::close(pipefd[0]);
    ::close(pipefd[1]);
    ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
    ::execl(launcher_.c_str(), launcher_.c_str(), "--headless", "-debug", "repair",
            static_cast<char*>(nullptr));
    ::_exit(121);
  }
  ::close(pipefd[1]);
  std::string output;
  std::thread reader([&] {
    char buf[4096];
    for (ssize_t n; (n = ::read(pipefd[0], buf, sizeof buf)) > 0;) output.append(buf, static_cast<size_t>(n));
  });
  const std::string log = gamefolder_ + "/Launcher.log";
  for (int i = 0; i < 3000; ++i) {
    if (fs::exists(log) && testing::ReadFileText(log).find("Downloading files") != std::string::npos)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // From now on no file of the launcher may grow: the next log line fails.
  const rlimit none{0, 0};
  ASSERT_EQ(::prlimit(pid, RLIMIT_FSIZE, &none, nullptr), 0);
  int raw = 0;
  ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
  reader.join();
  ::close(pipefd[0]);
  ASSERT_TRUE(WIFEXITED(raw)) << "signal " << WTERMSIG(raw) << "\n" << output;
  EXPECT_EQ(WEXITSTATUS(raw), 1) << output;
  EXPECT_NE(output.find("Closing the launcher failed: "), std::string::npos) << output;
}

// Kills the launcher at random moments of an update; each rerun must bring
// the client to the build exactly, fetching again little more than what was
// in flight.
TEST_F(LauncherE2E, KilledUpdatesRecover) {
  const char* knob = std::getenv("VANTREL_E2E_KILLS");
  const int kills = knob ? std::atoi(knob) : 30;
  TClientFiles one = BuildOne();
  Publish(one, 1);
  Serve({TServerMode::Good, TServerMode::Good});
  ASSERT_EQ(Launch({"--headless", "check"}).code, 0);

  std::mt19937 rng(12345);
  int64_t published = 0, refetched = 0, killedfetch = 0;
  int interrupted = 0;
  int64_t worstwaste = 0;
  // What a kill may waste besides the changed transfer files: a chunk in
  // flight on each of the four workers (512 KiB each, plus what sits in the
  // sockets), the largest changed file if it was whole but not yet in the
  // pack's saved directory, and the small version files of both runs.
  const int64_t kInFlight = 4 * (512 * 1024 + 64 * 1024) + 64 * 1024;
  limitrate_ = 128 * 1024;  // nginx sends a second of data at once; a chunk takes seconds
  for (int k = 0; k < kills; ++k) {
    SCOPED_TRACE("kill " + std::to_string(k));
    TClientFiles next = one;
    for (int i = 0; i < 6; ++i) {
      next["game/data/part" + std::to_string(i) + ".dat"] =
          RandomBytes(600000 + 100000 * i, static_cast<uint32_t>(1000 * k + i));
    }
    Publish(next, k + 2);
    int64_t changed = 0, largest = 0;
    for (const auto& [rel, bytes] : next) {
      if (one.count(rel) == 0 || one.at(rel) != bytes) {
        published += static_cast<int64_t>(bytes.size());
        const int64_t transfer =
            static_cast<int64_t>(fs::file_size(serverroot_ + "/kestrune/" + rel + ".u"));
        changed += transfer;
        largest = std::max(largest, transfer);
      }
    }
    Serve({TServerMode::Slow, TServerMode::Slow});

    platform::TSpawnOptions spawn;
    spawn.program = launcher_;
    spawn.argv = {launcher_, "--headless", "check"};
    const int pid = platform::SpawnProcess(spawn);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(50, 4000)(rng)));
    ::kill(pid, SIGKILL);
    const int code = platform::WaitProcess(pid);
    if (code == 128 + SIGKILL) ++interrupted;
    const int64_t killed = FetchedBytes();
    killedfetch += killed;

    Serve({TServerMode::Good, TServerMode::Good});
    const TRun rerun = Launch({"--headless", "check"});
    ASSERT_EQ(rerun.code, 0) << rerun.output;
    ExpectClientIs(next, k + 2);
    const int64_t again = FetchedBytes();
    refetched += again;
    worstwaste = std::max(worstwaste, killed + again - changed);
    // The rerun fetches what the killed run had not kept, little more.
    EXPECT_LE(killed + again, changed + largest + kInFlight)
        << "killed run " << killed << ", rerun " << again << ", changed " << changed;
    one = next;
  }
  // Every kill landed in the middle of an update (the changed files take
  // many seconds to arrive at the slow servers' rate).
  EXPECT_EQ(interrupted, kills);
  std::printf("kill runs: %d (interrupted %d); changed bytes %lld, fetched before kills %lld, "
              "fetched by reruns %lld; most fetched beyond the changed files in one kill %lld\n",
              kills, interrupted, static_cast<long long>(published),
              static_cast<long long>(killedfetch), static_cast<long long>(refetched),
              static_cast<long long>(worstwaste));
}

}  // namespace
}  // namespace vantrel
