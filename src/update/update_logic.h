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
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "download/server_trust.h"
#include "pack/pack_file_record.h"
#include "platform/firewall.h"
#include "platform/process.h"
#include "platform/resources.h"
#include "platform/shared_memory.h"
#include "platform/stream.h"
#include "versions/release_keys.h"
#include "versions/release_record.h"
#include "versions/update_list.h"

namespace vantrel {

class TDownloadManager;
struct TFileDownload;
class TUpdateList;
class TWorkflowThread;

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
  // The language in use ("en", "ru", ...); any thread.
  std::string LoadedLang() const;

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
  // "UpdateReady", then the client update starts (LaunchUpdate).
  void ShowVersionCheckUpdate();
  void ShowRepairError();
  void ShowRepairSuccess();
  void ShowUpdateError();
  void ShowUpdateSuccess();

  TStatusSnapshot GetStatus() const;
  TButtonsSnapshot GetButtons() const;
  // Why the last workflow that failed failed: its log line, or the text of
  // the error that ended it. Empty while none has failed. Any thread.
  std::string LastFailure() const;

  // Text forms of the status display (the locale's decimal separator).
  std::string FormatSpeed(int64_t bytescount) const;
  std::string FormatSize(int64_t bytes) const;

  // --- Firewall ------------------------------------------------------------
  // Makes sure an outbound TCP rule named caption exists for executable.
  // Never raises; every failure is dropped.
  void AddExceptionToFirewall(const std::string& caption, const std::string& executable);

  // --- Workflows (ours, not the pack's or the manager's threads) -----------
  // Each Launch starts its workflow thread and returns at once. A call while
  // another workflow is still running is refused (false, nothing started),
  // so two workflows never share the pack; a workflow handing over to the
  // next one (version check to update or repair) is not refused.
  bool LaunchVersionCheck();
  bool LaunchUpdate();
  bool LaunchRepair();
  // Loads the installed client's version list into curlist; the load result.
  bool LoadLocalVersion();
  // The file-downloaded handler of the update and the repair: unpacks one
  // finished file and copies it into the pack. Never raises.
  void ProcessDownloadedFile(const std::string& fname, TFileDownload& tdf);
  // The close sequence: stops the workflow and the downloads, unmounts the
  // pack, closes the log, then calls FOnCloseFinished(closedelay). Runs on
  // the calling thread (never the UI thread).
  void AppClose(bool showclosemsg, int32_t closedelay);
  // Starts CloseThread, which runs AppClose(showclosemsg, closedelay). A
  // close that fails is logged (LastFailure) and still ends with
  // FOnCloseFinished, so the window closes.
  void LaunchClose(bool showclosemsg, int32_t closedelay);

  // --- Client file system (the facade over the process's pack) -------------
  bool ClientFileSystemInit();
  bool ClientFileSystemUninit();
  bool ClientFileSystemMount();
  bool ClientFileSystemSave();
  bool ClientFileSystemUnmount();
  bool ClientFileSystemIsFileExist(const std::string& fname);
  TBytes ClientFileSystemGetFileHash(const std::string& fname);
  TBytes ClientFileSystemGetRecalculatedFileHash(const std::string& fname);
  bool ClientFileSystemCopyFile(const std::string& fname, TStream* stream);
  bool ClientFileSystemRemoveFile(const std::string& fname);
  bool ClientFileSystemFinishUpdate();
  std::vector<std::string> ClientFileSystemGetFileList();

  // Waits of the workflows, shortened by tests.
  struct TTimings {
    int oldlauncherwaitms = 2000;   // before deleting a previous launcher
    int closepollms = 500;          // between download stop requests
    int folderattempts = 50;        // bound on creating an extraction folder
    int packsaveintervalms = 2000;  // pack saves while files arrive
  } timings;

