#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/errors.h"
#include "platform/shared_memory.h"

namespace vantrel::platform {

TSharedMemory::TSharedMemory(const std::string& name, size_t size)
    : name_("/" + name), size_(size) {
  fd_ = ::shm_open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd_ < 0 && errno == EEXIST) {
    // Another launcher's game already holds its ticket by descriptor; the
    // name is only a way in and now leads to the newest ticket.
    ::shm_unlink(name_.c_str());
    fd_ = ::shm_open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  }
  if (fd_ < 0) throw EOSError("Cannot create shared memory \"" + name_ + "\"", errno);
  // The creation mask may have narrowed the mode; owner-only is what counts.
  ::fchmod(fd_, 0600);
  if (::ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
    const int err = errno;
    ::close(fd_);
    ::shm_unlink(name_.c_str());
    throw EOSError("Cannot size shared memory \"" + name_ + "\"", err);
  }
  view_ = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (view_ == MAP_FAILED) {
    const int err = errno;
    ::close(fd_);
    ::shm_unlink(name_.c_str());
    throw EOSError("Cannot map shared memory \"" + name_ + "\"", err);
  }
}

TSharedMemory::~TSharedMemory() {
  ::munmap(view_, size_);
  // Remove the name only while it still denotes our object.
  struct stat ours {};
  struct stat named {};
  const int other = ::shm_open(name_.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (other >= 0) {
    const bool same = ::fstat(fd_, &ours) == 0 && ::fstat(other, &named) == 0 &&
                      ours.st_dev == named.st_dev && ours.st_ino == named.st_ino;
    ::close(other);
    if (same) ::shm_unlink(name_.c_str());
  }
  ::close(fd_);
}

TEventDescriptor::TEventDescriptor() {
  fd_ = ::eventfd(0, EFD_CLOEXEC);
  if (fd_ < 0) throw EOSError("Cannot create event descriptor", errno);
}

TEventDescriptor::~TEventDescriptor() { ::close(fd_); }

void TEventDescriptor::Set() {
  const uint64_t one = 1;
  while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool TEventDescriptor::WaitFor(int timeoutms, const TEventDescriptor* also) const {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutms);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p[2] = {{fd_, POLLIN, 0}, {also != nullptr ? also->fd_ : -1, POLLIN, 0}};
    const int rc = ::poll(p, 2, left > 0 ? static_cast<int>(left) : 0);
    if (rc > 0) return ((p[0].revents | p[1].revents) & POLLIN) != 0;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace vantrel::platform
