#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <string.h>

#include <cerrno>

#include "app/terminal.h"
#include "platform/errors.h"
#include "platform/process.h"

namespace vantrel::app {

namespace {

sigset_t TerminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

TTerminationSignals::TTerminationSignals() {
  const sigset_t set = TerminationSet();
  if (const int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr); rc != 0) {
    throw EOSError("Cannot block the termination signals", rc);
  }
  fd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd_ < 0) throw EOSError("Cannot create a signal descriptor", errno);
}

TTerminationSignals::~TTerminationSignals() { ::close(fd_); }

int TTerminationSignals::Take() {
  signalfd_siginfo info{};
  const ssize_t n = ::read(fd_, &info, sizeof info);
  return n == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

TPasswordAnswer ReadPasswordNoEcho(const std::string& prompt, TTerminationSignals& signals) {
  TPasswordAnswer answer;
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return answer;
  termios saved{};
  const bool hasterm = ::tcgetattr(tty, &saved) == 0;
  if (hasterm) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL | ICANON;
    ::tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  if (::write(tty, prompt.data(), prompt.size()) < 0) {
    // Nothing to show the prompt on; the answer is still read.
  }
  answer.kind = TPasswordAnswer::TKind::Typed;
  // The typed text lives in buf and line only, both wiped below; line is
  // reserved so that it is not moved (leaving a copy behind) while it grows
  // to any length a person types.
  std::string line;
  line.reserve(4096);
  char buf[256];
  for (;;) {
    pollfd fds[2] = {{tty, POLLIN, 0}, {signals.Handle(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      if (const int sig = signals.Take(); sig != 0) {
        answer.kind = TPasswordAnswer::TKind::Interrupted;
        answer.signal = sig;
        break;
      }
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    const ssize_t n = ::read(tty, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of input: what was typed so far
    line.append(buf, static_cast<size_t>(n));
    if (line.find('\n') != std::string::npos) break;
  }
  if (hasterm) ::tcsetattr(tty, TCSAFLUSH, &saved);
  ::close(tty);
  ::explicit_bzero(buf, sizeof buf);
  const auto end = line.find_first_of("\r\n");
  if (answer.kind == TPasswordAnswer::TKind::Typed) answer.password.assign(line, 0, end);
  platform::WipeSecret(line);
  return answer;
}

bool IsTerminal(FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

int TerminalColumns(FILE* stream) {
  winsize ws{};
  if (::ioctl(::fileno(stream), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

}  // namespace vantrel::app
