// `hsbridge serve`: the whole stack in real time behind a pseudo-terminal,
// so that Linux programs use the handset's modem port as a serial port.
//
// A program opening the pseudo-terminal opens the stack (IRP_MJ_CREATE);
// its termios changes become the matching requests, in the order a Windows
// program's SetCommState sends them: a new rate IOCTL_SERIAL_SET_BAUD_RATE
// (so ratefilter negotiates with the handset first), character size, parity
// and stop bits IOCTL_SERIAL_SET_LINE_CONTROL, CRTSCTS
// IOCTL_SERIAL_SET_HANDFLOW. What it writes becomes writes; a reader thread
// keeps one read going and hands what arrives to the program; its last close
// closes the stack (IRP_MJ_CLEANUP, IRP_MJ_CLOSE).
//
// Settings are compared with what the port has at each look, before the
// program's bytes are written down, so a rate set before writing applies
// to those bytes. A setting the stack refuses is reported and put back on
// the pseudo-terminal, so the program reads back what holds.
#include <ntddser.h>

#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>

#include "sim/rig.h"
#include "tools/hsbridge/codes.h"
#include "tools/hsbridge/realport_options.h"
#include "tools/hsbridge/realtime.h"
#include "tools/hsbridge/runner.h"
#include "tools/hsbridge/served_pty.h"
#include "tools/hsbridge/trace_render.h"

namespace hs::tool {
namespace {

constexpr VTime kLook = 10 * kMillisecond;    // how often settings and connections are checked
constexpr VTime kSettle = 20 * kMillisecond;  // settings that held this long are applied
constexpr VTime kDrain = 2 * kMillisecond;    // a full transmit queue is tried again after this
constexpr ULONG kChunk = 4096;                // bytes per write, at most per read
constexpr size_t kOutputLimit = 64 * 1024;    // bytes the program has not taken before reads wait

// Reads end at once with what is there, else after the first bytes, or
// after 50 ms with none.
constexpr ULONG kReadInterval = 10;
constexpr ULONG kReadTotal = 50;

// A waiting read looks again after the line time of the bytes it still
// misses: a length of about 10 ms of the line keeps the answer prompt.
ULONG read_length(uint32_t rate) { return std::clamp<ULONG>(rate / 900, 16, kChunk); }

// The port's settings as the requests see them.
struct PortSettings {
  uint32_t rate = 9600;
  UartFormat format;  // rate unused; data bits, parity and stop bits codes
  bool crtscts = false;
  bool operator==(const PortSettings& other) const {
    return rate == other.rate && format.data_bits == other.format.data_bits &&
           format.parity == other.format.parity && format.stop_bits == other.format.stop_bits &&
           crtscts == other.crtscts;
  }
};

PortSettings settings_of(const termios& t) {
  PortSettings s;
  s.format = tty_format(t);
  s.rate = s.format.rate;
  s.crtscts = (t.c_cflag & CRTSCTS) != 0;
  return s;
}

std::vector<uint8_t> bytes_of(const void* record, size_t size) {
  const auto* p = static_cast<const uint8_t*>(record);
  return std::vector<uint8_t>(p, p + size);
}

class ServeSession {
 public:
  ServeSession(Rig& rig, ServedPty& pty, TtyPorts& ports, std::string port, bool once)
      : rig_(rig),
        machine_(rig.machine()),
        client_(rig.client()),
        pty_(pty),
        ports_(ports),
        port_(std::move(port)),
        once_(once) {}

  bool failed() const { return failed_; }
  void stop() {
    stop_ = true;
    poke();
  }
  // Something changed on the pseudo-terminal: let the serving thread look.
  void poke() {
    if (main_ != nullptr && idle_) machine_.wake(*main_);
  }

  // The client's thread.
  void body() {
    main_ = machine_.current_thread();
    if (rig_.node() == nullptr || rig_.node()->state != NodeState::Started) {
      std::cerr << "hsbridge serve: the device stack did not start\n";
      failed_ = true;
      return;
    }
    while (!stop_) {
      if (!wait_for_program()) break;
      std::cerr << "hsbridge serve: a program opened " << pty_.path() << '\n';
      serve_program();
      if (once_) break;
    }
  }

