// `--fail SITE`: one injected failure for `hsbridge run`, in the words the
// exploration prints, so that a failing run of the failure loops replays.
//   FAMILY@N          the N-th call of a family fails (irp@3, power@2)
//   FAMILY:NAME@N     the N-th call of one site fails ("pool:Wdm @5",
//                     vcomm:GetSetCommTimeouts@1)
//   FAMILY:NAME       every call of the site fails
//   bus:pnp 0xNN      the bus driver answers that Plug and Play minor code
//   bus:power 0xNN    or power minor code with a failure
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace hs {
class Rig;
}

namespace hs::tool {

struct FaultOption {
  enum class Kind { FamilyNth, SiteNth, SiteAlways, BusPnp, BusPower };
  Kind kind = Kind::FamilyNth;
  std::string family;
  std::string name;
  uint64_t nth = 0;
  unsigned minor = 0;  // bus answers

  // Null and a message for a malformed value.
  static std::optional<FaultOption> parse(const std::string& text, std::string* error);
  // The value that parses back to this option.
  std::string text() const;
  // Puts the failure into the rig's fault plan or bus answers.
  void apply(Rig& rig) const;
};

}  // namespace hs::tool
