#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"

extern char** environ;

namespace vantrel::platform {

pid_t StartProcess(const std::string& path, const std::vector<std::string>& args,
                   const TProcessOptions& options) {
  const std::string program = ToSystemPath(path);
  std::vector<std::string> argvtext;
  argvtext.push_back(program);
  argvtext.insert(argvtext.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvtext) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  if (!options.workingfolder.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, ToSystemPath(options.workingfolder).c_str());
  }
  for (int fd : options.inheritfds) {
    // Re-duplicating a descriptor onto itself clears its close-on-exec flag
    // in the child only.
    posix_spawn_file_actions_adddup2(&actions, fd, fd);
  }
  short flags = 0;
  if (options.newprocessgroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attr, 0);
  }
  posix_spawnattr_setflags(&attr, flags);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) throw EOSError("Cannot start \"" + program + "\"", rc);
  return pid;
}

int WaitProcess(pid_t pid) {
  int status = 0;
  for (;;) {
    if (::waitpid(pid, &status, 0) >= 0) break;
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace vantrel::platform
