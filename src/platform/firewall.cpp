#include "platform/firewall.h"

#include "platform/errors.h"

namespace vantrel::platform {

namespace {

class TMemoryRules : public IFirewallRules {
 public:
  explicit TMemoryRules(TMemoryFirewallPolicy& policy) : policy_(policy) {}
  bool Next(TFirewallRule& rule) override {
    if (next_ >= policy_.rules.size()) return false;
    rule = policy_.rules[next_++];
    return true;
  }
  void Add(const TFirewallRule& rule) override {
    if (policy_.denyadd) throw EVantrelError("Access is denied");
    policy_.rules.push_back(rule);
  }

 private:
  TMemoryFirewallPolicy& policy_;
  size_t next_ = 0;
};

}  // namespace

std::unique_ptr<IFirewallRules> TMemoryFirewallPolicy::OpenRules() {
  ++opencount;
  if (serviceabsent) throw EVantrelError("Firewall policy service is not available");
  return std::make_unique<TMemoryRules>(*this);
}

}  // namespace vantrel::platform
