// The line model's speed: the handset streams at 115200 baud to a test
// driver (sim_fdo) that reads in 512-byte reads. Reports virtual seconds
// simulated per real second (and per second of the process's CPU time,
// the steadier figure on a shared machine), reads, port-service calls and
// bytes.
#include <benchmark/benchmark.h>
#include <ntddser.h>
#include <sys/resource.h>

#include <chrono>

#include "sim/rig.h"

namespace {

double process_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_LineStream115200(benchmark::State& state) {
  const uint64_t kVirtualSeconds = static_cast<uint64_t>(state.range(0));
  const uint64_t kBytes = 11520 * kVirtualSeconds;  // 10-bit frames at 115200
  double virtual_seconds = 0;
  double real_seconds = 0;
  double cpu_seconds = 0;
  uint64_t reads = 0;
  uint64_t calls = 0;
  for (auto _ : state) {
    hs::RigOptions options;
    options.record_trace = false;
    options.line.trace = false;
    options.handset.sleep_after = 0;
    options.handset.rate = 115200;
    hs::Rig rig(options);
    rig.install(rig.stack_spec("sim_fdo"));
    uint64_t got = 0;
    hs::VTime start_virtual = 0;
    auto start = std::chrono::steady_clock::now();
    double cpu_start = process_cpu_seconds();
    hs::RunResult result = rig.run([&] {
      hs::Client& client = rig.client();
      hs::Handle h = client.open();
      client.ioctl(h, IOCTL_SERIAL_SET_BAUD_RATE, hs::le32(115200));
      SERIAL_TIMEOUTS timeouts{};
      timeouts.ReadTotalTimeoutConstant = 5000;
      std::vector<uint8_t> record(reinterpret_cast<uint8_t*>(&timeouts),
                                  reinterpret_cast<uint8_t*>(&timeouts) + sizeof timeouts);
      client.ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, record);
      start_virtual = rig.machine().now();
      rig.handset().stream("0123456789abcdef", kBytes);
      while (got < kBytes) {
        hs::Completion c = client.read(h, 512);
        if (c.info == 0) break;
        got += c.info;
        ++reads;
      }
      client.close(h);
    });
    auto elapsed = std::chrono::steady_clock::now() - start;
    cpu_seconds += process_cpu_seconds() - cpu_start;
    if (!result.ok() || got != kBytes) {
      state.SkipWithError("the stream did not arrive whole");
      return;
    }
    virtual_seconds += static_cast<double>(rig.machine().now() - start_virtual) / hs::kSecond;
    real_seconds += std::chrono::duration<double>(elapsed).count();
    calls += rig.vcomm().calls("ReadComm");
  }
  state.counters["virtual_s_per_real_s"] = virtual_seconds / real_seconds;
  state.counters["virtual_s_per_cpu_s"] = virtual_seconds / cpu_seconds;
  state.counters["reads"] = static_cast<double>(reads) / state.iterations();
  state.counters["ReadComm_calls"] = static_cast<double>(calls) / state.iterations();
  state.counters["bytes"] = static_cast<double>(kBytes);
}
BENCHMARK(BM_LineStream115200)->Arg(60)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
