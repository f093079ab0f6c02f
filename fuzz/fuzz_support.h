// What the fuzz targets share: running a scenario built from the input on a
// fresh machine, with the drivers found next to the program, and stopping
// the fuzzer (abort) on any run that does not end well.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "sim/rig.h"
#include "tools/hsbridge/explore.h"

namespace hs::fuzz {

inline std::string driver_directory() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : self.parent_path().string();
}

// Reads the input front to back; past its end everything is zero.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
  std::string bytes(size_t n) {
    std::string out;
    while (n-- > 0 && at_ < size_) out += static_cast<char>(data_[at_++]);
    return out;
  }
  std::string rest() { return bytes(size_ - at_); }
  bool empty() const { return at_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Runs the scenario (closed, removed and waited for at its end) under a run
// policy; a verifier report, a hang, a request not completed exactly once or
// pool left after unload stops the fuzzer. Expects do not count.
// `prepare` sees the rig before the machine runs (events of the world to
// schedule).
inline void run_checked(const tool::Scenario& scenario, uint64_t seed,
                        std::function<void(Rig&)> prepare = {}) {
  tool::RunSettings settings;
  settings.driver_directory = driver_directory();
  settings.time_limit = 60 * kSecond;
  // The verdict needs no recorded events.
  settings.prepare = [prepare = std::move(prepare)](Rig& rig) {
    rig.trace().set_recording(false);
    if (prepare) prepare(rig);
  };
  if (seed != 0) settings.policy = *SchedulePolicy::parse("random", seed);
  const tool::RunReport report =
      tool::run_scenario(tool::with_removal(scenario), settings, TraceSink{});
  const tool::Verdict verdict = tool::judge(report, false);
  if (verdict == tool::Verdict::Ok) return;
  std::fprintf(stderr, "%s\n%s\n", std::string(tool::verdict_name(verdict)).c_str(),
               report.stop_report.c_str());
  std::abort();
}

inline tool::Step step(tool::Action action) { return tool::Step{1, std::move(action)}; }

}  // namespace hs::fuzz
