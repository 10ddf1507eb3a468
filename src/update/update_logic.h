// TUpdateLogic: the launcher's one state object. Start-up creates it and it
// lives until the process ends. It holds the built-in configuration, the
// saved language and credentials, the client's folder layout, the status
// fields the page polls, and the log.
//
// Threads: the configuration fields are written by LoadInitialData on the UI
// thread before the window exists and are read-only afterwards. The status
// fields are written by the workflow threads and the download manager's
// status thread and read by the UI thread: the texts are guarded by
// statuslock, the integer and the button flags are atomics. The log takes
// loglock around each line.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/firewall.h"
#include "platform/resources.h"
#include "platform/shared_memory.h"
#include "platform/stream.h"

namespace vantrel {

// Called at the end of the close sequence with the delay, in seconds, after
// which the page closes its window.
using TOnCloseFinished = std::function<void(int32_t closedelay)>;

// A name and value list whose names compare without regard to case.
class TConfigList {
 public:
  // Sets a name, replacing the value of an existing one.
  void Set(const std::string& name, const std::string& value);
  // The value of a name; empty when absent.
  std::string Value(const std::string& name) const;
  bool Has(const std::string& name) const;
  size_t Count() const { return items_.size(); }
  void Clear() { items_.clear(); }

 private:
  std::vector<std::pair<std::string, std::string>> items_;
};

// What start-up hands to the state object: where the executable is, its
// arguments (without the program name), its resources and the firewall
// policy. Tests pass their own.
struct TStartupContext {
  std::string exepath;
  std::vector<std::string> args;
  const platform::TResourceTable* resources = nullptr;
  platform::IFirewallPolicy* firewall = nullptr;
  // The locale's decimal separator for the status texts; 0 = the user's locale.
  char decimalseparator = 0;

  // The running executable, its command line, its own resources and the
  // system's firewall policy.
  static TStartupContext FromProcess(int argc, char** argv);
};

// A copy of the status texts and progress, taken under one lock.
struct TStatusSnapshot {
  std::string StatusMessage;
  std::string StatusMessageValue;
  int32_t ProgressBarChange = 0;
  std::string SpeedMessage;
  std::string SizeMessage;
};

struct TButtonsSnapshot {
  bool RepairBtnState = false;
  bool PlayBtnState = false;
  bool UpdateBtnState = false;
  bool CancelBtnState = false;
};

class TUpdateLogic {
 public:
  explicit TUpdateLogic(TStartupContext context);
  ~TUpdateLogic();
  TUpdateLogic(const TUpdateLogic&) = delete;
  TUpdateLogic& operator=(const TUpdateLogic&) = delete;

  // --- Configuration and settings -----------------------------------------
  // Opens the log, sets "LoadingStatus", reads the configuration, language
  // and credentials and adds the firewall rule. Raises when the log cannot
  // be created or the thread count of "DownloadServers" is not a number.
  void LoadInitialData();
  // Reads "Configs", "lang.dat" and "DownloadServers".
  void LoadConfigs();
  // Reads "credits.dat"; read errors leave no credentials. Always true.
  bool LoadCredits();
  // Writes or deletes "credits.dat" (owner-only). Raises on write errors.
  bool SaveCredits(const std::string& login, const std::string& password, bool issave);
  // Stores the page language in loadedlang and "lang.dat". Raises on errors.
  void LangSave(const std::string& lang);

  // --- Log -----------------------------------------------------------------
  // Creates the log next to the executable when debugenabled. Raises EFOpenError.
  void InitLogFile();
  void UnInitLogFile();
  // One whole line, from any thread. Raises EWriteError when the write fails.
  void LogMessage(const std::string& text);
  // Path of the log file (the executable's path with ".log").
  std::string LogFileName() const;

