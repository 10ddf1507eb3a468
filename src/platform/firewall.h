// Per-program firewall policy: the rules collection the launcher looks in
// and adds its own outbound rule to. Linux has no such policy, so the
// system implementation reports the service as absent; TMemoryFirewallPolicy
// stands in for the policy in tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vantrel::platform {

struct TFirewallRule {
  std::string name;
  std::string description;
  std::string applicationname;
  int protocol = 0;   // 6 = TCP
  int direction = 0;  // 1 = inbound, 2 = outbound
  bool enabled = false;
  int profiles = 0;   // domain 1 + private 2 + public 4
  int action = 0;     // 0 = block, 1 = allow
};

// One opened rules collection. Next walks it one rule at a time.
class IFirewallRules {
 public:
  virtual ~IFirewallRules() = default;
  // The next rule of the walk; false when there are no more. May raise.
  virtual bool Next(TFirewallRule& rule) = 0;
  // Adds a rule; raises when it is refused (no rights).
  virtual void Add(const TFirewallRule& rule) = 0;
};

class IFirewallPolicy {
 public:
  virtual ~IFirewallPolicy() = default;
  // Major version of the running system; below 6 means no firewall policy.
  virtual int SystemMajorVersion() const = 0;
  // Opens the rules collection. Raises EVantrelError when the service is absent.
  virtual std::unique_ptr<IFirewallRules> OpenRules() = 0;
};

// The policy of this system (process-wide, never freed). On Linux every
// OpenRules raises "Firewall policy service is not available".
IFirewallPolicy& SystemFirewallPolicy();

// An in-memory policy. Not thread-safe: one test thread uses it.
class TMemoryFirewallPolicy : public IFirewallPolicy {
 public:
  int SystemMajorVersion() const override { return majorversion; }
  std::unique_ptr<IFirewallRules> OpenRules() override;

  std::vector<TFirewallRule> rules;
  int majorversion = 10;
  bool denyadd = false;       // Add raises, as without administrator rights
  bool serviceabsent = false; // OpenRules raises
  int opencount = 0;          // OpenRules calls so far
};

}  // namespace vantrel::platform
