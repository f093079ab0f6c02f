// Speed of a baud-rate negotiation: the virtual time that a full
// negotiation to 115200 takes over the whole stack against a handset with a
// 5 ms answer latency, next to the line's own minimum for the same bytes
// (every byte's line time at its rate plus the handset's latencies).
//
// Counters: virtual_ms, line_min_ms, ratio (virtual / minimum), pool
// allocations of the filter ("QX42") during the negotiation, answers read,
// and the requests the filter sent down.
#include <benchmark/benchmark.h>
#include <ntddser.h>

#include <cstdint>
#include <string>

#include "sim/rig.h"

namespace {

// Line time of one character at `rate` in 100 ns units: start bit, 8 data
// bits, stop bit.
double char_time(int64_t rate) { return rate > 0 ? 10.0 * 1e7 / static_cast<double>(rate) : 0; }

void BM_NegotiateTo115200(benchmark::State& state) {
  double virtual_ms = 0, line_min_ms = 0, allocations = 0, answers = 0, requests = 0;
  for (auto _ : state) {
    hs::RigOptions options;
    options.handset.latency = 5 * hs::kMillisecond;
    hs::Rig rig(options);
    rig.install(rig.stack_spec("portbridge", {"ratefilter"}));
    hs::VTime start = 0, end = 0;
    uint64_t alloc_before = 0;
    size_t first_event = 0;
    NTSTATUS status = STATUS_PENDING;
    hs::RunResult result = rig.run([&] {
      hs::Handle h = rig.client().open();
      first_event = rig.trace().events().size();
      alloc_before = rig.kernel().pool_usage("QX42").allocations;
      start = rig.machine().now();
      status = rig.client().ioctl(h, IOCTL_SERIAL_SET_BAUD_RATE, hs::le32(115200)).status;
      end = rig.machine().now();
      allocations = static_cast<double>(rig.kernel().pool_usage("QX42").allocations - alloc_before);
      rig.client().close(h);
    });
    if (!result.ok() || status != STATUS_SUCCESS) {
      state.SkipWithError(("negotiation failed: " + result.report).c_str());
      return;
    }
    // The line's minimum: every byte the PC sent at its rate, then for each
    // command line the handset ran its latency and its result code (the
    // echo goes back while the command is still being sent).
    double line = 0;
    requests = 0;
    const auto& events = rig.trace().events();
    for (size_t i = first_event; i < events.size(); ++i) {
      const hs::TraceEvent& e = events[i];
      if (e.t > end) break;
      if (e.ev == "line" && e.str("dir") == "tx") {
        size_t bytes = (e.str("hex").size() + 1) / 3;
        line += static_cast<double>(bytes) * char_time(e.num("rate"));
      } else if (e.ev == "irp" && e.str("dev") == "portbridge" && e.str("phase") == "in") {
        requests += 1;
      }
    }
    const std::string& sent = rig.handset().sent();
    size_t codes = 0;
    for (size_t at = sent.find("\r\nOK\r\n"); at != std::string::npos;
         at = sent.find("\r\nOK\r\n", at + 1))
      ++codes;
    line += static_cast<double>(rig.handset().commands().size()) *
                static_cast<double>(options.handset.latency) +
            static_cast<double>(codes * 6) * char_time(9600);
    virtual_ms = static_cast<double>(end - start) / hs::kMillisecond;
    line_min_ms = line / hs::kMillisecond;
    answers = static_cast<double>(rig.handset().commands().size());  // one answer each
  }
  state.counters["virtual_ms"] = virtual_ms;
  state.counters["line_min_ms"] = line_min_ms;
  state.counters["ratio"] = line_min_ms > 0 ? virtual_ms / line_min_ms : 0;
  state.counters["qx42_allocations"] = allocations;
  state.counters["answers_read"] = answers;
  state.counters["requests_to_port"] = requests;
}
BENCHMARK(BM_NegotiateTo115200)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