  // --- Status (written by any thread, read by the UI thread) ----------------
  void OnStatusMessage(const std::string& msg, const std::string& msgval = std::string());
  void OnProgressBarChange(int32_t percent);
  void OnSpeedMessage(const std::string& msg);
  void OnSizeMessage(const std::string& msg);
  void OnChangeButtonsState(bool repair, bool play, bool update, bool cancel);
  void HideProgressBarSmall();
  void ShowProgressBarSmall();
  void ShowProgressSmall(int64_t cur, int64_t max);
  void ShowSpeed(int64_t bytescount);
  void HideSpeed();
  void ShowSize(int64_t cur, int64_t max, bool isfilesize);
  void HideSize();
  // The download manager's status event.
  void UpdateDownStatusSmall(int64_t downsize, int64_t fullsize, int64_t speed, bool speedupdated,
                             bool isfilesize);
  void ShowVersionCheckError();
  void ShowVersionCheckSuccess();
  void ShowRepairError();
  void ShowRepairSuccess();
  void ShowUpdateError();
  void ShowUpdateSuccess();

  TStatusSnapshot GetStatus() const;
  TButtonsSnapshot GetButtons() const;

  // Text forms of the status display (the locale's decimal separator).
  std::string FormatSpeed(int64_t bytescount) const;
  std::string FormatSize(int64_t bytes) const;

  // --- Firewall ------------------------------------------------------------
  // Makes sure an outbound TCP rule named caption exists for executable.
  // Never raises; every failure is dropped.
  void AddExceptionToFirewall(const std::string& caption, const std::string& executable);

  // --- Fields ----------------------------------------------------------------
  std::string loadedlogin;
  std::string loadedpassword;
  bool loadedsave = false;
  std::string loadedlang;

  TOnCloseFinished FOnCloseFinished;

  std::string launchername;
  std::string launcherfilefolder;
  std::string versionfilefolder;
  std::string downloadfolder;
  std::string gamefolder;
  TConfigList Configs;
  std::vector<std::string> DownloadServers;
  int32_t DownloadThreadsPerSever = 0;
  uint32_t gameprocid = 0;
  int32_t clientversiondownsize = 0;
  bool debugenabled = false;

 private:
  std::string ReadResourceText(const char* name) const;
  std::string FormatFixed(double value, int decimals, const char* unit) const;

  TStartupContext context_;
  char decimalseparator_;

  // Guards the four status texts; held only while one is copied.
  mutable std::mutex statuslock_;
  std::string StatusMessage_;
  std::string StatusMessageValue_;
  std::string SpeedMessage_;
  std::string SizeMessage_;
  std::atomic<int32_t> ProgressBarChange_{0};
  std::atomic<bool> RepairBtnState_{false};
  std::atomic<bool> PlayBtnState_{false};
  std::atomic<bool> UpdateBtnState_{false};
  std::atomic<bool> CancelBtnState_{false};

  // Guards LogFile and every line written to it.
  std::mutex loglock_;
  std::optional<TFileStream> LogFile;

  // ==== Game launch, close and workflow commands =========================
  // Kept last: the launch thread below must be joined before the fields
  // above are destroyed.
 public:
  // Play on the calling thread: saves the credentials, hands the game its
  // ticket and command line, waits until the game takes the ticket (at most
  // gameticketwaitms), then closes the launcher (AppClose(false, 30)). A game
  // that cannot be started gives "LaunchError" with every button off.
  // Raises when "credits.dat" cannot be written or deleted (game_launch.cpp).
  void LaunchGame(const std::string& login, const std::string& password, bool issave);
  // The close sequence, on the calling thread; ends with
  // FOnCloseFinished(closedelay) (close_sequence.cpp).
  void AppClose(bool showclosemsg, int32_t closedelay);
  // The workflows the page starts; each returns at once.
  void LaunchVersionCheck();
  void LaunchRepair();

  // Name of the ticket's shared memory object; tests choose their own.
  std::string ticketname = "myrefall_auth_ticket_map";
  // Longest wait, in milliseconds, for the game to take its ticket.
  int32_t gameticketwaitms = 60000;
  // Arguments for a launcher started in place of this one (self-update):
  // empty for the window, the same headless command for the front end.
  std::vector<std::string> restartargs;
  // Set by AppClose as it starts: a game launch waiting for its ticket to
  // be taken stops waiting, releases it and leaves the close to AppClose.
  platform::TEventDescriptor closerequested;

  // Whether a launch runs: set by LaunchGameThread::Start, cleared by the
  // launch thread as it ends. The thread object itself is touched only by
  // the thread that starts launches (and joined by the destructor).
  std::atomic<bool> gamelaunchbusy{false};
  std::jthread gamelaunchthread;
};

}  // namespace vantrel
