// Unpacking transfer files within a bound: a server's zlib stream may
// inflate a thousandfold, so every inflation of downloaded data stops as
// soon as its output passes what the caller can take.
#pragma once

#include <cstdint>
#include <string>

#include "platform/errors.h"
#include "platform/stream.h"

namespace vantrel {

// A downloaded file that unpacks to more bytes than allowed.
class EUnpackLimit : public EVantrelError {
 public:
  using EVantrelError::EVantrelError;
};

// Passes everything on to a stream it does not own, until a write would
// take the output past limit bytes: that write raises EWriteError and marks
// the stream exceeded.
class TLimitedStream : public TStream {
 public:
  TLimitedStream(TStream& inner, int64_t limit) : inner_(inner), limit_(limit) {}

  int64_t Read(void* buffer, int64_t count) override { return inner_.Read(buffer, count); }
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override { return inner_.Seek(offset, origin); }
  int64_t Size() override { return inner_.Size(); }
  void SetSize(int64_t newsize) override { inner_.SetSize(newsize); }

  bool Exceeded() const { return exceeded_; }

 private:
  TStream& inner_;
  const int64_t limit_;
  int64_t written_ = 0;
  bool exceeded_ = false;
};

// Unpacks the zlib stream at source's position into a new file at path
// (replacing one), at most limit bytes, as a stream. The file gets mode
// permissions on its descriptor and, with flush, is forced to the device
// before it is closed. Raises EUnpackLimit (the text names fname) past the
// limit, EVantrelError for data that does not unpack, and the stream's
// errors; the file is removed when anything failed.
void UnpackToFile(TStream& source, const std::string& path, int64_t limit,
                  const std::string& fname, unsigned permissions = 0644, bool flush = false);

}  // namespace vantrel
