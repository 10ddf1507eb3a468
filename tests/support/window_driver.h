// Drives a test build of the launcher's window (one built with the window's
// test hooks): starts it with the hooks' two pipes, runs scripts in its page,
// asks for its window's description and snapshots, and waits for its end.
// The process is killed when the object goes away, if still running.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vantrel::testing {

class TLauncherWindow {
 public:
  // Starts program with args in folder cwd; env adds or replaces variables
  // (an empty value removes one). Raises std::runtime_error on failure.
  TLauncherWindow(const std::string& program, const std::vector<std::string>& args,
                  const std::string& cwd, const std::map<std::string, std::string>& env = {});
  ~TLauncherWindow();
  TLauncherWindow(const TLauncherWindow&) = delete;
  TLauncherWindow& operator=(const TLauncherWindow&) = delete;

  pid_t Pid() const { return pid_; }
  // Runs body (one line) as an async function in the page; its result as
  // JSON, or "error: TEXT". Waits at most timeoutms for the answer.
  std::string Eval(const std::string& body, int timeoutms = 10000);
  // Evaluates body until it gives expected or timeoutms have passed; the
  // last result.
  std::string WaitFor(const std::string& body, const std::string& expected,
                      int timeoutms = 10000);
  std::string Describe();
  std::string Snapshot(const std::string& pngpath);
  // The exit status (128 + signal when killed), or -1 while still running
  // after timeoutms.
  int WaitExit(int timeoutms);
  // Lines the launcher sent that answered no command ("report ...", "open ...").
  std::vector<std::string> Notes() const { return notes_; }
  // The process's standard error so far.
  std::string Stderr() const;

 private:
  std::string Command(const std::string& verb, const std::string& arg, int timeoutms);
  bool ReadLine(std::string& line, int timeoutms);

  pid_t pid_ = -1;
  int status_ = -1;
  int in_ = -1;   // commands to the launcher
  int out_ = -1;  // answers from the launcher
  std::string errfile_;
  std::string buffer_;
  int nextid_ = 1;
  std::vector<std::string> notes_;
};

// The pixels of an 8-bit RGBA PNG (as the snapshot writes them), row by row.
struct TImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;
  uint8_t Alpha(int x, int y) const { return rgba[(static_cast<size_t>(y) * width + x) * 4 + 3]; }
};
// Raises std::runtime_error for anything else.
TImage ReadPng(const std::string& path);
// Writes img as an 8-bit RGBA PNG. Raises std::runtime_error on failure.
void WritePng(const TImage& img, const std::string& path);
// The part of img at (x, y) of width x height pixels, clipped to img.
TImage CropImage(const TImage& img, int x, int y, int width, int height);

}  // namespace vantrel::testing
