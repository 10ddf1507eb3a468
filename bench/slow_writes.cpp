// A throttled disk for the install benchmark, loaded with LD_PRELOAD: every
// write to a regular file returns only once a disk of
// VANTREL_SLOW_WRITE_MBPS megabytes (10^6 bytes) a second would have taken
// it, the writes of all threads sharing that rate. Sockets, pipes and
// terminals are not slowed. Without the variable (or with 0) writes pass
// untouched.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double Rate() {
  static const double rate = [] {
    const char* text = std::getenv("VANTREL_SLOW_WRITE_MBPS");
    return text == nullptr ? 0.0 : std::atof(text) * 1e6;
  }();
  return rate;
}

std::mutex& Lock() {
  static std::mutex lock;
  return lock;
}
// When the throttled disk is free again; guarded by Lock().
Clock::time_point& FreeAt() {
  static Clock::time_point at;
  return at;
}

void Throttle(int fd, ssize_t written) {
  const double rate = Rate();
  if (rate <= 0 || written <= 0) return;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  const auto cost = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(written) / rate));
  Clock::time_point done;
  {
    std::lock_guard<std::mutex> hold(Lock());
    const Clock::time_point now = Clock::now();
    if (FreeAt() < now) FreeAt() = now;
    FreeAt() += cost;
    done = FreeAt();
  }
  std::this_thread::sleep_until(done);
}

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* buffer, size_t count) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
  const ssize_t n = next(fd, buffer, count);
  Throttle(fd, n);
  return n;
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  const ssize_t n = next(fd, buffer, count, offset);
  Throttle(fd, n);
  return n;
}

ssize_t pwrite64(int fd, const void* buffer, size_t count, off64_t offset) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  const ssize_t n = next(fd, buffer, count, offset);
  Throttle(fd, n);
  return n;
}

}  // extern "C"
