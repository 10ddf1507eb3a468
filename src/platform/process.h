// Starting other programs.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace vantrel::platform {

struct TProcessOptions {
  std::string workingfolder;        // empty: the current folder
  bool newprocessgroup = false;     // the child leads a process group of its own
  std::vector<int> inheritfds;      // descriptors the child keeps (others are close-on-exec)
};

// Starts path (system path rules of files.h) with argv[0] = path followed by
// args and the inherited environment. Returns the process id; raises
// EOSError naming the program when it cannot be started.
pid_t StartProcess(const std::string& path, const std::vector<std::string>& args,
                   const TProcessOptions& options = {});

// Waits for a child started by StartProcess; its exit code, 128 + signal
// number when it was killed, -1 when it cannot be waited for.
int WaitProcess(pid_t pid);

}  // namespace vantrel::platform
