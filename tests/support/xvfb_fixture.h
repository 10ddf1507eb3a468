// A virtual X display for tests of the window: Xvfb on a display number it
// picks itself (free at run time), torn down with the object. Construction
// sets DISPLAY for this process and its children.
#pragma once

#include <sys/types.h>

#include <string>

namespace vantrel::testing {

class TXvfb {
 public:
  // Raises std::runtime_error when Xvfb cannot be started.
  TXvfb();
  ~TXvfb();
  TXvfb(const TXvfb&) = delete;
  TXvfb& operator=(const TXvfb&) = delete;

  // ":N"
  const std::string& Display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace vantrel::testing
