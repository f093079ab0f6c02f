#include "tools/hsbridge/fault_option.h"

#include <charconv>
#include <iomanip>
#include <sstream>

#include "sim/rig.h"

namespace hs::tool {
namespace {

std::optional<uint64_t> number(std::string_view text, int base = 10) {
  uint64_t value = 0;
  if (base == 16 && (text.starts_with("0x") || text.starts_with("0X"))) text.remove_prefix(2);
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<FaultOption> FaultOption::parse(const std::string& text, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<FaultOption> {
    if (error) *error = "--fail " + text + ": " + why;
    return std::nullopt;
  };
  FaultOption option;
  for (const auto& [prefix, kind] :
       {std::pair{"bus:pnp ", Kind::BusPnp}, std::pair{"bus:power ", Kind::BusPower}}) {
    if (!text.starts_with(prefix)) continue;
    const auto minor = number(std::string_view(text).substr(std::string_view(prefix).size()), 16);
    if (!minor || *minor > 0xFF) return fail("expected a minor code like 0x02");
    option.kind = kind;
    option.minor = static_cast<unsigned>(*minor);
    return option;
  }
  std::string site = text;
  const auto at = text.rfind('@');
  if (at != std::string::npos) {
    const auto nth = number(std::string_view(text).substr(at + 1));
    if (!nth || *nth == 0) return fail("expected a call number of 1 or more after '@'");
    option.nth = *nth;
    site = text.substr(0, at);
  }
  const auto colon = site.find(':');
  option.family = site.substr(0, colon);
  if (option.family.empty())
    return fail("expected FAMILY@N, FAMILY:NAME[@N] or bus:pnp|power 0xNN");
  if (colon == std::string::npos) {
    if (option.nth == 0) return fail("a whole family needs a call number (FAMILY@N)");
    option.kind = Kind::FamilyNth;
    return option;
  }
  option.name = site.substr(colon + 1);
  if (option.name.empty()) return fail("the site's name is empty");
  option.kind = option.nth == 0 ? Kind::SiteAlways : Kind::SiteNth;
  return option;
}

std::string FaultOption::text() const {
  std::ostringstream out;
  switch (kind) {
    case Kind::BusPnp:
    case Kind::BusPower:
      out << (kind == Kind::BusPnp ? "bus:pnp 0x" : "bus:power 0x") << std::hex << std::setw(2)
          << std::setfill('0') << minor;
      break;
    case Kind::FamilyNth:
      out << family << '@' << nth;
      break;
    case Kind::SiteNth:
      out << family << ':' << name << '@' << nth;
      break;
    case Kind::SiteAlways:
      out << family << ':' << name;
      break;
  }
  return out.str();
}

void FaultOption::apply(Rig& rig) const {
  switch (kind) {
    case Kind::BusPnp:
      rig.bus().set_pnp_answer(static_cast<UCHAR>(minor), BusAnswer::fail());
      break;
    case Kind::BusPower:
      rig.bus().set_power_answer(static_cast<UCHAR>(minor), BusAnswer::fail());
      break;
    case Kind::FamilyNth:
      rig.machine().faults().fail_nth(family, nth);
      break;
    case Kind::SiteNth:
      rig.machine().faults().fail_nth_at(family, name, nth);
      break;
    case Kind::SiteAlways:
      rig.machine().faults().fail_always(family, name);
      break;
  }
}

}  // namespace hs::tool
