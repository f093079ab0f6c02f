// The bridge's read path under a streaming line: the handset sends at
// 115200 baud 8N1 for 60 virtual seconds while the client keeps one 512-byte
// read outstanding with ReadIntervalTimeout 20. Reports, as counters:
//
//   utilisation      bytes delivered / (60 s x 11520 bytes/s)       (aim >= 0.99)
//   overflow         receive-queue overflows reported by GET_COMMSTATUS (aim 0)
//   polls_per_read   timer-routine polls per completed read           (aim <= 2)
//   latency_median_us  virtual time from the arrival of a read's last byte to
//                    its completion, median                            (aim < 86.8 us + 10 ms)
//   allocs_per_request pool allocations per request during the stream  (aim 0)
#include <benchmark/benchmark.h>
#include <ntddser.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sim/rig.h"

namespace {

using namespace hs;

constexpr uint32_t kRate = 115200;
constexpr VTime kStreamTime = 60 * kSecond;
constexpr uint64_t kBytesPerSecond = kRate / 10;  // 8N1: ten bits a byte
constexpr uint64_t kStreamBytes = 60 * kBytesPerSecond;
constexpr ULONG kReadLength = 512;

struct Figures {
  double utilisation = 0;
  double overflow = 0;
  double polls_per_read = 0;
  double latency_median_us = 0;
  double allocs_per_request = 0;
  double reads = 0;
};

uint64_t pool_allocations(Kernel& kernel) {
  uint64_t total = 0;
  for (const auto& [tag, usage] : kernel.pool_usage()) total += usage.allocations;
  return total;
}

Figures run_stream() {
  RigOptions options;
  options.record_trace = false;
  options.line.trace = false;
#ifdef HS_BIN_DIR
  options.kernel.driver_directory = HS_BIN_DIR;
#endif
  Rig rig(options);
  rig.install(rig.stack_spec("portbridge"));
  Figures figures;

  RunResult result = rig.run([&] {
    Client& client = rig.client();
    Handle h = client.open();
    client.ioctl(h, IOCTL_SERIAL_SET_BAUD_RATE, le32(kRate));
    rig.handset().set_rate(kRate);
    SERIAL_TIMEOUTS t{};
    t.ReadIntervalTimeout = 20;
    std::vector<uint8_t> timeouts(sizeof(t));
    std::memcpy(timeouts.data(), &t, sizeof(t));
    client.ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
    client.ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, le32(SERIAL_EV_ERR));

    VTime start = rig.machine().now();
    rig.handset().stream("0123456789abcdefghijklmnopqrstuvwxyz", kStreamBytes);
    const double frame = 10.0 * kSecond / kRate;  // exact, in 100 ns units

    uint64_t reads_before = rig.vcomm().calls("ReadComm");
    uint64_t allocations_before = pool_allocations(rig.kernel());
    uint64_t delivered = 0;
    uint64_t completed = 0;
    uint64_t requests = 0;
    std::vector<double> latencies;
    while (delivered < kStreamBytes && rig.machine().now() < start + kStreamTime + kSecond) {
      Completion c = client.read(h, kReadLength);
      ++requests;
      ++completed;
      if (c.info == 0) continue;
      delivered += c.info;
      double last_arrival = static_cast<double>(start) + static_cast<double>(delivered) * frame;
      latencies.push_back(static_cast<double>(c.done_at) - last_arrival);
    }
    uint64_t polls = rig.vcomm().calls("ReadComm") - reads_before - completed;
    figures.allocs_per_request =
        static_cast<double>(pool_allocations(rig.kernel()) - allocations_before) /
        static_cast<double>(std::max<uint64_t>(requests, 1));

    Completion status = client.ioctl(h, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
    SERIAL_STATUS s{};
    std::memcpy(&s, status.data.data(), std::min(sizeof(s), status.data.size()));
    figures.overflow = (s.Errors & (SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_OVERRUN)) ? 1 : 0;
    client.close(h);

    figures.utilisation = static_cast<double>(delivered) / static_cast<double>(kStreamBytes);
    figures.reads = static_cast<double>(completed);
    figures.polls_per_read = static_cast<double>(polls) / static_cast<double>(completed);
    if (!latencies.empty()) {
      std::sort(latencies.begin(), latencies.end());
      figures.latency_median_us = latencies[latencies.size() / 2] / 10.0;
    }
  });
  if (!result.ok()) figures.utilisation = -1;
  return figures;
}

void BM_PortbridgeStream(benchmark::State& state) {
  Figures figures;
  for (auto _ : state) {
    figures = run_stream();
    if (figures.utilisation < 0) {
      state.SkipWithError("the run did not finish cleanly");
      return;
    }
  }
  state.counters["utilisation"] = figures.utilisation;
  state.counters["overflow"] = figures.overflow;
  state.counters["polls_per_read"] = figures.polls_per_read;
  state.counters["latency_median_us"] = figures.latency_median_us;
  state.counters["allocs_per_request"] = figures.allocs_per_request;
  state.counters["reads"] = figures.reads;
}
BENCHMARK(BM_PortbridgeStream)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
