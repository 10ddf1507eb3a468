// A wake-up call between the download manager's threads: a waiter that used
// to poll in short sleeps waits here instead, for at most the same step, and
// is woken as soon as another thread reports a change. Any thread may call
// either side.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vantrel {

class TWakeup {
 public:
  // Wakes every waiter.
  void Notify() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      ++sequence_;
    }
    cv_.notify_all();
  }

  // A waiter's token: take one before the first look at the state it waits on.
  uint64_t Token() {
    std::lock_guard<std::mutex> hold(mutex_);
    return sequence_;
  }

  // Returns at once when a Notify came since the token was taken (or since
  // this waiter's previous Wait), otherwise after the next Notify or after
  // step, whichever comes first. Updates the token.
  void Wait(uint64_t& token, std::chrono::milliseconds step) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (sequence_ == token) cv_.wait_for(hold, step, [&] { return sequence_ != token; });
    token = sequence_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t sequence_ = 0;  // guarded by mutex_
};

}  // namespace vantrel
