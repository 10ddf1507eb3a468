// Starting other programs: the game and the new launcher. A started program
// keeps only the descriptors it is given, gets a clean signal mask and
// default signal actions, and runs beside the launcher (nobody waits for it
// unless the caller does).
#pragma once

#include <string>
#include <vector>

namespace vantrel::platform {

struct TSpawnOptions {
  std::string program;                // path of the executable (system form)
  std::vector<std::string> argv;      // argv[0] included
  std::string currentfolder;          // the child's current folder; empty = ours
  std::vector<int> inheritfds;        // descriptors passed on under the same numbers
  std::vector<std::string> extraenv;  // "NAME=value" added to our environment
  bool newprocessgroup = false;       // the child leads a process group of its own
};

// Starts the program and returns its process id. Raises EOSError (whose
// ErrorCode is the errno value) when it cannot be started, a missing or
// non-executable program and a missing current folder included.
int SpawnProcess(const TSpawnOptions& options);

// Waits for a started child to end: its exit code, 128 + the signal number
// when a signal ended it, -1 when it cannot be waited for. With
// timeoutms >= 0 it gives up after that long and returns -2 (still running).
int WaitProcess(int pid, int timeoutms = -1);

// Splits a command line into arguments the way a shell splits a simple
// one: blanks and tabs separate arguments, a double quote starts or ends a
// quoted run (in which blanks are kept) and is itself dropped; every other
// character, "\" included, stands for itself.
std::vector<std::string> SplitCommandLine(const std::string& commandline);

// Keeps secrets held in memory out of core dumps and away from debuggers of
// the same user: the process stops being dumpable for the rest of its life.
// Raises EOSError.
void ProtectSecretsInMemory();
// Overwrites every byte a text owns (its capacity, not only its length) in
// a way the compiler keeps, then empties it.
void WipeSecret(std::string& text);

}  // namespace vantrel::platform
