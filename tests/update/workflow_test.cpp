// The workflows in-process: a second workflow is refused while one runs, a
// close that cuts into a workflow leaves the pack consistent, and a pack
// left mounted by a failed run mounts again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "pack/pack_dir_record.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/stream.h"
#include "publish/release_signing.h"
#include "support/nginx_fixture.h"
#include "support/publish_tree.h"
#include "support/temp_dir.h"
#include "update/update_logic.h"
#include "update/workflow_thread.h"
#include "versions/update_list.h"
#include "versions/update_utils.h"
#include "versions/version_records.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::TNginxServer;
using testing::TServerMode;
using testing::TServerOptions;
using testing::TTempDir;

// A published client, one nginx server for it and a launcher state whose
// configuration names that server.
class WorkflowFixture : public ::testing::Test {
 protected:
  // The published client: twelve data files and a small bin32.
  static testing::TClientFiles SampleFiles() {
    testing::TClientFiles files;
    for (int i = 0; i < 12; ++i) {
      std::vector<uint8_t> bytes(300000 + 1000 * i);
      for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<uint8_t>((k * 2654435761u) >> (i % 7 + 3));
      files["game/data/f" + std::to_string(i) + ".dat"] = bytes;
    }
    files["bin32/game.dll"] = {1, 2, 3};
    return files;
  }

  // Publishes files as build version over the server's tree; the launcher
  // published is launcherbytes_.
  void Publish(const testing::TClientFiles& files, int32_t version) {
    const std::string client = root_.File("client" + std::to_string(version));
    fs::remove_all(client);
    testing::WriteClientFolder(client, files);
    testing::WriteFileBytes(root_.File("Launcher.exe"), launcherbytes_);
    publish::TPublishOptions o;
    o.clientdir = client;
    o.launcherfile = root_.File("Launcher.exe");
    o.outdir = root_.File("srv/kestrune");
    o.updateversion = version;
    o.signkeyfile = signkeyfile_;
    testing::PublishTree(o);
  }

  // Releases are signed from now on, and the launcher built with the key.
  void SignReleases() {
    const publish::TReleaseSigningKey key = publish::TReleaseSigningKey::Generate();
    signkeyfile_ = root_.File("release.key");
    key.SavePrivateKey(signkeyfile_);
    releasekeys_ = ReleaseKeyText(key.PublicKey()) + "\r\n";
  }

  void Start(TServerMode mode, int64_t limitrate = 256 * 1024,
             const testing::TClientFiles& files = SampleFiles()) {
    Publish(files, 1);
    TServerOptions so;
    so.limitrate = limitrate;
    server_ = std::make_unique<TNginxServer>(mode, root_.File("srv"), so);

    configs_ = "LauncherName=Launcher.exe\r\nLauncherFolder=\\\r\nVersionFileFolder=\\\r\n"
               "DownloadFolder=\\tmp\r\nRemoveDeletedFiles=true\r\nUnpackDevDB=" +
               std::string(unpackdevdb_ ? "true" : "false") + "\r\n";
    servers_ = "1\r\n" + server_->BaseUrl();
    entries_[0] = {"RCDATA", "Configs", reinterpret_cast<const unsigned char*>(configs_.data()),
                   static_cast<int64_t>(configs_.size())};
    entries_[1] = {"RCDATA", "DownloadServers",
                   reinterpret_cast<const unsigned char*>(servers_.data()),
                   static_cast<int64_t>(servers_.size())};
    entries_[2] = {nullptr, nullptr, nullptr, 0};
    if (!releasekeys_.empty()) {
      entries_[2] = {"RCDATA", "ReleaseKeys",
                     reinterpret_cast<const unsigned char*>(releasekeys_.data()),
                     static_cast<int64_t>(releasekeys_.size())};
      entries_[3] = {nullptr, nullptr, nullptr, 0};
    }
    table_ = std::make_unique<platform::TResourceTable>(entries_);
    TStartupContext c;
    c.exepath = game_.File("Launcher.exe");
    c.args = {"-debug", "x"};
    c.resources = table_.get();
    c.firewall = &firewall_;
    logic_ = std::make_unique<TUpdateLogic>(std::move(c));
    logic_->LoadInitialData();
  }

