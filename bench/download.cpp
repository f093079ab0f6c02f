// A 60-virtual-second download at 115200 8N1 through both drivers
// (ratefilter over portbridge), one 512-byte read outstanding with
// ReadIntervalTimeout 20. Counters:
//
//   utilisation          bytes delivered / bytes the line carried (limit 1)
//   latency_median_us    last byte's arrival to the read's completion (floor 0)
//   polls_per_read       ReadComm calls that completed no read, per read
//   allocs_per_read      pool allocations while streaming, per read (goal 0)
//   virtual_s_per_real_s virtual seconds simulated per second of the
//                        process's processor time (the host's wall clock on a
//                        shared machine says more about the other programs)
#include "download.h"

#include <benchmark/benchmark.h>

#include <ctime>

namespace {

using namespace hs::bench;

void BM_Download60s(benchmark::State& state) {
  Download d;
  double real = 0;
  for (auto _ : state) {
    std::clock_t start = std::clock();
    d = run_download(Reader::Stack, 60);
    real += static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    if (!d.ok) {
      state.SkipWithError(("the download did not arrive whole: " + d.report).c_str());
      return;
    }
  }
  double reads = static_cast<double>(std::max<uint64_t>(d.reads, 1));
  state.counters["utilisation"] = static_cast<double>(d.delivered) / static_cast<double>(d.bytes);
  state.counters["latency_median_us"] = d.latency_median_us;
  state.counters["polls_per_read"] = static_cast<double>(d.polls) / reads;
  state.counters["allocs_per_read"] = static_cast<double>(d.allocations) / reads;
  state.counters["reads"] = static_cast<double>(d.reads);
  state.counters["virtual_s_per_real_s"] = static_cast<double>(state.iterations()) *
                                           static_cast<double>(d.virtual_time) / hs::kSecond / real;
}
BENCHMARK(BM_Download60s)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
