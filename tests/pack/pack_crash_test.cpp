// Kills a process that is changing a pack (SIGKILL at random moments) and
// checks after each kill that the pack, mounted again, still lists every
// file that was not being changed with its digest, and that recomputing
// digests exposes every file whose bytes no longer match.
//
// VANTREL_PACK_CRASH_KILLS sets the kills per sector size (default 100 at
// 512 and 50 at 4096); VANTREL_PACK_CRASH_SEED repeats a run.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "pack/pack_dir_record.h"
#include "pack_test_util.h"
#include "platform/files.h"
#include "support/temp_dir.h"

extern char** environ;

namespace vantrel {
namespace {

using testing::CrashContent;
using testing::MD5Of;
using testing::ReadFileText;
using testing::TTempDir;

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

// One run of the child, killed after a while.
class TChild {
 public:
  TChild(const std::string& pack, const std::string& journal, uint64_t seed, int sector,
         bool park = false) {
    const std::string exe = PACK_CRASH_CHILD;
    const std::string seedtext = std::to_string(seed);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).rfind("VANTREL_SECTOR_SIZE=", 0) != 0) env.emplace_back(*e);
    }
    env.push_back("VANTREL_SECTOR_SIZE=" + std::to_string(sector));
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {exe, pack, journal, seedtext};
    if (park) args.push_back("park");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, exe.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
      pid_ = -1;
    }
  }
  ~TChild() { Kill(); }
  bool Started() const { return pid_ > 0; }
  // SIGKILL; returns true when the child was still running (it never ends
  // on its own unless something failed).
  bool Kill() {
    if (pid_ <= 0) return false;
    int status = 0;
    const bool running = ::waitpid(pid_, &status, WNOHANG) == 0;
    if (running) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return running;
  }

 private:
  pid_t pid_ = -1;
};

struct TFigures {
  int kills = 0;
  int files_checked = 0;
  int recoveries = 0;
  int exposed = 0;
  int lost = 0;
};

