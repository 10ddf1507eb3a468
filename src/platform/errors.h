// Error types shared by every subsystem. Failures are exceptions carrying a
// message; an OS error is turned into one of these once, at the platform
// boundary, with the file name and the system's message in its text.
#pragma once

#include <stdexcept>
#include <string>

namespace vantrel {

// Base of every error the system raises on purpose.
class EVantrelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A call into the operating system failed; the text names what was tried.
class EOSError : public EVantrelError {
 public:
  EOSError(const std::string& context, int errnum);
  int ErrorCode() const { return errnum_; }

 private:
  int errnum_;
};

// Stream errors: a short read or write, a seek or resize that failed.
class EStreamError : public EVantrelError {
 public:
  using EVantrelError::EVantrelError;
};
class EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
// A file could not be opened or created.
class EFOpenError : public EStreamError {
 public:
  EFOpenError(const std::string& filename, int errnum);
  int ErrorCode() const { return errnum_; }

 private:
  int errnum_;
};

// A text was not a number where one was required.
class EConvertError : public EVantrelError {
 public:
  using EVantrelError::EVantrelError;
};

}  // namespace vantrel
