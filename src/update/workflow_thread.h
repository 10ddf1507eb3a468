// The launcher's long-running work runs on threads that free themselves:
// the version check, the update and the repair (held in workingthread),
// and the game launch and close threads. A TWorkflowThread is shared
// between its running thread and whoever keeps a reference to it
// (workingthread); the last holder frees it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace vantrel {

class TWorkflowThread : public std::enable_shared_from_this<TWorkflowThread> {
 public:
  using TRun = std::function<void(TWorkflowThread& self)>;
  // Told what ended a run by an exception (its text); runs on the thread.
  using TOnFailure = std::function<void(TWorkflowThread& self, const std::string& what)>;

  // Starts run on a new detached thread at once. An exception escaping run
  // goes to onfailure (when given), so a workflow that dies still reports
  // its outcome; an exception escaping onfailure is dropped.
  static std::shared_ptr<TWorkflowThread> Start(TRun run, TOnFailure onfailure = nullptr);

  // Asks the thread to stop; it looks at the flag between steps.
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  // True once run has returned or raised.
  bool Finished() const { return finished_; }
  // True when called on this thread itself.
  bool IsCurrent() const { return std::this_thread::get_id() == id_.load(); }

 private:
  TWorkflowThread(TRun run, TOnFailure onfailure)
      : run_(std::move(run)), onfailure_(std::move(onfailure)) {}

  TRun run_;
  TOnFailure onfailure_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<std::thread::id> id_{};
};

}  // namespace vantrel