 private:
  void idle(const std::string& what) {
    idle_ = true;
    machine_.block(what, machine_.now() + kLook);
    idle_ = false;
  }

  bool wait_for_program() {
    while (!stop_) {
      if (pty_.connected()) return true;
      idle("a program on " + pty_.path());
    }
    return false;
  }

  void serve_program() {
    Handle handle = client_.open();
    if (!handle.ok()) {
      std::cerr << "hsbridge serve: opening " << port_ << " failed ("
                << status_name(static_cast<uint32_t>(handle.open_status))
                << "); waiting for the program to close\n";
      while (!stop_ && pty_.connected()) {
        pty_.take_input(kChunk);  // nothing can take it
        idle("the program's hang-up");
      }
      pty_.reset();
      return;
    }
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = kReadInterval;
    timeouts.ReadTotalTimeoutConstant = kReadTotal;
    client_.ioctl(handle, IOCTL_SERIAL_SET_TIMEOUTS, bytes_of(&timeouts, sizeof timeouts));
    applied_ = PortSettings{};  // the port as IRP_MJ_CREATE leaves it: 9600 8N1
    session_over_ = false;
    reader_done_ = false;
    client_.spawn("serve reader", [this, handle] { reader(handle); });

    seen_ = applied_;
    seen_since_ = machine_.now();
    refused_.reset();
    for (;;) {
      // Settings first: bytes written after a change go at the new ones.
      if (apply_settings(handle)) continue;
      if (pty_.input_pending() > 0) {
        write_input(handle);
        continue;
      }
      if (stop_ || !pty_.connected()) break;
      idle("the program on " + pty_.path());
    }
    session_over_ = true;
    while (!reader_done_) idle("the reader's last read");
    client_.cleanup(handle);
    client_.close(handle);
    pty_.reset();
    std::cerr << "hsbridge serve: " << (stop_ ? "stopping" : "the program hung up") << "; " << port_
              << " closed\n";
  }

  // Writes the program's bytes. A write completes with what the port's
  // transmit queue took, possibly nothing while the line is busy: the rest
  // goes again once the line has had time to drain some.
  void write_input(const Handle& handle) {
    std::string bytes = pty_.take_input(kChunk);
    while (!bytes.empty() && !stop_) {
      Completion done = client_.write(handle, bytes);
      if (!NT_SUCCESS(done.status)) {
        std::cerr << "hsbridge serve: a write of " << bytes.size() << " bytes failed ("
                  << status_name(static_cast<uint32_t>(done.status)) << ")\n";
        return;
      }
      bytes.erase(0, std::min<size_t>(done.info, bytes.size()));
      if (!bytes.empty()) machine_.sleep_for(kDrain);
    }
  }

  // The reader thread: one read at a time, what it brings to the program.
  void reader(Handle handle) {
    while (!session_over_) {
      Completion done = client_.read(handle, read_length(applied_.rate));
      if (!done.data.empty()) pty_.send(done.text());
      while (!session_over_ && pty_.output_pending() > kOutputLimit && pty_.connected()) {
        machine_.sleep_for(2 * kMillisecond);
        pty_.flush();
      }
      if (!NT_SUCCESS(done.status) && done.status != STATUS_CANCELLED)
        machine_.sleep_for(kLook);  // a failing port is not asked again at once
    }
    reader_done_ = true;
    poke();
  }

