// What the headless front end needs of the terminal and of signals: the
// termination signals as a descriptor, a prompt without echo, and whether
// and how wide the output is a terminal.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace vantrel::app {

// SIGINT, SIGTERM and SIGHUP, blocked for every thread and read from a
// descriptor instead. Create it before any thread starts (threads inherit
// the mask); started programs get the default mask back (SpawnProcess).
class TTerminationSignals {
 public:
  TTerminationSignals();  // raises EOSError
  ~TTerminationSignals();
  TTerminationSignals(const TTerminationSignals&) = delete;
  TTerminationSignals& operator=(const TTerminationSignals&) = delete;

  int Handle() const { return fd_; }
  // The number of a pending signal, taken off the descriptor; 0 when none.
  int Take();

 private:
  int fd_ = -1;
};

struct TPasswordAnswer {
  enum class TKind { Typed, NoTerminal, Interrupted } kind = TKind::NoTerminal;
  std::string password;
  int signal = 0;
};

// Asks on the controlling terminal (/dev/tty, whatever stdin is) with echo
// off and returns the line typed, without its line end. A termination
// signal while waiting ends the prompt (the terminal's settings are put
// back in every case).
TPasswordAnswer ReadPasswordNoEcho(const std::string& prompt, TTerminationSignals& signals);

bool IsTerminal(FILE* stream);
// Columns of the terminal behind stream; 80 when unknown.
int TerminalColumns(FILE* stream);

}  // namespace vantrel::app
