// A thread that frees itself when its work ends (it runs detached), while
// its owner can still wait for that end. What the thread shares with its
// owner lives in a block that whichever side is last releases, so the owner
// may go away at any time after the wait, and an owner that never goes away
// leaves no thread behind to be joined.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace vantrel {

class TSelfEndingThread {
 public:
  TSelfEndingThread() = default;
  ~TSelfEndingThread() { Wait(); }
  TSelfEndingThread(const TSelfEndingThread&) = delete;
  TSelfEndingThread& operator=(const TSelfEndingThread&) = delete;

  // Starts work on a new thread; once only.
  void Start(std::function<void()> work) {
    state_ = std::make_shared<TState>();
    std::thread([state = state_, work = std::move(work)] {
      work();
      std::lock_guard<std::mutex> hold(state->mutex);
      state->ended = true;
      state->cv.notify_all();
    }).detach();
  }

  // Waits until the work has returned (at once when never started).
  void Wait() {
    if (!state_) return;
    std::unique_lock<std::mutex> hold(state_->mutex);
    state_->cv.wait(hold, [&] { return state_->ended; });
  }

  bool Ended() const {
    if (!state_) return true;
    std::lock_guard<std::mutex> hold(state_->mutex);
    return state_->ended;
  }

 private:
  struct TState {
    std::mutex mutex;
    std::condition_variable cv;
    bool ended = false;  // guarded by mutex
  };
  std::shared_ptr<TState> state_;
};

}  // namespace vantrel