  // Sends the requests for what the program changed, once its settings
  // have held for a moment or before its bytes are written (a program
  // opening the port often sets it right after the open, over the settings
  // a fresh pseudo-terminal starts with). True when requests went down.
  bool apply_settings(const Handle& handle) {
    termios now{};
    if (!pty_.settings(&now)) return false;
    PortSettings wanted = settings_of(now);
    if (wanted.rate == 0) wanted.rate = applied_.rate;  // B0 (hang up) or a rate unknown here
    if (!(wanted == seen_)) {
      seen_ = wanted;
      seen_since_ = machine_.now();
    }
    if (wanted == applied_ || (refused_ && wanted == *refused_)) return false;
    if (pty_.input_pending() == 0 && machine_.now() - seen_since_ < kSettle) return false;
    bool put_back = false;
    if (wanted.rate != applied_.rate) {
      SERIAL_BAUD_RATE rate{wanted.rate};
      Completion done =
          client_.ioctl(handle, IOCTL_SERIAL_SET_BAUD_RATE, bytes_of(&rate, sizeof rate));
      if (NT_SUCCESS(done.status))
        applied_.rate = wanted.rate;
      else
        put_back = refused(done, "SET_BAUD_RATE " + std::to_string(wanted.rate));
    }
    const UartFormat& f = wanted.format;
    if (f.data_bits != applied_.format.data_bits || f.parity != applied_.format.parity ||
        f.stop_bits != applied_.format.stop_bits) {
      SERIAL_LINE_CONTROL line{f.stop_bits, f.parity, f.data_bits};
      Completion done =
          client_.ioctl(handle, IOCTL_SERIAL_SET_LINE_CONTROL, bytes_of(&line, sizeof line));
      if (NT_SUCCESS(done.status)) {
        applied_.format.data_bits = f.data_bits;
        applied_.format.parity = f.parity;
        applied_.format.stop_bits = f.stop_bits;
      } else {
        UartFormat shown = f;
        shown.rate = applied_.rate;
        put_back |= refused(done, "SET_LINE_CONTROL " + shown.describe());
      }
    }
    if (wanted.crtscts != applied_.crtscts) {
      SERIAL_HANDFLOW flow{};
      flow.ControlHandShake = SERIAL_DTR_CONTROL | (wanted.crtscts ? SERIAL_CTS_HANDSHAKE : 0);
      flow.FlowReplace = wanted.crtscts ? SERIAL_RTS_HANDSHAKE : SERIAL_RTS_CONTROL;
      flow.XonLimit = static_cast<LONG>(kChunk / 4);
      flow.XoffLimit = static_cast<LONG>(kChunk / 4);
      Completion done =
          client_.ioctl(handle, IOCTL_SERIAL_SET_HANDFLOW, bytes_of(&flow, sizeof flow));
      if (NT_SUCCESS(done.status))
        applied_.crtscts = wanted.crtscts;
      else
        put_back |= refused(done, wanted.crtscts ? "SET_HANDFLOW CRTSCTS" : "SET_HANDFLOW");
    }
    refused_.reset();
    if (put_back) {
      refused_ = wanted;  // not asked again until the program changes something
      restore_settings(now);
    }
    return true;
  }

  bool refused(const Completion& done, const std::string& what) {
    std::cerr << "hsbridge serve: " << port_ << ": " << what << " failed ("
              << status_name(static_cast<uint32_t>(done.status)) << ")";
    if (TtyUart* uart = ports_.find(port_); uart != nullptr && !uart->refusal().empty())
      std::cerr << ": " << uart->refusal();
    std::cerr << "; the setting is put back\n";
    return true;
  }

  // Puts what holds on the port back into the program's settings.
  void restore_settings(termios t) {
    speed_t speed = tty_speed_code(applied_.rate);
    if (speed != 0) {
      cfsetispeed(&t, speed);
      cfsetospeed(&t, speed);
    }
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    const UartFormat& f = applied_.format;
    t.c_cflag |= f.data_bits == 5 ? CS5 : f.data_bits == 6 ? CS6 : f.data_bits == 7 ? CS7 : CS8;
    if (f.parity != 0) t.c_cflag |= PARENB;
    if (f.parity == 1 || f.parity == 3) t.c_cflag |= PARODD;
    if (f.parity >= 3) t.c_cflag |= CMSPAR;
    if (f.stop_bits != 0) t.c_cflag |= CSTOPB;
    if (applied_.crtscts) t.c_cflag |= CRTSCTS;
    pty_.put_settings(t);
  }

