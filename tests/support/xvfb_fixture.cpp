#include "support/xvfb_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace vantrel::testing {

TXvfb::TXvfb() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    // Moved out of the way first: dup2 onto itself would keep close-on-exec.
    ::dup2(::fcntl(fds[1], F_DUPFD_CLOEXEC, 10), 3);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::close_range(4, ~0u, 0);
    ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten",
             "tcp", "-noreset", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  for (;;) {
    if (::poll(&p, 1, 20000) <= 0) break;
    char c;
    const ssize_t n = ::read(fds[0], &c, 1);
    if (n <= 0 || c == '\n') break;
    number += c;
  }
  ::close(fds[0]);
  if (number.empty()) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    throw std::runtime_error("Xvfb did not start (is the xvfb package installed?)");
  }
  display_ = ":" + number;
  ::setenv("DISPLAY", display_.c_str(), 1);
  ::unsetenv("WAYLAND_DISPLAY");
}

TXvfb::~TXvfb() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

}  // namespace vantrel::testing
