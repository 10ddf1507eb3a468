#include "app/headless.h"

#include <poll.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/status_view.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "update/game_launch.h"
#include "update/workflow_thread.h"

namespace vantrel::app {

namespace {

// The page polls the status texts every 200 ms.
constexpr int kPollMs = 200;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int InterruptedExit(int sig) { return 128 + sig; }

// Whether the command's thread (the workflow, or the game launch for Play)
// has ended and left a working status behind: the outcome is written before
// the thread counts as ended, so a status read after that is its last word.
bool WorkflowEndedSilently(const TUpdateLogic& logic, THeadlessCommand command) {
  if (command == THeadlessCommand::Play) {
    if (logic.gamelaunchbusy.load()) return false;
  } else {
    const auto running = logic.WorkingThread();
    if (!running || !running->Finished()) return false;
    const bool working = OutcomeOfStatus(logic.GetStatus().StatusMessage) == TOutcome::Working;
    // A version check that handed over to an update or a repair names its
    // successor before it ends: a thread that is no longer the newest one
    // has not left the status behind.
    return working && logic.WorkingThread() == running;
  }
  return OutcomeOfStatus(logic.GetStatus().StatusMessage) == TOutcome::Working;
}

}  // namespace

TOutcome OutcomeOfStatus(const std::string& key) {
  if (key == "ApplicationReady") return TOutcome::Ready;
  if (key == "VersionCheckError" || key == "UpdateError" || key == "RepairError" ||
      key == "ClientCorrupted" || key == "LaunchError") {
    return TOutcome::Error;
  }
  return TOutcome::Working;
}

int RunHeadless(const TCommandLine& cl, TUpdateLogic& logic, const TTranslationTable& table,
                TTerminationSignals& signals) {
  const bool terminal = IsTerminal(stdout);
  TStatusView view(stdout, terminal, table, terminal ? TerminalColumns(stdout) : 80);

  // The close sequence ends with this event, on whatever thread ran it.
  // closedone orders the close's last step before this thread's use of the
  // descriptor and its destruction (a poll on the descriptor alone does not).
  platform::TEventDescriptor closefinished;
  std::atomic<bool> closedone{false};
  logic.FOnCloseFinished = [&closefinished, &closedone](int32_t) {
    closefinished.Set();
    closedone.store(true, std::memory_order_release);
  };

  // What Play needs is gathered before anything starts.
  std::string password;
  bool issave = false;
  if (cl.command == THeadlessCommand::Play) {
    if (logic.loadedsave && logic.loadedlogin == NormaliseLogin(cl.login)) {
      view.Note("Using the saved password of " + logic.loadedlogin + ".");
      password = logic.loadedpassword;
      issave = true;
    } else {
      // A typed password stays out of core dumps; its copies are wiped.
      platform::ProtectSecretsInMemory();
      TPasswordAnswer answer = ReadPasswordNoEcho("Password for " + cl.login + ": ", signals);
      if (answer.kind == TPasswordAnswer::TKind::NoTerminal) {
        std::fprintf(stderr, "No saved password for %s and no terminal to ask for one.\n",
                     cl.login.c_str());
        logic.AppClose(false, 0);
        return kExitError;
      }
      if (answer.kind == TPasswordAnswer::TKind::Interrupted) {
        logic.AppClose(false, 0);
        return InterruptedExit(answer.signal);
      }
      password.reserve(answer.password.size());
      password.assign(answer.password);
      platform::WipeSecret(answer.password);
      // Saving stays as it was: on when credentials were saved before.
      issave = logic.loadedsave;
    }
  }

  switch (cl.command) {
    case THeadlessCommand::Check:
      logic.LaunchVersionCheck();
      break;
    case THeadlessCommand::Repair:
      logic.LaunchRepair();
      break;
    case THeadlessCommand::Play:
      LaunchGameThread::Start(logic, cl.login, password, issave);
      break;
    case THeadlessCommand::None:
      return kExitUsage;
  }
  platform::WipeSecret(password);

  // Watch the state until an outcome; then close the launcher as the close
  // button would and wait for the close to finish.
  std::thread closer;
  int exitcode = -1;  // decided outcome, -1 while still working
  bool closing = false;
  bool interrupted = false;
  // Why the close failed (a save on a full disk), written by the close
  // thread before closedone is published.
  std::string closefailure;
  const auto startclose = [&] {
    closing = true;
    closer = std::thread([&logic, &closefailure, &closefinished, &closedone] {
      try {
        logic.AppClose(true, 0);
      } catch (const std::exception& e) {
        closefailure = e.what();
        if (closefailure.empty()) closefailure = "unknown error";
        closefinished.Set();
        closedone.store(true, std::memory_order_release);
      }
    });
  };
  for (;;) {
    pollfd fds[2] = {{signals.Handle(), POLLIN, 0}, {closefinished.Handle(), POLLIN, 0}};
    const int rc = ::poll(fds, 2, kPollMs);
    if (rc > 0 && (fds[0].revents & POLLIN) != 0) {
      if (const int sig = signals.Take(); sig != 0) {
        if (interrupted) {
          // A second request: leave without waiting any longer.
          view.Finish();
          std::fprintf(stderr, "Interrupted again; leaving at once.\n");
          std::fflush(nullptr);
          std::_Exit(InterruptedExit(sig));
        }
        interrupted = true;
        view.Note("Interrupted: closing the launcher...");
        exitcode = InterruptedExit(sig);
        if (!closing) startclose();
      }
    }
    if (exitcode < 0) {
      const TStatusSnapshot status = logic.GetStatus();
      logic.GetButtons();  // the page polls both; the front end needs the status only
      view.Show(status, NowMs());
      switch (OutcomeOfStatus(status.StatusMessage)) {
        case TOutcome::Ready:
          exitcode = kExitReady;
          break;
        case TOutcome::Error:
          exitcode = kExitError;
          break;
        case TOutcome::Working:
          // Finished is read before closedone: a self-update ends its own
          // run with a close, which is no silent end.
          if (WorkflowEndedSilently(logic, cl.command) && !closedone.load(std::memory_order_acquire)) {
            view.Note("The launcher's work ended without an outcome.");
            exitcode = kExitError;
          }
          break;
      }
      if (exitcode >= 0 && !closing) startclose();
    }
    if (closefinished.WaitFor(0) && closedone.load(std::memory_order_acquire)) {
      // A close nobody here asked for: the game was started (the status
      // went through "GameStarting"), or the launcher handed over to a new
      // one. Both end this launcher's work well.
      if (exitcode < 0) exitcode = kExitReady;
      break;
    }
  }
  if (closer.joinable()) closer.join();
  if (!closefailure.empty()) {
    view.Finish();
    std::fprintf(stderr, "Closing the launcher failed: %s\n", closefailure.c_str());
    if (logic.gamelaunchthread.joinable()) logic.gamelaunchthread.join();
    return kExitError;
  }
  if (exitcode == kExitError) {
    if (const std::string why = logic.LastFailure(); !why.empty()) {
      view.Finish();
      std::fprintf(stderr, "Reason: %s\n", why.c_str());
    }
  }
  // After a self-update the new launcher goes on with the same command; this
  // one waits for it and ends as it ends, passing on a stop request.
  if (const int child = logic.newlauncherpid.load(); child > 0 && !interrupted) {
    view.Note("Continuing in the updated launcher...");
    view.Finish();
    for (;;) {
      const int code = platform::WaitProcess(child, kPollMs);
      if (code != -2) return code < 0 ? kExitError : code;
      if (const int sig = signals.Take(); sig != 0) ::kill(child, sig);
    }
  }
  view.Finish();
  // A game launch still holding its ticket lets go of it now.
  if (logic.gamelaunchthread.joinable()) logic.gamelaunchthread.join();
  return exitcode;
}

}  // namespace vantrel::app
