#include "update/bounded_unpack.h"

#include <exception>

#include "platform/files.h"
#include "versions/update_utils.h"

namespace vantrel {

int64_t TLimitedStream::Write(const void* buffer, int64_t count) {
  if (count > limit_ - written_) {
    exceeded_ = true;
    throw EWriteError("The unpacked data passes " + std::to_string(limit_) + " bytes");
  }
  const int64_t n = inner_.Write(buffer, count);
  written_ += n;
  return n;
}

void UnpackToFile(TStream& source, const std::string& path, int64_t limit,
                  const std::string& fname, unsigned permissions, bool flush) {
  bool unpacked = false;
  bool exceeded = false;
  try {
    TFileStream out(path, TFileMode::Create, TFileShare::DenyWrite, permissions);
    out.ChangeMode(permissions);
    TLimitedStream limited(out, limit);
    unpacked = DecompressStream(source, limited);
    exceeded = limited.Exceeded();
    if (unpacked && flush) out.Flush();
  } catch (const std::exception&) {
    platform::RemoveFileAt(path);
    throw;
  }
  if (unpacked) return;
  platform::RemoveFileAt(path);
  if (exceeded) throw EUnpackLimit(fname);
  throw EVantrelError("Unable to unpack " + fname);
}

}  // namespace vantrel
