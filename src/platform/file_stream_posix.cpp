// TFileStream over POSIX file descriptors.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stream.h"

namespace vantrel {

TFileStream::TFileStream(const std::string& filename, TFileMode mode, TFileShare share,
                         unsigned permissions)
    : filename_(filename) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case TFileMode::OpenRead: flags |= O_RDONLY; break;
    case TFileMode::OpenWrite: flags |= O_WRONLY; break;
    case TFileMode::OpenReadWrite: flags |= O_RDWR; break;
    // A new file never goes through a link someone left at its name: the
    // truncation would reach the link's target, wherever it lies.
    case TFileMode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW; break;
    case TFileMode::OpenOrCreate: flags |= O_RDWR | O_CREAT; break;
  }
  const std::string path = platform::ToSystemPath(filename);
  fd_ = ::open(path.c_str(), flags, permissions);
  if (fd_ < 0) throw EFOpenError(filename, errno);
  if (share != TFileShare::DenyNone) {
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      ::close(fd_);
      fd_ = -1;
      throw EFOpenError(filename, err == EWOULDBLOCK ? EBUSY : err);
    }
  }
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  auto* out = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd_, out + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EReadError(EOSError("Read of \"" + filename_ + "\"", errno).what());
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  const auto* in = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, in + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EWriteError(EOSError("Write of \"" + filename_ + "\"", errno).what());
    }
    done += n;
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int whence =
      origin == TSeekOrigin::Begin ? SEEK_SET : origin == TSeekOrigin::Current ? SEEK_CUR : SEEK_END;
  const off_t pos = ::lseek(fd_, offset, whence);
  if (pos < 0) throw EStreamError(EOSError("Seek in \"" + filename_ + "\"", errno).what());
  return pos;
}

int64_t TFileStream::Size() {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) throw EStreamError(EOSError("Size of \"" + filename_ + "\"", errno).what());
  return st.st_size;
}

void TFileStream::SetSize(int64_t newsize) {
  const int64_t pos = Position();
  if (::ftruncate(fd_, newsize) != 0) {
    throw EStreamError(EOSError("Resize of \"" + filename_ + "\"", errno).what());
  }
  if (pos > newsize) Seek(newsize, TSeekOrigin::Begin);
}

void TFileStream::Flush() {
  if (::fdatasync(fd_) != 0) throw EWriteError(EOSError("Flush of \"" + filename_ + "\"", errno).what());
}

void TFileStream::ChangeMode(unsigned permissions) {
  if (::fchmod(fd_, static_cast<mode_t>(permissions)) != 0) {
    throw EOSError("Mode of \"" + filename_ + "\"", errno);
  }
}

}  // namespace vantrel
