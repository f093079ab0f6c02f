// The commands that meet real file descriptors: `hsbridge handset` (the
// simulated handset on a pseudo-terminal or a tty) and `hsbridge serve`
// (the stack as a serial port for Linux programs).
#pragma once

#include <memory>
#include <optional>

namespace CLI {
class App;
}

namespace hs::tool {

struct RealPortCommands;

// Adds the commands and their options to `app`.
std::shared_ptr<RealPortCommands> add_realport_commands(CLI::App& app);
// Carries out the command chosen on the command line; its exit status, or
// nothing when another command was chosen.
std::optional<int> run_realport_command(RealPortCommands& commands);

}  // namespace hs::tool