void RunCrashes(int sector, int kills, TFigures& fig) {
  TTempDir tmp;
  const std::string pack = tmp.Path() + "\\game_pak";
  const std::string journal = tmp.File("journal");
  platform::OverrideSectorSize(sector);
  const uint64_t seed = static_cast<uint64_t>(
      EnvInt("VANTREL_PACK_CRASH_SEED", static_cast<int>(std::random_device{}() & 0x7FFFFFFF)));
  std::printf("crash test at S = %d, seed %llu\n", sector, static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  std::map<std::string, uint64_t> model;  // what the pack holds when no child runs

  for (int k = 0; k < kills; ++k) {
    SCOPED_TRACE("kill " + std::to_string(k));
    platform::RemoveFileAt(journal);
    {
      TChild child(pack, journal, rng(), sector);
      ASSERT_TRUE(child.Started());
      // The kill falls at a random moment after the child has begun to work,
      // however slowly it started (sanitizers, a busy machine).
      for (int wait = 0; wait < 20000 && platform::FileSizeOf(journal) <= 0; ++wait) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 40000));
      ASSERT_TRUE(child.Kill()) << "the child ended on its own";
    }
    ++fig.kills;

    // Replay the journal: the state at the last finished save, and every
    // name touched after it.
    std::map<std::string, uint64_t> current = model;
    std::map<std::string, uint64_t> saved = model;
    std::map<std::string, std::set<uint64_t>> versions;  // candidates per touched name
    const std::string text = platform::FileExists(journal) ? ReadFileText(journal) : "";
    std::istringstream in(text.substr(0, text.rfind('\n') + 1));
    for (std::string line; std::getline(in, line);) {
      std::istringstream w(line);
      std::string op, name;
      uint64_t v = 0;
      w >> op;
      if (op == "add") {
        w >> name >> v;
        if (versions.count(name) == 0 && saved.count(name)) versions[name].insert(saved[name]);
        versions[name].insert(v);
        current[name] = v;
      } else if (op == "del") {
        w >> name;
        if (versions.count(name) == 0 && saved.count(name)) versions[name].insert(saved[name]);
        versions[name];
        current.erase(name);
      } else if (op == "saved") {
        saved = current;
        versions.clear();
      }
    }

    if (const char* keep = std::getenv("VANTREL_PACK_CRASH_KEEP")) {
      platform::RemoveFolderTree(keep);
      platform::ForceFolders(keep);
      testing::WriteFileBytes(std::string(keep) + "/game_pak",
                              testing::ReadFileBytes(tmp.File("game_pak")));
      if (platform::FileExists(tmp.File("game_pak.dir")))
        testing::WriteFileBytes(std::string(keep) + "/game_pak.dir",
                                testing::ReadFileBytes(tmp.File("game_pak.dir")));
    }
    TPackDirRecord dir;
    dir.Mount(pack);
    ASSERT_TRUE(dir.IsMounted()) << dir.loaderror;
    if (dir.isrecovered) ++fig.recoveries;
    for (const auto& [name, rec] : dir.filelist) {
      EXPECT_TRUE(saved.count(name) || versions.count(name)) << "unknown file " << name;
    }
    std::map<std::string, uint64_t> next;
    for (int i = 0; i < 40; ++i) {
      const std::string name = "c/" + std::to_string(i);
      if (versions.count(name) == 0) {
        // Not being changed: exactly as saved.
        if (saved.count(name) == 0) {
          EXPECT_FALSE(dir.IsFileExist(name)) << name << " came back";
          continue;
        }
        ++fig.files_checked;
        const TBytes want = MD5Of(CrashContent(saved[name]));
        const bool ok = dir.IsFileExist(name) && dir.GetFileDigest(name) == want &&
                        dir.ComputeFileDigest(name) == want;
        if (!ok) ++fig.lost;
        if (!ok && std::getenv("VANTREL_PACK_CRASH_KEEP")) {
          ADD_FAILURE() << name;
          return;
        }
        EXPECT_TRUE(ok) << name << " was not being changed and is lost or damaged (listed "
                        << dir.IsFileExist(name) << ", stored digest right "
                        << (dir.GetFileDigest(name) == want) << ", bytes right "
                        << (dir.ComputeFileDigest(name) == want) << ", recovered "
                        << dir.isrecovered << ")\n"
                        << text;
        next[name] = saved[name];
        continue;
      }
      if (!dir.IsFileExist(name)) continue;
      // Being changed: whatever it holds, its recomputed digest tells.
      const TBytes actual = dir.ComputeFileDigest(name);
      if (dir.GetFileDigest(name) != actual) ++fig.exposed;
      dir.RecalculateFileDigest(name);
      EXPECT_EQ(dir.GetFileDigest(name), actual) << name;
      bool known = false;
      for (uint64_t v : versions[name]) {
        if (MD5Of(CrashContent(v)) == actual) {
          next[name] = v;
          known = true;
          break;
        }
      }
      if (!known) dir.RemoveFile(name);  // damaged: a repair fetches it again
    }
    dir.Dismount();
    model = next;
  }

  // Last, a kill that certainly finds the directory overwritten by data
  // added after the save: the sidecar brings back every saved file.
  platform::RemoveFileAt(journal);
  {
    TChild child(pack, journal, 0, sector, true);
    ASSERT_TRUE(child.Started());
    for (int wait = 0; wait < 120000; ++wait) {
      if (platform::FileExists(journal) && ReadFileText(journal) == "parked\n") break;
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    ASSERT_EQ(ReadFileText(journal), "parked\n");
    ASSERT_TRUE(child.Kill()) << "the parked child ended on its own";
  }
  ++fig.kills;
  TPackDirRecord dir;
  dir.Mount(pack);
  ASSERT_TRUE(dir.IsMounted()) << dir.loaderror;
  EXPECT_TRUE(dir.isrecovered);
  if (dir.isrecovered) ++fig.recoveries;
  EXPECT_FALSE(dir.IsFileExist("park/file"));
  EXPECT_EQ(dir.filelist.size(), model.size());
  for (const auto& [name, version] : model) {
    ++fig.files_checked;
    const TBytes want = MD5Of(CrashContent(version));
    const bool ok = dir.IsFileExist(name) && dir.GetFileDigest(name) == want &&
                    dir.ComputeFileDigest(name) == want;
    if (!ok) ++fig.lost;
    EXPECT_TRUE(ok) << name << " lost after the parked kill";
  }
  dir.Dismount();
  platform::OverrideSectorSize(std::nullopt);
}

TEST(PackCrash, KilledWhileChangingFiles) {
  const int kills = EnvInt("VANTREL_PACK_CRASH_KILLS", 0);
  TFigures fig;
  RunCrashes(512, kills > 0 ? kills : 100, fig);
  RunCrashes(4096, kills > 0 ? kills : 50, fig);
  std::printf(
      "kills %d, files checked %d, recoveries from the sidecar %d, stale digests exposed %d, "
      "files lost %d\n",
      fig.kills, fig.files_checked, fig.recoveries, fig.exposed, fig.lost);
  RecordProperty("kills", fig.kills);
  RecordProperty("recoveries", fig.recoveries);
  EXPECT_EQ(fig.lost, 0);
  EXPECT_GE(fig.recoveries, 2);  // the two parked kills at least
}

}  // namespace
}  // namespace vantrel
