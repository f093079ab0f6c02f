// Device controls with any code, any input and output lengths and contents,
// at PASSIVE_LEVEL or DISPATCH_LEVEL, synchronously or not, with the device
// started, stopped, powered down, query-removed or surprise-removed.
//
// Input: state, flags, code (4 bytes), input length (2), output length (2),
// then the input bytes; further controls follow the same way.
#include <cstring>

#include "fuzz/fuzz_support.h"

namespace {

using namespace hs::tool;

constexpr uint32_t kSerialBase = 0x001B0000;    // FILE_DEVICE_SERIAL_PORT, METHOD_BUFFERED
constexpr uint32_t kSetBaudRate = 0x001B0004;   // IOCTL_SERIAL_SET_BAUD_RATE
constexpr uint32_t kWaitOnMask = 0x001B0048;    // IOCTL_SERIAL_WAIT_ON_MASK
constexpr uint32_t kSetQueueSize = 0x001B0008;  // IOCTL_SERIAL_SET_QUEUE_SIZE
constexpr uint32_t kLargestQueue = 256u << 10;  // larger queues are cut to this
constexpr uint32_t kPoolLimit = 256u << 20;     // the pool refuses larger blocks

// Queue sizes between 256 KB and the pool's limit take the paths of 256 KB
// but cost a run seconds (the pool fills and checks every byte of a block):
// they become 256 KB. Sizes the pool refuses stay as they are.
void cut_queue_sizes(std::string& input) {
  for (size_t at = 0; at + 4 <= input.size() && at <= 4; at += 4) {
    uint32_t size;
    std::memcpy(&size, input.data() + at, 4);
    if (size > kLargestQueue && size <= kPoolLimit) size = kLargestQueue;
    std::memcpy(input.data() + at, &size, 4);
  }
}

RequestStep control(hs::fuzz::Input& in, int index) {
  const uint8_t flags = in.byte();
  uint32_t code = in.u32();
  // Most inputs aim at the serial codes (function 0..63, any method),
  // the others are any code at all.
  if ((flags & 0x80) == 0) code = kSerialBase | (code & 0xFF);
  RequestStep step;
  step.kind = RequestStep::Kind::Ioctl;
  step.label = "ioctl";
  step.handle = "h";
  step.code = code;
  const uint32_t in_length = in.u16() % 4097;
  step.out_length = in.u16() % 4097;
  step.input = in.bytes(in_length);
  step.input.resize(in_length, '\0');
  if (code == kSetQueueSize) cut_queue_sizes(step.input);
  step.at_dispatch = flags & 1;
  // A wait ends by an event, a new mask or the close, none of which comes
  // while the scenario's one thread waits for it: it goes without waiting.
  if ((flags & 2) || code == kWaitOnMask) step.async_name = "c" + std::to_string(index);
  return step;
}

// Whether the filter takes the request for a rate negotiation, which runs in
// the sender's thread and waits for each of its own requests to the port.
bool negotiates(const RequestStep& request) {
  return request.code == kSetBaudRate && request.input.size() == 4 && !request.at_dispatch;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using hs::fuzz::step;
  hs::fuzz::Input in(data, size);
  Scenario scenario;
  scenario.file = "fuzz";
  const uint8_t state = in.byte() % 6;
  scenario.steps.push_back(step(StartStep{}));
  RequestStep open;
  open.kind = RequestStep::Kind::Open;
  open.label = "open";
  open.open_as = "h";
  scenario.steps.push_back(step(open));
  switch (state) {
    case 1:
      scenario.steps.push_back(step(PnpStep{"query-stop"}));
      scenario.steps.push_back(step(PnpStep{"stop"}));
      break;
    case 2:
      scenario.steps.push_back(step(PowerStep{PowerStep::Kind::Device, 3}));
      break;
    case 3:
      scenario.steps.push_back(step(PnpStep{"query-remove"}));
      break;
    case 4:
      scenario.steps.push_back(step(PnpStep{"surprise-removal"}));
      break;
    default:
      break;
  }
  const bool held = state >= 1 && state <= 3;
  for (int i = 0; i < 4 && !in.empty(); ++i) {
    RequestStep request = control(in, i);
    if (held) {
      // Held requests (stopped, powered down, removal pending) are not waited for before
      // the device comes back: those go without waiting.
      request.async_name = "c" + std::to_string(i);
      // A rate the filter would negotiate blocks the sending thread in the filter until the
      // port answers, which it does only once the device is back; here the scenario's one
      // thread is also the one that brings it back, so the run could only hang.
      if (negotiates(request)) continue;
    }
    scenario.steps.push_back(step(request));
  }
  switch (state) {
    case 1:
      scenario.steps.push_back(step(StartStep{}));
      break;
    case 2:
      scenario.steps.push_back(step(PowerStep{PowerStep::Kind::Device, 0}));
      break;
    case 3:
      scenario.steps.push_back(step(PnpStep{"cancel-remove"}));
      break;
    default:
      break;
  }
  hs::fuzz::run_checked(scenario, state == 5 ? size : 0);
  return 0;
}
