#include "update/update_logic.h"

namespace vantrel {

void TUpdateLogic::AppClose(bool showclosemsg, int32_t closedelay) {
  closerequested.Set();
  if (showclosemsg) OnStatusMessage("ClientFSUninit");
  LogMessage("Closing launcher");
  if (showclosemsg) OnStatusMessage("ClientFSUninit");
  LogMessage("Unmount client file system");
  LogMessage("Uninit client file system");
  LogMessage("Close browser");
  UnInitLogFile();
  if (FOnCloseFinished) FOnCloseFinished(closedelay);
}

}  // namespace vantrel