  Rig& rig_;
  Machine& machine_;
  Client& client_;
  ServedPty& pty_;
  TtyPorts& ports_;
  std::string port_;
  bool once_ = false;
  bool failed_ = false;
  EmuThread* main_ = nullptr;
  bool idle_ = false;  // the serving thread waits in idle(), and only there may be woken
  bool stop_ = false;
  bool session_over_ = false;
  bool reader_done_ = true;
  PortSettings applied_;                 // what the port has
  PortSettings seen_;                    // what the program's settings said at the last look
  VTime seen_since_ = 0;                 // since when they have said it
  std::optional<PortSettings> refused_;  // settings the stack refused last
};

}  // namespace

int run_serve_command(const ServeCommand& command) {
  std::vector<PortOption> ports;
  std::string error;
  for (const auto& text : command.ports) {
    auto port = parse_port_option(text, &error);
    if (!port) {
      std::cerr << "hsbridge serve: " << error << '\n';
      return kExitUsage;
    }
    ports.push_back(*port);
  }
  std::string serve_port = command.serve_port;
  const bool port_is_tty = std::any_of(ports.begin(), ports.end(),
                                       [&](const PortOption& p) { return p.name == serve_port; });
  RigOptions options;
  if (!make_handset_options(command.handset, &options.handset, &error)) {
    std::cerr << "hsbridge serve: " << error << '\n';
    return kExitUsage;
  }
  std::ofstream trace_file;
  if (!command.trace_file.empty() && command.trace != "none") {
    trace_file.open(command.trace_file, std::ios::binary | std::ios::trunc);
    if (!trace_file) {
      std::cerr << "hsbridge serve: --trace-file: cannot write " << command.trace_file << '\n';
      return kExitUsage;
    }
  }

  StopSignals signals;  // before the machine starts any thread
  options.machine.real_time = true;
  options.machine.step_limit = std::numeric_limits<uint64_t>::max();
  options.kernel.driver_directory =
      command.driver_directory.empty() ? executable_directory() : command.driver_directory;
  options.record_trace = false;
  // The simulated line and handset sit on the served port unless a tty
  // backs it; then they sit, unused, on a port nobody opens.
  options.port = port_is_tty ? "COM0" : serve_port;
  options.handset_present = !port_is_tty;
  Rig rig(options);

  TraceWriter writer(trace_file, command.trace == "jsonl" ? TraceFormat::Jsonl : TraceFormat::Text);
  int sink = -1;
  if (trace_file.is_open()) {
    sink = rig.trace().add_sink([&](const TraceEvent& event) {
      writer(event);
      trace_file.flush();
    });
  }

  int status = kExitOk;
  {
    TtyPorts tty_ports(rig.vcomm());
    for (const auto& port : ports) {
      if (!tty_ports.add(rig.machine(), port, &error)) {
        std::cerr << "hsbridge serve: " << error << '\n';
        if (sink >= 0) rig.trace().remove_sink(sink);
        return kExitUsage;
      }
      tty_ports.find(port.name)->on_hang_up([name = port.name, path = port.path] {
        std::cerr << "hsbridge serve: " << name << " (" << path << "): the far side hung up\n";
      });
    }
    std::unique_ptr<ServedPty> pty = ServedPty::open(rig.machine(), command.link, &error);
    if (!pty) {
      std::cerr << "hsbridge serve: " << error << '\n';
      if (sink >= 0) rig.trace().remove_sink(sink);
      return kExitUsage;
    }

    DeviceNodeSpec spec = rig.stack_spec("portbridge", {"ratefilter"});
    std::erase_if(spec.driver_key, [](const RegistryValue& v) { return v.name == "AttachedTo"; });
    spec.driver_key.push_back(RegistryValue::string("AttachedTo", serve_port));
    rig.install(std::move(spec));

    ServeSession session(rig, *pty, tty_ports, serve_port, command.once);
    pty->on_change([&session] { session.poke(); });
    signals.watch(rig.machine(), [&session](int) { session.stop(); });

    std::cout << pty->path() << std::endl;
    std::cerr << "hsbridge serve: " << serve_port << " on " << pty->path()
              << (command.link.empty() ? "" : " (" + command.link + ")")
              << "; SIGINT or SIGTERM stops it\n";
    const RunResult result = rig.run([&session] { session.body(); });
    signals.stop_watching();
    pty->on_change(nullptr);
    if (!result.ok()) {
      std::cerr << "hsbridge serve: the run stopped:\n" << result.report << '\n';
      status = kExitStopped;
    } else if (session.failed()) {
      status = kExitStopped;
    }
  }
  if (sink >= 0) rig.trace().remove_sink(sink);
  return status;
}

}  // namespace hs::tool
