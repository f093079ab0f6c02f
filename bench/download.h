// A download over the emulated line, shared by the benchmarks that measure
// it: the handset streams at 115200 baud 8N1 while a reader keeps one
// 512-byte read outstanding. The reader is either the client through the
// whole stack (ratefilter over portbridge, the rate negotiated by the
// filter) or a bare loop calling the port services directly, the floor any
// driver is measured against on the same machine.
#pragma once

#include <ntddser.h>
#include <vcomm.h>
#include <wdm.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sim/rig.h"

namespace hs::bench {

constexpr uint32_t kRate = 115200;
constexpr uint64_t kBytesPerSecond = kRate / 10;  // 8N1: ten bits a byte
constexpr ULONG kReadLength = 512;

enum class Reader { Stack, BarePort };

struct Download {
  bool ok = false;
  std::string report;
  uint64_t bytes = 0;            // streamed by the handset
  uint64_t delivered = 0;        // read by the reader
  uint64_t reads = 0;            // completed reads (bare: ReadComm calls that returned bytes)
  uint64_t polls = 0;            // ReadComm calls that did not complete a read
  uint64_t allocations = 0;      // pool allocations while streaming
  double latency_median_us = 0;  // last byte's arrival to the read's completion
  VTime virtual_time = 0;        // from the start of the stream to the last read
};

inline uint64_t pool_allocations(Kernel& kernel) {
  uint64_t total = 0;
  for (const auto& [tag, usage] : kernel.pool_usage()) total += usage.allocations;
  return total;
}

// Streams `seconds` virtual seconds of bytes to the reader.
inline Download run_download(Reader reader, uint64_t seconds) {
  const VTime deadline_after = static_cast<VTime>(seconds + 1) * kSecond;
  RigOptions options;
  options.record_trace = false;
  options.line.trace = false;
  options.handset.sleep_after = 0;
#ifdef HS_BIN_DIR
  options.kernel.driver_directory = HS_BIN_DIR;
#endif
  Rig rig(options);
  if (reader == Reader::Stack) rig.install(rig.stack_spec("portbridge", {"ratefilter"}));
  Download d;
  d.bytes = seconds * kBytesPerSecond;
  const double frame = 10.0 * kSecond / kRate;

  RunResult result = rig.run([&] {
    std::vector<double> latencies;
    auto account = [&](VTime start, VTime done, uint64_t got) {
      d.delivered += got;
      ++d.reads;
      double last = static_cast<double>(start) + static_cast<double>(d.delivered) * frame;
      latencies.push_back(static_cast<double>(done) - last);
    };
    uint64_t calls_before = 0, allocations_before = 0;
    VTime start = 0;
    if (reader == Reader::Stack) {
      Client& client = rig.client();
      Handle h = client.open();
      if (client.ioctl(h, IOCTL_SERIAL_SET_BAUD_RATE, le32(kRate)).status != STATUS_SUCCESS) return;
      SERIAL_TIMEOUTS t{};
      t.ReadIntervalTimeout = 20;
      std::vector<uint8_t> timeouts(sizeof t);
      std::memcpy(timeouts.data(), &t, sizeof t);
      client.ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
      calls_before = rig.vcomm().calls("ReadComm");
      allocations_before = pool_allocations(rig.kernel());
      start = rig.machine().now();
      rig.handset().stream("0123456789abcdefghijklmnopqrstuvwxyz", d.bytes);
      while (d.delivered < d.bytes && rig.machine().now() < start + deadline_after) {
        Completion c = client.read(h, kReadLength);
        if (c.info != 0) account(start, c.done_at, c.info);
      }
      d.virtual_time = rig.machine().now() - start;
      d.allocations = pool_allocations(rig.kernel()) - allocations_before;
      uint64_t calls = rig.vcomm().calls("ReadComm") - calls_before;
      d.polls = calls > d.reads ? calls - d.reads : 0;
      client.close(h);
    } else {
      rig.handset().set_rate(kRate);
      char name[8] = "COM2";
      ULONG port = _VCOMM_OpenComm(name, static_cast<ULONG>(-1));
      static UCHAR rx[4096], tx[1024];
      UCHAR queue[8];
      _VCOMM_SetupComm(port, rx, sizeof rx, tx, sizeof tx, queue);
      DCB dcb;
      _VCOMM_GetCommState(port, &dcb);
      dcb.DCBLength = sizeof(DCB);
      dcb.BaudRate = kRate;
      dcb.BitMask = fBinary | fDtrEnable | fRtsEnable;
      dcb.ByteSize = 8;
      dcb.Parity = NO_PARITY;
      dcb.StopBits = STOP_BIT_1;
      _VCOMM_SetCommState(port, &dcb, VCOMM_ACTION_LINE_FORMAT);
      KEVENT never;
      KeInitializeEvent(&never, NotificationEvent, FALSE);
      UCHAR buffer[kReadLength];
      calls_before = rig.vcomm().calls("ReadComm");
      allocations_before = pool_allocations(rig.kernel());
      start = rig.machine().now();
      rig.handset().stream("0123456789abcdefghijklmnopqrstuvwxyz", d.bytes);
      // The ideal reader: sleeps exactly until a full read can have
      // arrived, then takes it with one call.
      ULONG filled = 0;
      while (d.delivered < d.bytes && rig.machine().now() < start + deadline_after) {
        ULONG got = 0;
        _VCOMM_ReadComm(port, buffer + filled, kReadLength - filled, &got);
        filled += got;
        uint64_t left = d.bytes - d.delivered;
        if (filled == kReadLength || filled == left) {
          account(start, rig.machine().now(), filled);
          filled = 0;
          continue;
        }
        uint64_t want = std::min<uint64_t>(kReadLength, left) - filled;
        LARGE_INTEGER wait;
        wait.QuadPart = -static_cast<LONGLONG>(static_cast<double>(want) * frame + 1);
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &wait);
      }
      d.virtual_time = rig.machine().now() - start;
      d.allocations = pool_allocations(rig.kernel()) - allocations_before;
      uint64_t calls = rig.vcomm().calls("ReadComm") - calls_before;
      d.polls = calls > d.reads ? calls - d.reads : 0;
      _VCOMM_CloseComm(port);
    }
    if (!latencies.empty()) {
      std::sort(latencies.begin(), latencies.end());
      d.latency_median_us = latencies[latencies.size() / 2] / 10.0;
    }
  });
  d.ok = result.ok() && d.delivered == d.bytes;
  d.report = result.report;
  return d;
}

}  // namespace hs::bench
