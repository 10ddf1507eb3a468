#include "platform/errors.h"

#include <cstring>

namespace vantrel {

namespace {
std::string SystemMessage(int errnum) {
  char buf[256];
  // GNU strerror_r returns the message pointer, which may not be buf.
  return std::string(strerror_r(errnum, buf, sizeof buf));
}
}  // namespace

EOSError::EOSError(const std::string& context, int errnum)
    : EVantrelError(context + ": " + SystemMessage(errnum)), errnum_(errnum) {}

EFOpenError::EFOpenError(const std::string& filename, int errnum)
    : EStreamError("Cannot open file \"" + filename + "\". " + SystemMessage(errnum)),
      errnum_(errnum) {}

}  // namespace vantrel
