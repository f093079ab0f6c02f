#include "machine/faults.h"

namespace hs {
namespace {
std::string key_of(std::string_view family, std::string_view name) {
  return std::string(family) + ":" + std::string(name);
}
}  // namespace

void FaultPlan::fail_nth(std::string family, uint64_t n) { nth_family_[std::move(family)] = n; }

void FaultPlan::fail_nth_at(std::string family, std::string name, uint64_t n) {
  nth_site_.emplace(key_of(family, name), n);
}

void FaultPlan::fail_always(std::string family, std::string name) {
  always_.insert(key_of(family, name));
}

void FaultPlan::fail_each_site_once(std::string family) {
  once_families_.insert(std::move(family));
}

void FaultPlan::clear() {
  nth_family_.clear();
  nth_site_.clear();
  always_.clear();
  once_families_.clear();
  once_done_.clear();
}

bool FaultPlan::should_fail(const FaultSite& site) {
  if (exempt_ > 0) return false;
  auto family = calls_.find(site.family);
  if (family == calls_.end()) family = calls_.emplace(site.family, FamilyCalls{}).first;
  uint64_t family_count = ++family->second.calls;
  auto named = family->second.sites.find(site.name);
  if (named == family->second.sites.end()) named = family->second.sites.emplace(site.name, 0).first;
  uint64_t site_count = ++named->second;
  // Without a plan nothing fails: counting is all there is to do.
  if (!planned()) return false;
  std::string key = key_of(site.family, site.name);
  bool fail = false;
  if (auto it = nth_family_.find(site.family);
      it != nth_family_.end() && it->second == family_count)
    fail = true;
  auto [first, last] = nth_site_.equal_range(key);
  for (auto it = first; it != last; ++it)
    if (it->second == site_count) fail = true;
  if (always_.count(key)) fail = true;
  if (once_families_.count(site.family) && once_done_.insert(key).second) fail = true;
  if (fail) ++failures_;
  return fail;
}

uint64_t FaultPlan::calls(std::string_view family) const {
  auto it = calls_.find(family);
  return it == calls_.end() ? 0 : it->second.calls;
}

std::set<std::string> FaultPlan::sites_seen() const {
  std::set<std::string> seen;
  for (const auto& [family, counts] : calls_)
    for (const auto& [name, count] : counts.sites) seen.insert(key_of(family, name));
  return seen;
}

}  // namespace hs
