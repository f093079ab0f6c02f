// Virtual time: 100-nanosecond units since the machine was switched on.
#pragma once

#include <cstdint>
#include <string>

namespace hs {

using VTime = int64_t;

inline constexpr VTime kMicrosecond = 10;
inline constexpr VTime kMillisecond = 10'000;
inline constexpr VTime kSecond = 10'000'000;

// The kernel's clock tick (KeQueryTimeIncrement): 10 ms.
inline constexpr VTime kClockTick = 100'000;

// "12.345678s"-style rendering for traces and reports.
std::string format_vtime(VTime t);

}  // namespace hs
