// Errors of the pack file system.
#pragma once

#include "platform/errors.h"

namespace vantrel {

// A pack operation failed: a damaged or unsafe directory entry, a pack that
// is not mounted, a cipher failure. File and stream errors keep their own
// types (EFOpenError, EReadError, EWriteError).
class EPackError : public EVantrelError {
 public:
  using EVantrelError::EVantrelError;
};

}  // namespace vantrel
