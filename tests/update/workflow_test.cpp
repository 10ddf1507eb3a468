// The workflows in-process: a second workflow is refused while one runs, a
// close that cuts into a workflow leaves the pack consistent, and a pack
// left mounted by a failed run mounts again.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "pack/pack_dir_record.h"
#include "support/nginx_fixture.h"
#include "support/publish_tree.h"
#include "support/temp_dir.h"
#include "update/update_logic.h"
#include "update/workflow_thread.h"

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
  void Start(TServerMode mode, int64_t limitrate = 256 * 1024) {
    testing::TClientFiles files;
    for (int i = 0; i < 12; ++i) {
      std::vector<uint8_t> bytes(300000 + 1000 * i);
      for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<uint8_t>((k * 2654435761u) >> (i % 7 + 3));
      files["game/data/f" + std::to_string(i) + ".dat"] = bytes;
    }
    files["bin32/game.dll"] = {1, 2, 3};
    testing::WriteClientFolder(root_.File("client"), files);
    testing::WriteFileText(root_.File("Launcher.exe"), "launcher");
    publish::TPublishOptions o;
    o.clientdir = root_.File("client");
    o.launcherfile = root_.File("Launcher.exe");
    o.outdir = root_.File("srv/kestrune");
    o.updateversion = 1;
    testing::PublishTree(o);
    TServerOptions so;
    so.limitrate = limitrate;
    server_ = std::make_unique<TNginxServer>(mode, root_.File("srv"), so);

    configs_ = "LauncherName=Launcher.exe\r\nLauncherFolder=\\\r\nVersionFileFolder=\\\r\n"
               "DownloadFolder=\\tmp\r\nRemoveDeletedFiles=true\r\nUnpackDevDB=false\r\n";
    servers_ = "1\r\n" + server_->BaseUrl();
    entries_[0] = {"RCDATA", "Configs", reinterpret_cast<const unsigned char*>(configs_.data()),
                   static_cast<int64_t>(configs_.size())};
    entries_[1] = {"RCDATA", "DownloadServers",
                   reinterpret_cast<const unsigned char*>(servers_.data()),
                   static_cast<int64_t>(servers_.size())};
    entries_[2] = {nullptr, nullptr, nullptr, 0};
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

  TTempDir root_, game_;
  testing::TChangeDir cd_{game_.Path()};
  std::unique_ptr<TNginxServer> server_;
  platform::TMemoryFirewallPolicy firewall_;
  std::string configs_, servers_;
  platform::TResourceEntry entries_[3];
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
// download stopped by the close parks its caller for good). After the close
// the pack on disk must mount and every file it lists must hold the bytes
// its digest names.
TEST_F(WorkflowFixture, CloseDuringAWorkflowLeavesThePackConsistent) {
  Start(TServerMode::Slow, 300 * 1024);
  for (int delayms : {30, 400, 1200, 2500}) {
    SCOPED_TRACE(delayms);
    fs::remove_all(game_.File("tmp"));
    fs::remove(game_.File("game_pak"));
    fs::remove(game_.File("game_pak.dir"));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int code = 0;
      try {
        logic_->LaunchRepair();
        std::this_thread::sleep_for(std::chrono::milliseconds(delayms));
        logic_->AppClose(true, 0);
        TPackDirRecord pack;
        if (!pack.MountReadOnly(game_.File("game_pak"))) code = 2;
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
    const std::string log = testing::ReadFileText(game_.File("Launcher.log"));
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

}  // namespace
}  // namespace vantrel
