#include "update/workflow_thread.h"

#include <exception>

namespace vantrel {

std::shared_ptr<TWorkflowThread> TWorkflowThread::Start(TRun run, TOnFailure onfailure) {
  std::shared_ptr<TWorkflowThread> thread(new TWorkflowThread(std::move(run), std::move(onfailure)));
  std::thread worker([self = thread]() {
    self->id_ = std::this_thread::get_id();
    std::string failure;
    bool failed = false;
    try {
      self->run_(*self);
    } catch (const std::exception& e) {
      failed = true;
      failure = e.what();
    } catch (...) {
      failed = true;
      failure = "unknown error";
    }
    if (failed && self->onfailure_) {
      try {
        self->onfailure_(*self, failure);
      } catch (...) {
        // Nothing is left to tell it to.
      }
    }
    self->finished_ = true;
  });
  // Publish the id before anyone asks IsCurrent from outside.
  thread->id_ = worker.get_id();
  worker.detach();
  return thread;
}

}  // namespace vantrel
