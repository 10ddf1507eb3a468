#include "update/workflow_thread.h"

namespace vantrel {

std::shared_ptr<TWorkflowThread> TWorkflowThread::Start(TRun run) {
  std::shared_ptr<TWorkflowThread> thread(new TWorkflowThread(std::move(run)));
  std::thread worker([self = thread]() {
    self->id_ = std::this_thread::get_id();
    try {
      self->run_(*self);
    } catch (...) {
      // A workflow step that raised ends its thread without a report.
    }
    self->finished_ = true;
  });
  // Publish the id before anyone asks IsCurrent from outside.
  thread->id_ = worker.get_id();
  worker.detach();
  return thread;
}

}  // namespace vantrel
