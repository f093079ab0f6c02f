// `hsbridge explore FILE` (a scenario under many schedules and, with
// --faults, every allocation and port call failing), `hsbridge sequence
// SEED` (prints a random request sequence) and `hsbridge figures DIR...`
// (the whole table over every scenario file under the directories).
#pragma once

#include <memory>
#include <optional>

namespace CLI {
class App;
}

namespace hs::tool {

struct ExploreCommands;

std::shared_ptr<ExploreCommands> add_explore_commands(CLI::App& app);
// The chosen command's exit status, or nothing when another was chosen.
std::optional<int> run_explore_command(ExploreCommands& commands);

}  // namespace hs::tool
