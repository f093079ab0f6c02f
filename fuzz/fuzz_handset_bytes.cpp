// Bytes from the handset into the baud-rate negotiation and the response
// reader: the handset stays silent and the input arrives on the line in
// pieces, with pauses, while the filter negotiates a new rate. The pieces
// are events of the world at fixed virtual times from the start: the
// negotiation runs in the client's thread, so steps of the scenario after
// it would come only once it is over.
//
// Input: the rate to ask for (1 byte), then pieces: length (1 byte), pause
// in milliseconds (1 byte), bytes.
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace hs::tool;
  using hs::fuzz::step;
  hs::fuzz::Input in(data, size);
  static const uint32_t kRates[] = {9600, 19200, 38400, 57600, 115200, 230400, 1200, 0};
  const uint32_t rate = kRates[in.byte() % std::size(kRates)];
  Scenario scenario;
  scenario.file = "fuzz";
  HandsetStep silent;
  silent.quirks.push_back("silent");
  scenario.steps.push_back(step(silent));
  scenario.steps.push_back(step(StartStep{}));
  RequestStep open;
  open.kind = RequestStep::Kind::Open;
  open.label = "open";
  open.open_as = "h";
  scenario.steps.push_back(step(open));
  RequestStep baud;
  baud.kind = RequestStep::Kind::Ioctl;
  baud.label = "ioctl SET_BAUD_RATE";
  baud.handle = "h";
  baud.code = 0x001B0004;  // IOCTL_SERIAL_SET_BAUD_RATE
  baud.input = std::string(reinterpret_cast<const char*>(&rate), 4);
  baud.async_name = "n";
  scenario.steps.push_back(step(baud));
  std::vector<std::pair<hs::VTime, std::string>> pieces;
  hs::VTime when = hs::kMillisecond;  // the open and the first purge come first
  for (int i = 0; i < 32 && !in.empty(); ++i) {
    const size_t length = in.byte() % 64;
    const uint8_t pause = in.byte();
    when += (pause % 50) * hs::kMillisecond;
    std::string bytes = in.bytes(length);
    if (!bytes.empty()) pieces.emplace_back(when, std::move(bytes));
  }
  scenario.steps.push_back(step(WaitStep{"n"}));
  // What the reader left behind must not upset a read after it.
  RequestStep read;
  read.kind = RequestStep::Kind::Read;
  read.label = "read";
  read.handle = "h";
  read.out_length = 32;
  RequestStep timeouts = baud;
  timeouts.label = "ioctl SET_TIMEOUTS";
  timeouts.code = 0x001B001C;  // IOCTL_SERIAL_SET_TIMEOUTS: return at once
  timeouts.input = std::string("\xFF\xFF\xFF\xFF", 4) + std::string(16, '\0');
  timeouts.async_name.clear();
  scenario.steps.push_back(step(timeouts));
  scenario.steps.push_back(step(read));
  hs::fuzz::run_checked(scenario, 0, [&pieces](hs::Rig& rig) {
    for (const auto& [at, bytes] : pieces)
      rig.machine().at(at, [&rig, bytes = bytes] { rig.handset().send_raw(bytes); }, "fuzz bytes");
  });
  return 0;
}