  // Downloads of one file in a workflow whose result fails the file's check
  // (a list digest no mirror's bytes match, a pack that cannot take the
  // file): after as many, fetching it again would change nothing and the
  // workflow fails.
  static constexpr int CheckPassesPerFile = 3;

  // What unpacking a downloaded file may spend, lowered by tests.
  struct TUnpackLimits {
    // A file that unpacks to more than the pack can store for one file is
    // refused as soon as its output passes this.
    int64_t maxfilesize = kPackMaxFileSize;
    // A file that arrived in memory is unpacked in memory up to this size;
    // a larger one is unpacked again into the download folder.
    int64_t inmemorysize = 16 * 1024 * 1024;
  } unpacklimits;

  // --- Signed releases (a launcher built with release keys) -----------------
  // The keys of the configuration's "ReleaseKeys" file; empty when the
  // launcher was built without one, and then no release record is fetched
  // and every workflow runs as it always has.
  std::optional<TReleaseKeyList> releasekeys;
  // The authorities of HTTPS download servers: the configuration's
  // "ServerCA" file, or the system's store when it has none.
  TServerTrust servertrust;
  // Seconds since 1970 (UTC) for the record's expiry; tests set their own.
  std::function<int64_t()> wallclock;
  // Name of the file beside "client.version" that keeps the highest update
  // version this client has accepted.
  static constexpr const char* kAcceptedReleaseFile = "release.accepted";
  // The highest update version this client has accepted (0: none, also
  // when the file is missing or unreadable).
  int32_t AcceptedRelease();

  // The new launcher's process id once the self-update started it (0 before).
  std::atomic<int> newlauncherpid{0};

  // --- Fields ----------------------------------------------------------------
  std::string loadedlogin;
  std::string loadedpassword;
  bool loadedsave = false;

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

  std::unique_ptr<TUpdateList> curlist;          // written by the workflow thread that runs
  std::unique_ptr<TDownloadManager> DownloadManager;  // created by the first version check
  // The workflow thread started last; guarded by workinglock_.
  std::shared_ptr<TWorkflowThread> WorkingThread() const;

