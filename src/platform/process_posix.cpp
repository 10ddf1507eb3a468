#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <string_view>

#include "platform/errors.h"
#include "platform/process.h"

extern char** environ;

namespace vantrel::platform {

namespace {

// Owns what posix_spawn needs and frees it on every path.
struct TSpawnState {
  posix_spawn_file_actions_t actions{};
  posix_spawnattr_t attr{};
  bool hasactions = false;
  bool hasattr = false;
  ~TSpawnState() {
    if (hasactions) posix_spawn_file_actions_destroy(&actions);
    if (hasattr) posix_spawnattr_destroy(&attr);
  }
};

void Check(int rc, const std::string& what) {
  if (rc != 0) throw EOSError(what, rc);
}

}  // namespace

int SpawnProcess(const TSpawnOptions& options) {
  TSpawnState s;
  Check(posix_spawn_file_actions_init(&s.actions), "posix_spawn_file_actions_init");
  s.hasactions = true;
  Check(posix_spawnattr_init(&s.attr), "posix_spawnattr_init");
  s.hasattr = true;

  // A descriptor duplicated onto itself loses its close-on-exec flag in the
  // child only, so our own descriptors stay private to every other child.
  for (const int fd : options.inheritfds) {
    Check(posix_spawn_file_actions_adddup2(&s.actions, fd, fd), "posix_spawn_file_actions_adddup2");
  }
  if (!options.currentfolder.empty()) {
    Check(posix_spawn_file_actions_addchdir_np(&s.actions, options.currentfolder.c_str()),
          "posix_spawn_file_actions_addchdir_np");
  }

  // The launcher may block signals to receive them through a descriptor;
  // the child starts with none blocked and the default actions.
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD})
    sigaddset(&defaults, sig);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.newprocessgroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    Check(posix_spawnattr_setpgroup(&s.attr, 0), "posix_spawnattr_setpgroup");
  }
  Check(posix_spawnattr_setsigmask(&s.attr, &none), "posix_spawnattr_setsigmask");
  Check(posix_spawnattr_setsigdefault(&s.attr, &defaults), "posix_spawnattr_setsigdefault");
  Check(posix_spawnattr_setflags(&s.attr, flags), "posix_spawnattr_setflags");

  std::vector<char*> argv;
  for (const std::string& a : options.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    bool replaced = false;
    for (const std::string& extra : options.extraenv) {
      const auto eq = extra.find('=');
      if (entry.substr(0, eq + 1) == std::string_view(extra).substr(0, eq + 1)) replaced = true;
    }
    if (!replaced) envp.push_back(*e);
  }
  for (const std::string& e : options.extraenv) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_t pid = 0;
  const int rc =
      posix_spawn(&pid, options.program.c_str(), &s.actions, &s.attr, argv.data(), envp.data());
  if (rc != 0) throw EOSError("Cannot start \"" + options.program + "\"", rc);
  return static_cast<int>(pid);
}

int WaitProcess(int pid, int timeoutms) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    int status = 0;
    const pid_t got = ::waitpid(pid, &status, timeoutms < 0 ? 0 : WNOHANG);
    if (got == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (got < 0 && errno != EINTR) return -1;
    if (got == 0) {
      if (std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(timeoutms)) return -2;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

std::vector<std::string> SplitCommandLine(const std::string& commandline) {
  std::vector<std::string> args;
  std::string current;
  bool inarg = false;
  bool quoted = false;
  for (const char c : commandline) {
    if (c == '"') {
      quoted = !quoted;
      inarg = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inarg) args.push_back(current);
      current.clear();
      inarg = false;
    } else {
      current += c;
      inarg = true;
    }
  }
  if (inarg) args.push_back(current);
  return args;
}

void ProtectSecretsInMemory() {
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
    throw EOSError("Cannot keep the process out of core dumps", errno);
  }
}

void WipeSecret(std::string& text) {
  if (text.capacity() > 0) ::explicit_bzero(text.data(), text.capacity());
  text.clear();
}

}  // namespace vantrel::platform
