// Runs one download for an instruction count under callgrind:
//
//   bench_driver_instructions stack|bare <virtual seconds>
//
// "stack" reads through both drivers, "bare" with a loop calling the port
// services directly. The difference of two runs of different lengths gives
// the instructions per byte without the set-up (scripts/perf-report).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "download.h"

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "stack") != 0 && std::strcmp(argv[1], "bare") != 0)) {
    std::fprintf(stderr, "usage: %s stack|bare <virtual seconds>\n", argv[0]);
    return 2;
  }
  using namespace hs::bench;
  Reader reader = std::strcmp(argv[1], "stack") == 0 ? Reader::Stack : Reader::BarePort;
  Download d = run_download(reader, std::strtoull(argv[2], nullptr, 10));
  std::printf("bytes %llu reads %llu polls %llu allocations %llu\n",
              static_cast<unsigned long long>(d.delivered),
              static_cast<unsigned long long>(d.reads), static_cast<unsigned long long>(d.polls),
              static_cast<unsigned long long>(d.allocations));
  if (!d.ok) {
    std::fprintf(stderr, "the download did not arrive whole\n%s\n", d.report.c_str());
    return 1;
  }
  return 0;
}
