// Stand-ins for the version check and the repair until the workflows land:
// both end at once as a version check that could not reach its servers.
#include "update/update_logic.h"

namespace vantrel {

void TUpdateLogic::LaunchVersionCheck() {
  OnStatusMessage("CheckingUpdate");
  ShowVersionCheckError();
}

void TUpdateLogic::LaunchRepair() {
  OnStatusMessage("CheckingUpdate");
  ShowVersionCheckError();
}

}  // namespace vantrel