  // Waits until the status leaves the working keys; false after 60 s.
  bool WaitForOutcome() {
    for (int i = 0; i < 6000; ++i) {
      const std::string key = logic_->GetStatus().StatusMessage;
      if (key == "ApplicationReady" || key.find("Error") != std::string::npos) {
        while (logic_->WorkingThread() && !logic_->WorkingThread()->Finished()) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // The running launcher is the published one: the version check goes on
  // to the client.
  void InstallPublishedLauncher() { testing::WriteFileBytes(game_.File("Launcher.exe"), launcherbytes_); }

  std::string Log() { return testing::ReadFileText(game_.File("Launcher.log")); }

  // Waits until the log holds text count times; false after 60 s.
  bool WaitForLog(const std::string& text, int count = 1) {
    for (int i = 0; i < 6000; ++i) {
      const std::string log = Log();
      int found = 0;
      for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++found;
      if (found >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Empties the game folder (which stays the current folder).
  void ClearGameFolder() {
    for (const auto& entry : fs::directory_iterator(game_.Path())) fs::remove_all(entry.path());
  }

  void WaitUntilFinished() {
    for (int i = 0; i < 6000; ++i) {
      const auto running = logic_->WorkingThread();
      if (!running || running->Finished()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "the workflow did not end";
  }

  TTempDir root_, game_;
  testing::TChangeDir cd_{game_.Path()};
  std::vector<uint8_t> launcherbytes_{'l', 'a', 'u', 'n', 'c', 'h', 'e', 'r'};
  bool unpackdevdb_ = false;
  std::unique_ptr<TNginxServer> server_;
  platform::TMemoryFirewallPolicy firewall_;
  std::string configs_, servers_;
  std::string signkeyfile_, releasekeys_;
  platform::TResourceEntry entries_[4];
  std::unique_ptr<platform::TResourceTable> table_;
  std::unique_ptr<TUpdateLogic> logic_;
};

TEST_F(WorkflowFixture, SecondWorkflowIsRefusedWhileOneRuns) {
  Start(TServerMode::Slow, 200 * 1024);
  ASSERT_TRUE(logic_->LaunchRepair());
  EXPECT_FALSE(logic_->LaunchRepair());
  EXPECT_FALSE(logic_->LaunchUpdate());
  EXPECT_FALSE(logic_->LaunchVersionCheck());
  ASSERT_TRUE(WaitForOutcome());
  EXPECT_EQ(logic_->GetStatus().StatusMessage, "ApplicationReady");
  // Once it has ended the next one starts.
  ASSERT_TRUE(logic_->LaunchRepair());
  ASSERT_TRUE(WaitForOutcome());
  EXPECT_EQ(logic_->GetStatus().StatusMessage, "ApplicationReady");
}

// The close at several moments of a repair, each in a child process (a
// download stopped by the close parks its caller for good): once the pack
// is mounted, and once one, four and eight downloaded files have gone into
// it. After the close the pack on disk must mount, hold at least the files
// that had reached it, and every file it lists must hold the bytes its
// digest names.
TEST_F(WorkflowFixture, CloseDuringAWorkflowLeavesThePackConsistent) {
  Start(TServerMode::Slow, 300 * 1024);
  struct Case {
    const char* label;
    const char* waitfor;  // a log line
    int count;            // how many times
    size_t inpack;        // files the pack holds at least after the close
  };
  const Case cases[] = {
      {"pack mounted", "Mount client file system", 1, 0},
      {"one file in", "Process downloaded file: ", 1, 1},
      {"four files in", "Process downloaded file: ", 4, 4},
      {"eight files in", "Process downloaded file: ", 8, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(game_.File("tmp"));
    fs::remove(game_.File("game_pak"));
    fs::remove(game_.File("game_pak.dir"));
    fs::remove(game_.File("Launcher.log"));
    logic_->InitLogFile();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int code = 0;
      try {
        logic_->LaunchRepair();
        if (!WaitForLog(c.waitfor, c.count)) std::_Exit(5);
        logic_->AppClose(true, 0);
        TPackDirRecord pack;
        if (!pack.MountReadOnly(game_.File("game_pak"))) std::_Exit(2);
        if (pack.GetFileList().size() < c.inpack) std::_Exit(6);
        for (const std::string& name : pack.GetFileList()) {
          if (pack.ComputeFileDigest(name) != pack.GetFileDigest(name)) code = 3;
        }
      } catch (const std::exception&) {
        code = 4;
      }
      std::_Exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string log = Log();
    EXPECT_NE(log.find("Unmount client file system"), std::string::npos);
    EXPECT_NE(log.find("Close browser"), std::string::npos);
  }
}

TEST_F(WorkflowFixture, MountOfAMountedPackAndTheExtractionBound) {
  Start(TServerMode::Good);
  ASSERT_TRUE(logic_->ClientFileSystemMount());
  TMemoryStream bytes(std::vector<uint8_t>{1, 2, 3});
  ASSERT_TRUE(logic_->ClientFileSystemCopyFile("\\bin32\\a.dll", &bytes));
  // A failed run left it mounted: the next mount saves and opens it again.
  ASSERT_TRUE(logic_->ClientFileSystemMount());
  EXPECT_TRUE(logic_->ClientFileSystemIsFileExist("\\bin32\\a.dll"));

  // A file where bin32 should be: the extraction gives up with a log line.
  testing::WriteFileText(game_.File("bin32"), "in the way");
  logic_->timings.folderattempts = 3;
  EXPECT_FALSE(logic_->ClientFileSystemFinishUpdate());
  EXPECT_TRUE(logic_->ClientFileSystemUnmount());
  EXPECT_FALSE(logic_->ClientFileSystemUnmount());
  logic_->UnInitLogFile();
  const std::string log = testing::ReadFileText(game_.File("Launcher.log"));
  EXPECT_NE(log.find("Unable to create folder: "), std::string::npos);
}

TEST_F(WorkflowFixture, LauncherVersionWithoutASizeIsRefusedBeforeAnyFetch) {
  Start(TServerMode::Good);
  const std::string path = root_.File("srv/kestrune/launcher.version");
  TLauncherVersionRecord published;
  ASSERT_TRUE(published.Parse(testing::ReadFileBytes(path)));
  for (const int32_t size : {0, -1, INT32_MIN}) {
    SCOPED_TRACE(size);
    TLauncherVersionRecord record = published;
    record.launchersize = size;
    testing::WriteFileBytes(path, record.Serialize());
    ASSERT_TRUE(logic_->LaunchVersionCheck());
    ASSERT_TRUE(WaitForOutcome());
    EXPECT_EQ(logic_->GetStatus().StatusMessage, "VersionCheckError");
    EXPECT_TRUE(logic_->GetButtons().RepairBtnState);
    EXPECT_EQ(logic_->LastFailure(), "Launcher version size is invalid");
  }
  EXPECT_FALSE(fs::exists(game_.File("tmp/Launcher.exe.u")));
}

// A workflow ended by an exception reports its own error outcome, with a
// log line, and leaves Repair offered.
TEST_F(WorkflowFixture, AWorkflowEndedByAnErrorReportsItsOutcome) {
  Start(TServerMode::Good);
  struct Case {
    const char* label;
    bool (TUpdateLogic::*launch)();
    const char* key;
    const char* line;
  };
  const Case cases[] = {
      // The running launcher's file is not where the configuration names it.
      {"version check", &TUpdateLogic::LaunchVersionCheck, "VersionCheckError",
       "Version check failed: "},
      // The pack is held by another launcher.
      {"update", &TUpdateLogic::LaunchUpdate, "UpdateError", "Update failed: "},
      {"repair", &TUpdateLogic::LaunchRepair, "RepairError", "Repair failed: "},
  };
  TFileStream held(game_.File("game_pak"), TFileMode::OpenOrCreate, TFileShare::Exclusive);
  logic_->clientversiondownsize =
      static_cast<int32_t>(fs::file_size(root_.File("srv/kestrune/client.version")));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    logic_->OnStatusMessage("LoadingStatus");
    ASSERT_TRUE((logic_.get()->*c.launch)());
    ASSERT_TRUE(WaitForOutcome());
    EXPECT_EQ(logic_->GetStatus().StatusMessage, c.key);
    const TButtonsSnapshot b = logic_->GetButtons();
    EXPECT_TRUE(b.RepairBtnState);
    EXPECT_FALSE(b.PlayBtnState || b.UpdateBtnState || b.CancelBtnState);
    EXPECT_EQ(logic_->LastFailure().rfind(c.line, 0), 0u) << logic_->LastFailure();
    EXPECT_NE(Log().find(c.line), std::string::npos);
  }
}

// Executables that cannot be written leave the old "client.version": the
// workflow fails and the next check tries again.
TEST_F(WorkflowFixture, ExtractionThatCannotWriteFailsTheWorkflow) {
  struct Case {
    const char* label;
    bool update;      // an update from build 1, else a repair from nothing
    bool devdb;       // UnpackDevDB
    const char* file;    // a file put where a folder must be
    const char* folder;  // a folder put where a file must be
  };
  const Case cases[] = {
      {"repair, a file where bin32 is", false, false, "bin32", nullptr},
      {"update, a file where bin32 is", true, false, "bin32", nullptr},
      {"repair, a folder where bin32/game.dll is", false, false, nullptr, "bin32/game.dll/x"},
      {"repair, a file where game is", false, true, "game", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    unpackdevdb_ = c.devdb;
    testing::TClientFiles files = SampleFiles();
    files["game/db/items.db"] = {7, 7, 7};
    Start(TServerMode::Good, 0, files);
    std::vector<uint8_t> before;
    if (c.update) {
      ASSERT_TRUE(logic_->LaunchRepair());
      ASSERT_TRUE(WaitForOutcome());
      ASSERT_EQ(logic_->GetStatus().StatusMessage, "ApplicationReady");
      before = testing::ReadFileBytes(game_.File("client.version"));
      files["bin32/game.dll"] = {4, 5, 6};
      Publish(files, 2);
      InstallPublishedLauncher();
    }
    fs::remove_all(game_.File("bin32"));
    fs::remove_all(game_.File("game"));
    if (c.file) testing::WriteFileText(game_.File(c.file), "in the way");
    if (c.folder) fs::create_directories(game_.File(c.folder));
    logic_->timings.folderattempts = 2;
    ASSERT_TRUE(c.update ? logic_->LaunchVersionCheck() : logic_->LaunchRepair());
    ASSERT_TRUE(WaitForOutcome());
    EXPECT_EQ(logic_->GetStatus().StatusMessage, c.update ? "UpdateError" : "RepairError");
    EXPECT_EQ(logic_->LastFailure().rfind("Unable to extract client files", 0), 0u)
        << logic_->LastFailure();
    if (c.update) {
      EXPECT_EQ(testing::ReadFileBytes(game_.File("client.version")), before);
    } else {
      EXPECT_FALSE(fs::exists(game_.File("client.version")));
    }
    // Once the way is clear the repair finishes.
    fs::remove_all(game_.File("bin32"));
    fs::remove_all(game_.File("game"));
    ASSERT_TRUE(logic_->LaunchRepair());
    ASSERT_TRUE(WaitForOutcome());
    EXPECT_EQ(logic_->GetStatus().StatusMessage, "ApplicationReady");
    EXPECT_EQ(testing::ReadFileBytes(game_.File("bin32/game.dll")), files["bin32/game.dll"]);
    logic_.reset();
    server_.reset();
    ClearGameFolder();
  }
}

// The repair of an intact client fetches nothing and removes nothing, also
// for published names with capital letters (the pack lists its entries in
// lower case); an entry no published name gives is still removed.
TEST_F(WorkflowFixture, RepairOfAnIntactClientKeepsNamesWithCapitals) {
  testing::TClientFiles files = SampleFiles();
  files["bin32/Myrefall.EXE"] = std::vector<uint8_t>(700000, 'x');
  files["game/Data/Mixed Case.dat"] = std::vector<uint8_t>(200000, 'y');
  Start(TServerMode::Good, 0, files);
  auto transfers = [&] {
    size_t n = 0;
    for (const auto& r : server_->FileRequests()) n += r.uri.ends_with(".u") ? 1 : 0;
    return n;
  };
  ASSERT_TRUE(logic_->LaunchRepair());  // from nothing: every file
  ASSERT_TRUE(WaitForOutcome());
  ASSERT_EQ(logic_->GetStatus().StatusMessage, "ApplicationReady");
  const size_t installed = transfers();
  ASSERT_GT(installed, 0u);

  ASSERT_TRUE(logic_->LaunchRepair());
  ASSERT_TRUE(WaitForOutcome());
  EXPECT_EQ(logic_->GetStatus().StatusMessage, "ApplicationReady");
  EXPECT_EQ(transfers(), installed);
  EXPECT_EQ(Log().find("Removing old file"), std::string::npos);

  files.erase("game/data/f3.dat");
  Publish(files, 2);
  ASSERT_TRUE(logic_->LaunchRepair());
  ASSERT_TRUE(WaitForOutcome());
  EXPECT_EQ(logic_->GetStatus().StatusMessage, "ApplicationReady");
  EXPECT_EQ(transfers(), installed);
  const std::string log = Log();
  EXPECT_NE(log.find("Removing old file: \\game\\data\\f3.dat"), std::string::npos);
  EXPECT_EQ(log.find("Removing old file: \\bin32"), std::string::npos);
  EXPECT_EQ(log.find("Removing old file: \\game\\data\\mixed"), std::string::npos);
  logic_.reset();
  TPackDirRecord pack;
  ASSERT_TRUE(pack.MountReadOnly(game_.File("game_pak")));
  EXPECT_EQ(pack.GetFileList().size(), files.size());
  for (const auto& [name, bytes] : files) {
    TMemoryStream m(bytes);
    EXPECT_EQ(pack.ComputeFileDigest(name), GetStreamMD5(m)) << name;
  }
}

// A pack whose directory cannot be read fails the update's mount; the
// repair sets it aside (replacing an older one) and builds a new pack.
TEST_F(WorkflowFixture, UnreadablePackIsSetAsideByTheRepair) {
  Start(TServerMode::Good);
  ASSERT_TRUE(logic_->LaunchRepair());
  ASSERT_TRUE(WaitForOutcome());
  ASSERT_EQ(logic_->GetStatus().StatusMessage, "ApplicationReady");
  const std::string packpath = game_.File("game_pak");
  int64_t records = 0;
  int32_t unused = 0;
  {
    TPackDirRecord pack;
    ASSERT_TRUE(pack.MountReadOnly(packpath));
    records = pack.endofdata;
    unused = pack.numUnused;
    ASSERT_GE(pack.numRecord, 2);
  }
  // The directory names its first file twice (a record copied over the
  // next one); no sidecar to recover from.
  fs::remove(game_.File("game_pak.dir"));
  {
    std::vector<uint8_t> bytes = testing::ReadFileBytes(packpath);
    const size_t first = static_cast<size_t>(records + 336 * int64_t{unused});
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(first), 336,
                bytes.begin() + static_cast<std::ptrdiff_t>(first + 336));
    testing::WriteFileBytes(packpath, bytes);
  }
  {
    TPackDirRecord pack;
    pack.MountReadOnly(packpath);
    if (pack.IsMounted()) {
      GTEST_SKIP() << "this pack reader mounts a directory that names a file twice";
    }
    ASSERT_FALSE(pack.loaderror.empty());
  }
  const std::vector<uint8_t> damaged = testing::ReadFileBytes(packpath);
  testing::WriteFileText(game_.File("game_pak.broken"), "an older broken pack");

  // The update stops at the mount.
  testing::WriteFileText(game_.File("client.version"), "");
  InstallPublishedLauncher();
  logic_->clientversiondownsize =
      static_cast<int32_t>(fs::file_size(root_.File("srv/kestrune/client.version")));
  ASSERT_TRUE(logic_->LaunchUpdate());
  ASSERT_TRUE(WaitForOutcome());
  EXPECT_EQ(logic_->GetStatus().StatusMessage, "UpdateError");
  EXPECT_EQ(logic_->LastFailure(), "Unable to mount client file system");

  ASSERT_TRUE(logic_->LaunchRepair());
  ASSERT_TRUE(WaitForOutcome());
  EXPECT_EQ(logic_->GetStatus().StatusMessage, "ApplicationReady");
  EXPECT_TRUE(testing::ReadFileBytes(game_.File("game_pak.broken")) == damaged);
  TPackDirRecord pack;
  ASSERT_TRUE(pack.MountReadOnly(packpath));
  EXPECT_EQ(pack.GetFileList().size(), SampleFiles().size());
  for (const auto& [name, bytes] : SampleFiles()) {
    TMemoryStream m(bytes);
    EXPECT_EQ(pack.ComputeFileDigest(name), GetStreamMD5(m)) << name;
  }
}

// A program of bin32 that is running (a file that cannot be opened for
// writing) is replaced by a rename; only the extracted files become
// programs, and no temporary file stays behind.
TEST_F(WorkflowFixture, ExtractionReplacesARunningProgram) {
  unpackdevdb_ = true;
  testing::TClientFiles files = SampleFiles();
  files["bin32/run.exe"] = testing::ReadFileBytes("/bin/sleep");
  files["game/db/items.db"] = {1, 2};
  Start(TServerMode::Good, 0, files);
  InstallPublishedLauncher();
  ASSERT_TRUE(logic_->LaunchVersionCheck());  // no client.version: a repair
  ASSERT_TRUE(WaitForOutcome());
  ASSERT_EQ(logic_->GetStatus().StatusMessage, "ApplicationReady");
  testing::WriteFileText(game_.File("bin32/user.cfg"), "the player's own");
  ::chmod(game_.File("bin32/user.cfg").c_str(), 0644);

  platform::TSpawnOptions spawn;
  spawn.program = game_.File("bin32/run.exe");
  spawn.argv = {spawn.program, "60"};
  const int pid = platform::SpawnProcess(spawn);
  files["bin32/run.exe"].push_back('2');
  Publish(files, 2);
  ASSERT_TRUE(logic_->LaunchVersionCheck());
  ASSERT_TRUE(WaitForOutcome());
  ::kill(pid, SIGKILL);
  platform::WaitProcess(pid);
  EXPECT_EQ(logic_->GetStatus().StatusMessage, "ApplicationReady") << logic_->LastFailure();
  EXPECT_TRUE(testing::ReadFileBytes(game_.File("bin32/run.exe")) == files["bin32/run.exe"]);
  struct Mode {
    const char* path;
    unsigned mode;
  };
  for (const Mode& m : {Mode{"bin32/run.exe", 0755}, Mode{"bin32/game.dll", 0755},
                        Mode{"bin32/user.cfg", 0644}, Mode{"game/db/items.db", 0644}}) {
    struct stat st {};
    ASSERT_EQ(::stat(game_.File(m.path).c_str(), &st), 0) << m.path;
    EXPECT_EQ(st.st_mode & 0777, m.mode) << m.path;
  }
  for (const auto& entry : fs::recursive_directory_iterator(game_.Path())) {
    EXPECT_EQ(entry.path().string().find(".extracting"), std::string::npos) << entry.path();
  }
}

// The self-update puts the new launcher in place with one rename: no
// ".old" is left, the old file is unlinked under the running program, and
// the new one is a flushed program.
TEST_F(WorkflowFixture, SelfUpdateReplacesTheLauncherInOneStep) {
  std::string script = "#!/bin/sh\nexit 0\n#";
  script.append(200000, 'x');  // more than one chunk
  launcherbytes_.assign(script.begin(), script.end());
  Start(TServerMode::Good);
  testing::WriteFileText(game_.File("Launcher.exe"), "the running launcher");
  const int old = ::open(game_.File("Launcher.exe").c_str(), O_RDONLY);
  ASSERT_GE(old, 0);
  ASSERT_TRUE(logic_->LaunchVersionCheck());
  WaitUntilFinished();
  ASSERT_GT(logic_->newlauncherpid.load(), 0) << logic_->LastFailure();
  EXPECT_EQ(platform::WaitProcess(logic_->newlauncherpid), 0);
  EXPECT_TRUE(testing::ReadFileBytes(game_.File("Launcher.exe")) == launcherbytes_);
  EXPECT_FALSE(fs::exists(game_.File("Launcher.exe.old")));
  EXPECT_FALSE(fs::exists(game_.File("Launcher.exe.new")));
  struct stat st {};
  ASSERT_EQ(::stat(game_.File("Launcher.exe").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  ASSERT_EQ(::fstat(old, &st), 0);
  EXPECT_EQ(st.st_nlink, 0u);
  ::close(old);
}

// A workflow told to stop hands over to nothing and swaps no file.
TEST_F(WorkflowFixture, StopRequestEndsTheSelfUpdateWithoutASwap) {
  {
    SCOPED_TRACE("self-update told to stop before it swaps the files");
    std::string script = "#!/bin/sh\nexit 0\n#";
    script.append(200000, 'x');
    launcherbytes_.assign(script.begin(), script.end());
    Start(TServerMode::Good);
    testing::WriteFileText(game_.File("Launcher.exe"), "the running launcher");
    ASSERT_TRUE(logic_->LaunchVersionCheck());
    // Nothing before the swap stops the self-update's download: the flag
    // is seen only by the check before the files change.
    logic_->WorkingThread()->Terminate();
    WaitUntilFinished();
    EXPECT_TRUE(testing::ReadFileText(game_.File("Launcher.exe")) == "the running launcher");
    EXPECT_FALSE(fs::exists(game_.File("Launcher.exe.new")));
    EXPECT_EQ(logic_->newlauncherpid.load(), 0);
    EXPECT_NE(Log().find("Get and check new launcher md5 checksumm"), std::string::npos);
  }
}

TEST_F(WorkflowFixture, StopRequestEndsTheVersionCheckWithoutAHandOver) {
  {
    SCOPED_TRACE("check told to stop before it hands over to the repair");
    // A large launcher makes its digest take a while: the stop lands then.
    launcherbytes_.assign(96 * 1024 * 1024, 0);
    Start(TServerMode::Good);
    InstallPublishedLauncher();
    fs::remove(game_.File("Launcher.log"));
    logic_->InitLogFile();
    ASSERT_TRUE(logic_->LaunchVersionCheck());
    const auto check = logic_->WorkingThread();
    ASSERT_TRUE(WaitForLog("Get and check launcher md5 checksumm"));
    check->Terminate();
    if (Log().find("creating repair thread") != std::string::npos) {
      GTEST_SKIP() << "the stop landed after the hand-over";
    }
    WaitUntilFinished();
    EXPECT_EQ(logic_->WorkingThread(), check);
    EXPECT_NE(Log().find("creating repair thread"), std::string::npos);
    EXPECT_FALSE(fs::exists(game_.File("game_pak")));
  }
}

// A transfer file that unpacks beyond what the pack can store for one file
// ends the repair with its error outcome, whether it came in memory or on
// disk; one that only passes the in-memory bound is unpacked to disk.
TEST_F(WorkflowFixture, UnpackingStopsAtThePackLimit) {
  std::vector<uint8_t> noise(700000);
  for (size_t k = 0; k < noise.size(); ++k) noise[k] = static_cast<uint8_t>((k * 2654435761u) >> 13 ^ k);
  struct Case {
    const char* label;
    std::vector<uint8_t> bytes;
    bool refused;
  };
  std::vector<uint8_t> twochunks = noise;
  twochunks.resize(noise.size() + 8 * 1024 * 1024);
  const Case cases[] = {
      {"one chunk, inflates past the limit", std::vector<uint8_t>(8 * 1024 * 1024), true},
      {"several chunks, inflates past the limit", twochunks, true},
      {"one chunk, past memory but within the limit", std::vector<uint8_t>(3 * 1024 * 1024), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::TClientFiles files = SampleFiles();
    files["game/big/blob.dat"] = c.bytes;
    Start(TServerMode::Good, 0, files);
    logic_->unpacklimits.maxfilesize = 4 * 1024 * 1024;
    logic_->unpacklimits.inmemorysize = 1024 * 1024;
    ASSERT_TRUE(logic_->LaunchRepair());
    ASSERT_TRUE(WaitForOutcome());
    if (c.refused) {
      EXPECT_EQ(logic_->GetStatus().StatusMessage, "RepairError");
      EXPECT_EQ(logic_->LastFailure(),
                "Unpacked file is too large for the client file system: \\game\\big\\blob.dat");
      EXPECT_FALSE(fs::exists(game_.File("tmp/game/big/blob.dat")));
      EXPECT_FALSE(fs::exists(game_.File("tmp/game/big/blob.dat.u")));
    } else {
      EXPECT_EQ(logic_->GetStatus().StatusMessage, "ApplicationReady") << logic_->LastFailure();
      TPackDirRecord pack;
      ASSERT_TRUE(pack.MountReadOnly(game_.File("game_pak")));
      TMemoryStream m(c.bytes);
      EXPECT_EQ(pack.ComputeFileDigest("game/big/blob.dat"), GetStreamMD5(m));
    }
    logic_.reset();
    server_.reset();
    ClearGameFolder();
  }
}

TEST_F(WorkflowFixture, FileThatNeverPassesItsCheckEndsTheWorkflow) {
  // The served list names a digest that no copy of the file on the mirror
  // has: every download of it is intact, and every check of it fails.
  const auto breakdigest = [this] {
    const std::string listfile = root_.File("srv/kestrune/client.version");
    TUpdateList list;
    ASSERT_TRUE(list.LoadFromFile(listfile));
    auto it = list.filelist.find("\\game\\data\\f3.dat");
    ASSERT_NE(it, list.filelist.end());
    for (auto& b : it->second->hash) b = static_cast<uint8_t>(~b);
    list.SaveToFile(listfile);
    TBuildVersionRecord build;
    build.updateversion = list.updateversion;
    build.clientversiondownsize = static_cast<int32_t>(fs::file_size(listfile));
    testing::WriteFileBytes(root_.File("srv/kestrune/build.version"), build.Serialize());
  };
  struct Case {
    const char* label;
    bool update;  // a current client first, then an update to version 2
    const char* outcome;
  };
  const Case cases[] = {
      {"repair", false, "RepairError"},
      {"update", true, "UpdateError"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Start(TServerMode::Good, 0);
    InstallPublishedLauncher();
    if (c.update) {
      ASSERT_TRUE(logic_->LaunchRepair());
      ASSERT_TRUE(WaitForOutcome());
      ASSERT_EQ(logic_->GetStatus().StatusMessage, "ApplicationReady") << logic_->LastFailure();
      testing::TClientFiles files = SampleFiles();
      files["game/data/f3.dat"][7] ^= 0x5A;
      Publish(files, 2);
    }
    breakdigest();
    const std::vector<uint8_t> before =
        c.update ? testing::ReadFileBytes(game_.File("client.version")) : std::vector<uint8_t>{};

    ASSERT_TRUE(c.update ? logic_->LaunchVersionCheck() : logic_->LaunchRepair());
    ASSERT_TRUE(WaitForOutcome()) << "the workflow goes on fetching the file";
    EXPECT_EQ(logic_->GetStatus().StatusMessage, c.outcome);
    EXPECT_EQ(logic_->LastFailure(),
              "Client file \\game\\data\\f3.dat fails its check after " +
                  std::to_string(TUpdateLogic::CheckPassesPerFile) + " downloads");
    // The client is not called current.
    if (c.update) {
      EXPECT_EQ(testing::ReadFileBytes(game_.File("client.version")), before);
    } else {
      EXPECT_FALSE(fs::exists(game_.File("client.version")));
    }
    logic_.reset();
    server_.reset();
    ClearGameFolder();
  }
}

// A launcher with release keys: an update started without a version check
// (the page never does; the native function can) fetches and checks the
// record itself, and the clock decides whether it is still valid.
TEST_F(WorkflowFixture, AnUpdateWithoutACheckTrustsOnlyAValidSignedRecord) {
  SignReleases();
  Start(TServerMode::Good);
  InstallPublishedLauncher();
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  // Forty days on, the record (valid for thirty) has expired: nothing is
  // fetched under it, no pack is made.
  logic_->wallclock = [now] { return now + 40 * 86400; };
  ASSERT_TRUE(logic_->LaunchUpdate());
  ASSERT_TRUE(WaitForOutcome());
  EXPECT_EQ(logic_->GetStatus().StatusMessage, "UpdateError");
  EXPECT_NE(Log().find("Release record expired"), std::string::npos) << Log();
  EXPECT_EQ(Log().find("Downloading client version"), std::string::npos) << Log();
  EXPECT_FALSE(fs::exists(game_.File("game_pak")));
  EXPECT_FALSE(fs::exists(game_.File("release.accepted")));

  logic_->wallclock = [now] { return now; };
  ASSERT_TRUE(logic_->LaunchUpdate());
  ASSERT_TRUE(WaitForOutcome());
  EXPECT_EQ(logic_->GetStatus().StatusMessage, "ApplicationReady") << Log();
  EXPECT_NE(Log().find("Release record 1 trusted"), std::string::npos) << Log();
  EXPECT_EQ(testing::ReadFileText(game_.File("release.accepted")), "1\n");
}

}  // namespace
}  // namespace vantrel
