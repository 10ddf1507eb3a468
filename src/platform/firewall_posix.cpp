// Linux has no per-program firewall policy; the launcher takes the same path
// as on a system without the service.
#include <sys/utsname.h>

#include <cstdlib>

#include "platform/errors.h"
#include "platform/firewall.h"

namespace vantrel::platform {

namespace {

class TPosixFirewallPolicy : public IFirewallPolicy {
 public:
  int SystemMajorVersion() const override {
    struct utsname u {};
    return ::uname(&u) == 0 ? std::atoi(u.release) : 0;
  }
  std::unique_ptr<IFirewallRules> OpenRules() override {
    throw EVantrelError("Firewall policy service is not available");
  }
};

}  // namespace

IFirewallPolicy& SystemFirewallPolicy() {
  static TPosixFirewallPolicy policy;
  return policy;
}

}  // namespace vantrel::platform
