// Fault injection: which platform call fails. A site is a service family
// and a name ("pool" "PBRG", "vcomm" "ReadComm", "irp" "alloc", "attach",
// "registry" "open", "power" "request", "bus" "0x1b/0x00"); every call of a
// family is counted, so a test can fail the n-th call of a family or of a
// site, every call of a site, or each site once.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace hs {

struct FaultSite {
  std::string family;  // "pool", "irp", "vcomm", "attach", "registry", "power", "bus", "create"
  std::string name;    // tag, service name, ...
};

class FaultPlan {
 public:
  // The n-th call (1-based) of a family fails, counted over all its sites.
  void fail_nth(std::string family, uint64_t n);
  // The n-th call (1-based) of one site fails.
  void fail_nth_at(std::string family, std::string name, uint64_t n);
  // Every call of a site fails.
  void fail_always(std::string family, std::string name);
  // Each site fails the first time it is reached (then succeeds).
  void fail_each_site_once(std::string family);
  void clear();

  // Asked by the platform at each fallible call; counts the call.
  bool should_fail(const FaultSite& site);

  // While one lives, the plan neither counts nor fails a call: for what the
  // world does on its own account (the power manager's own requests), which
  // stands for the operating system rather than the drivers under test.
  class Exempt {
   public:
    explicit Exempt(FaultPlan& plan) : plan_(plan) { ++plan_.exempt_; }
    ~Exempt() { --plan_.exempt_; }
    Exempt(const Exempt&) = delete;
    Exempt& operator=(const Exempt&) = delete;

   private:
    FaultPlan& plan_;
  };

  uint64_t calls(std::string_view family) const;
  uint64_t failures() const { return failures_; }
  // Sites reached so far ("family:name"), for coverage figures.
  std::set<std::string> sites_seen() const;

 private:
  // Calls of a family and of each of its sites. Looked up by the site's
  // own strings, so counting a call builds no key.
  struct FamilyCalls {
    uint64_t calls = 0;
    std::map<std::string, uint64_t, std::less<>> sites;
  };
  bool planned() const {
    return !nth_family_.empty() || !nth_site_.empty() || !always_.empty() ||
           !once_families_.empty();
  }
  std::map<std::string, FamilyCalls, std::less<>> calls_;
  std::map<std::string, uint64_t, std::less<>> nth_family_;
  std::multimap<std::string, uint64_t, std::less<>> nth_site_;
  std::set<std::string, std::less<>> always_;
  std::set<std::string, std::less<>> once_families_;
  std::set<std::string, std::less<>> once_done_;
  uint64_t failures_ = 0;
  int exempt_ = 0;
};

}  // namespace hs