 private:
  enum class TWorkflowKind { VersionCheck, Update, Repair };
  // Starts run as the new workingthread unless another workflow still runs,
  // or the close has begun, or the caller is a workflow told to stop (a
  // hand-over from it would start work behind the close). A run that ends
  // by an exception reports kind's error outcome.
  bool StartWorkflow(TWorkflowKind kind, std::function<void(TWorkflowThread&)> run);
  // The outcome of a workflow that an exception ended: a log line, the
  // kind's error outcome (Repair stays offered) and LastFailure.
  void ReportWorkflowFailure(TWorkflowKind kind, TWorkflowThread& self, const std::string& what);
  // Logs line and keeps it as LastFailure; the caller then shows its outcome.
  void NoteFailure(const std::string& line);
  // Creates the one download manager unless it exists.
  void EnsureDownloadManager();
  void VersionCheckRun(TWorkflowThread& self);
  void UpdateRun(TWorkflowThread& self);
  void RepairRun(TWorkflowThread& self);
  // Fetches and loads the published version list and mounts the pack, the
  // steps the update and the repair share; false after reporting through
  // error, or when the workflow was told to stop. With release keys the
  // list must match the trusted release record (fetched first when this
  // workflow holds none).
  bool FetchNewListAndMount(TWorkflowThread& self, std::unique_lock<std::mutex>& packuse,
                            TMemoryStream& newbytes, TUpdateList& newlist, bool setasidebroken,
                            const std::function<void(const std::string&)>& error);
  // With release keys: fetches "release.version", checks its form, signer,
  // signature, expiry and that it is not older than AcceptedRelease(), and
  // holds it as the trusted release. False after error(the failed check),
  // with no release held. The caller must not hold packuselock_.
  bool FetchTrustedRelease(const std::function<void(const std::string&)>& error);
  // The trusted release held by the last FetchTrustedRelease, if any.
  std::optional<TReleaseRecord> TrustedRelease() const;
  void ForgetTrustedRelease();
  // Whether bytes are the file the trusted release names (size and
  // SHA-256); false after error("<name> does not match the release record").
  bool MatchesRelease(const std::string& name, const TFileFingerprint& expected,
                      std::span<const uint8_t> bytes,
                      const std::function<void(const std::string&)>& error);
  // Raises AcceptedRelease() to version (never lowers it), replacing the
  // file durably. False (logged, not raised) when the file could not be
  // written; true when it holds version or more.
  bool AcceptRelease(int32_t version);
  // Logs the servers the probe dropped (why a fetch found no server).
  void LogDroppedServers();
  // wallclock(), or the system's clock.
  int64_t WallClockNow() const;
  // The shared download loop and finish of the update and the repair.
  bool DownloadAndVerify(TWorkflowThread& self, std::unique_lock<std::mutex>& packuse,
                         std::map<std::string, const TUpdateFile*> downloadset, bool recalculate);
  // Extracts the on-disk folders, unmounts the pack and stores the new list.
  // False, with the old "client.version" kept, when the extraction failed
  // (after NoteFailure; the caller shows its error outcome).
  bool FinishClientUpdate(std::unique_ptr<TUpdateList> newlist, const TMemoryStream& newbytes,
                          bool createfolder);
  // Mounts the pack; for the repair, a pack whose directory cannot be read
  // is set aside as "game_pak.broken" and a new one is made.
  bool MountForWorkflow(bool setasidebroken);
  // Unpacks a downloaded transfer file (in tdf.stream or in the download
  // folder) within unpacklimits. Raises; EUnpackLimit for a file too large.
  void UnpackDownloadedFile(const std::string& fname, TFileDownload& tdf);
  // ProcessDownloadedFile; with expected (a launcher built with release
  // keys), a file whose unpacked bytes do not have that MD5 digest is
  // dropped before it reaches the pack.
  void StoreDownloadedFile(const std::string& fname, TFileDownload& tdf, const TBytes* expected);
  // Whether the unpacked file (tdf.stream, or the file in the download
  // folder) has the digest expected; a file that does not is deleted.
  bool UnpackedFileMatches(const std::string& fname, TFileDownload& tdf, const TBytes& expected);
  // The self-update's swap: the checked ".new" file takes the launcher's
  // place in one rename. False after NoteFailure.
  bool ReplaceLauncher(const std::string& launcherpath);
  bool ForceFolderBounded(const std::string& folder);

  // The release record the running workflows trust; guarded by releaselock_.
  mutable std::mutex releaselock_;
  std::optional<TReleaseRecord> trustedrelease_;

  mutable std::mutex workinglock_;
  std::shared_ptr<TWorkflowThread> workingthread;
  // Held by the update and repair threads whenever they touch the pack, and
  // released only while they wait inside the download manager; the close
  // sequence takes it before it unmounts the pack, so an unmount never cuts
  // through a workflow's pack operation.
  std::mutex packuselock_;
  // Held while one downloaded file goes into the pack; the close sequence
  // takes it to set closed_, after which no file reaches the pack.
  std::mutex copylock_;
  std::atomic<bool> closed_{false};
  // When the event thread last saved the pack (guarded by copylock_).
  std::chrono::steady_clock::time_point lastpacksave_{};
  // A downloaded file refused for its unpacked size in the current download
  // run (guarded by copylock_): the run's workflow fails with it.
  std::string refusedfile_;

  std::string ReadResourceText(const char* name) const;
  bool HasResource(const char* name) const;
  std::string FormatFixed(double value, int decimals, const char* unit) const;

  TStartupContext context_;
  char decimalseparator_;

  // Guards the four status texts, loadedlang_ and lastfailure_; held only
  // while one is copied.
  mutable std::mutex statuslock_;
  std::string loadedlang_;
  std::string lastfailure_;
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
