// Requests per real second through both drivers (ratefilter over
// portbridge) on an open handle: IOCTL_SERIAL_GET_COMMSTATUS, and a 1-byte
// write at 115200 baud. Each request is a full round trip from the client
// thread: the request built, sent down both devices, completed and freed.
// allocs_per_request counts pool allocations of the drivers per request
// (goal 0).
#include <benchmark/benchmark.h>

#include "download.h"

namespace {

using namespace hs;
using namespace hs::bench;

template <class Send>
void run_requests(benchmark::State& state, Send send) {
  RigOptions options;
  options.record_trace = false;
  options.line.trace = false;
  options.handset.sleep_after = 0;
#ifdef HS_BIN_DIR
  options.kernel.driver_directory = HS_BIN_DIR;
#endif
  Rig rig(options);
  rig.install(rig.stack_spec("portbridge", {"ratefilter"}));
  uint64_t allocations = 0;
  bool failed = false;
  RunResult result = rig.run([&] {
    Client& client = rig.client();
    Handle h = client.open();
    if (client.ioctl(h, IOCTL_SERIAL_SET_BAUD_RATE, le32(kRate)).status != STATUS_SUCCESS) {
      failed = true;
      return;
    }
    uint64_t before = pool_allocations(rig.kernel());
    for (auto _ : state)
      if (!NT_SUCCESS(send(client, h))) failed = true;
    allocations = pool_allocations(rig.kernel()) - before;
    client.close(h);
  });
  if (!result.ok() || failed) {
    state.SkipWithError(("requests failed: " + result.report).c_str());
    return;
  }
  state.counters["requests_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["allocs_per_request"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

void BM_GetCommStatus(benchmark::State& state) {
  run_requests(state, [](Client& client, const Handle& h) {
    return client.ioctl(h, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)).status;
  });
}
BENCHMARK(BM_GetCommStatus)->MinTime(1.0);

void BM_Write1Byte(benchmark::State& state) {
  run_requests(state, [](Client& client, const Handle& h) { return client.write(h, "x").status; });
}
BENCHMARK(BM_Write1Byte)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
