// The built-in scenario of `hsbridge demo`: a typical baud-rate change.
#pragma once

#include <string_view>

namespace hs::tool {

std::string_view demo_scenario();

}  // namespace hs::tool
