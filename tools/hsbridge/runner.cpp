#include "tools/hsbridge/runner.h"

#include <ntddser.h>

#include <csignal>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "sim/rig.h"
#include "tools/hsbridge/codes.h"
#include "tools/hsbridge/realtime.h"
#include "tools/hsbridge/trace_render.h"

namespace hs::tool {
namespace {

// The built-in device node: portbridge with ratefilter above it, attached
// to COM2 under the name the port's class installer gives it.
DeviceNodeSpec builtin_node(const Rig& rig) {
  DeviceNodeSpec spec = rig.stack_spec("portbridge", {"ratefilter"});
  std::erase_if(spec.driver_key, [](const RegistryValue& v) { return v.name == "AttachedTo"; });
  spec.driver_key.push_back(RegistryValue::string("AttachedTo", "Communications Port (COM2)"));
  return spec;
}

void set_value(std::vector<RegistryValue>& key, RegistryValue value) {
  std::erase_if(key, [&](const RegistryValue& v) { return v.name == value.name; });
  key.push_back(std::move(value));
}

void apply_to_options(HandsetOptions& options, const HandsetStep& step) {
  if (step.rate) options.rate = *step.rate;
  if (step.echo) options.echo = *step.echo;
  if (step.verbose) options.verbose = *step.verbose;
  if (step.latency) options.latency = *step.latency;
  if (step.rates) options.rates = *step.rates;
  if (step.sleep) {
    options.sleep_after = step.sleep->value_or(0);
    if (!step.sleep->has_value()) options.asleep_at_power_on = false;
  }
  for (const auto& quirk : step.quirks) apply_handset_quirk(options.quirks, quirk);
}

void apply_to_handset(Handset& handset, const HandsetStep& step) {
  if (step.rate) handset.set_rate(*step.rate);
  if (step.echo) handset.set_echo(*step.echo);
  if (step.verbose) handset.set_verbose(*step.verbose);
  if (step.latency) handset.set_latency(*step.latency);
  if (step.rates) handset.set_rates(*step.rates);
  if (step.sleep) handset.set_sleep_after(step.sleep->value_or(0));
  if (!step.quirks.empty()) {
    HandsetQuirks quirks = handset.options().quirks;
    for (const auto& quirk : step.quirks) apply_handset_quirk(quirks, quirk);
    handset.set_quirks(quirks);
  }
}

UCHAR pnp_minor(const std::string& action) {
  if (action == "query-stop") return IRP_MN_QUERY_STOP_DEVICE;
  if (action == "stop") return IRP_MN_STOP_DEVICE;
  if (action == "cancel-stop") return IRP_MN_CANCEL_STOP_DEVICE;
  if (action == "query-remove") return IRP_MN_QUERY_REMOVE_DEVICE;
  if (action == "remove") return IRP_MN_REMOVE_DEVICE;
  if (action == "cancel-remove") return IRP_MN_CANCEL_REMOVE_DEVICE;
  return IRP_MN_SURPRISE_REMOVAL;
}

// A device power request as the power manager's PoRequestPowerIrp sends it
// to the top of the stack; the calling emulated thread waits for its end.
struct PowerWait {
  KEVENT done;
  NTSTATUS status = STATUS_PENDING;
};

VOID NTAPI power_complete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
  auto* wait = static_cast<PowerWait*>(context);
  wait->status = io->Status;
  KeSetEvent(&wait->done, 0, FALSE);
}

NTSTATUS send_device_power(DeviceNode& node, UCHAR minor, int state) {
  if (node.pdo == nullptr) return STATUS_NO_SUCH_DEVICE;  // failed or removed: no stack
  PowerWait wait;
  KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
  POWER_STATE power;
  power.DeviceState = static_cast<DEVICE_POWER_STATE>(PowerDeviceD0 + state);
  const NTSTATUS status = PoRequestPowerIrp(node.pdo, minor, power, power_complete, &wait, nullptr);
  if (status != STATUS_PENDING) return status;
  KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
  return wait.status;
}

std::string escaped(const std::string& bytes) { return "\"" + escape_bytes(bytes) + "\""; }

// How long a real-time run may take to wind down after a stop signal or its
// time limit before it is stopped where it stands.
constexpr VTime kWindDown = 5 * kSecond;

std::string signal_name(int number) {
  switch (number) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "signal " + std::to_string(number);
  }
}

class ScenarioRun {
 public:
  ScenarioRun(const Scenario& scenario, const RunSettings& settings, const TraceSink& sink)
      : scenario_(scenario), settings_(settings), sink_(sink) {}

  ~ScenarioRun() {
    if (rig_) {
      tty_ports_.reset();  // their ports leave VCOMM, the ttys get their settings back
      for (const auto& name : extra_ports_) rig_->vcomm().remove_port(name);
      extra_lines_.clear();
      rig_.reset();
    }
  }

  RunReport run() {
    report_.policy = settings_.policy.describe();
    if (!prepare()) {
      report_.exit_status = kExitUsage;
      return std::move(report_);
    }
    // An empty sink adds nothing: with recording off as well, no trace
    // event is even built.
    const int sink_id = sink_ ? rig_->trace().add_sink(sink_) : -1;
    if (signals_) {
      signals_->watch(rig_->machine(), [this](int number) {
        interrupt("stopped by " + signal_name(number), kExitSignalled + number);
      });
      rig_->machine().at(
          settings_.time_limit,
          [this] {
            interrupt("the time limit " + format_vtime(settings_.time_limit) + " passed",
                      kExitStopped);
          },
          "time limit");
    }
    const RunResult result = rig_->run([this] { body(); });
    if (signals_) signals_->stop_watching();
    if (sink_id >= 0) rig_->trace().remove_sink(sink_id);
    if (settings_.inspect) settings_.inspect(*rig_);
    report_.outcome = result.outcome;

    report_.events = rig_->trace().events();
    RunSummary& summary = report_.summary;
    summary.end_time = result.end_time;
    summary.real_time = !settings_.tty_ports.empty();
    summary.requests = rig_->client().history().size();
    for (const Completion& completion : rig_->client().history()) {
      const std::string name = status_name(static_cast<uint32_t>(completion.status));
      auto it = std::find_if(summary.statuses.begin(), summary.statuses.end(),
                             [&](const auto& entry) { return entry.first == name; });
      if (it == summary.statuses.end())
        summary.statuses.emplace_back(name, 1);
      else
        ++it->second;
    }
    summary.bytes_to_handset = rig_->line().bytes_sent_by_pc();
    summary.bytes_from_handset = rig_->line().bytes_sent_by_far();
    if (const TtyUart* tty = tty_ports_ ? tty_ports_->find(rig_port_) : nullptr) {
      summary.bytes_to_handset = tty->bytes_written();
      summary.bytes_from_handset = tty->bytes_received();
    }
    summary.pool_blocks_held = rig_->kernel().pool_blocks_held();
    if (summary.pool_blocks_held != 0) summary.pool_report = rig_->kernel().pool_report();

    if (!result.ok()) {
      report_.exit_status = kExitStopped;
      report_.stop_report = result.report;
    } else if (interrupted_) {
      report_.exit_status = interrupt_status_;
    } else {
      report_.exit_status = report_.failures.empty() ? kExitOk : kExitExpectFailed;
    }
    return std::move(report_);
  }

 private:
  // Everything that can be checked before the machine runs: the node file,
  // registry values, ports and the handset's power-on settings.
  bool prepare() {
    RigOptions options;
    options.machine.policy = settings_.policy;
    options.machine.time_limit = settings_.time_limit;
    options.kernel.driver_directory = settings_.driver_directory;
    options.handset.seed = settings_.policy.seed;
    if (!settings_.tty_ports.empty() && !prepare_real_time(options)) return false;
    std::optional<DeviceNodeSpec> node_file;
    bool leading = true;  // handset settings before anything runs are power-on settings
    for (const Step& step : scenario_.steps) {
      if (const auto* handset = std::get_if<HandsetStep>(&step.action)) {
        if (leading) apply_to_options(options.handset, *handset);
        continue;
      }
      if (const auto* node = std::get_if<NodeStep>(&step.action)) {
        const DeviceNodeParse parsed = load_device_node_file(node->path);
        if (!parsed.ok()) {
          report_.failures.push_back(where(step) + ": " + parsed.error);
          return false;
        }
        node_file = *parsed.spec;
        continue;
      }
      if (std::holds_alternative<RegistryStep>(step.action) ||
          std::holds_alternative<PortStep>(step.action))
        continue;
      leading = false;
    }
    if (signals_ && !signals_->ok()) {
      report_.failures.push_back("hsbridge: --port: cannot take the stop signals");
      return false;
    }
    rig_ = std::make_unique<Rig>(options);
    if (!settings_.tty_ports.empty() && !open_ttys()) return false;
    if (settings_.prepare) settings_.prepare(*rig_);
    spec_ = node_file ? *node_file : builtin_node(*rig_);
    for (const Step& step : scenario_.steps) {
      if (const auto* value = std::get_if<RegistryStep>(&step.action)) {
        auto& key = value->driver_key ? spec_.driver_key : spec_.hardware_key;
        if (const auto* number = std::get_if<uint32_t>(&value->value))
          set_value(key, RegistryValue::dword(value->name, *number));
        else
          set_value(key, RegistryValue::string(value->name, std::get<std::string>(value->value)));
      } else if (const auto* port = std::get_if<PortStep>(&step.action)) {
        if (tty_ports_ && tty_ports_->find(port->name) != nullptr) continue;  // a tty backs it
        if (rig_->vcomm().snapshot(port->name)) {
          report_.failures.push_back(where(step) + ": port " + port->name + " already exists");
          return false;
        }
        extra_lines_.push_back(std::make_unique<SerialLine>(rig_->machine()));
        rig_->vcomm().add_port(port->name, extra_lines_.back()->pc());
        extra_ports_.push_back(port->name);
      }
    }
    return true;
  }

  // ---- real ports

  // Before the machine exists: the stop signals (blocked from here on), the
  // host's clock, and the simulated line moved off a port a tty backs.
  // False, with the failures, for a port the scenario does not have or a
  // step that needs the simulated handset when a tty has taken its port.
  bool prepare_real_time(RigOptions& options) {
    std::vector<std::string> known{options.port};
    for (const Step& step : scenario_.steps)
      if (const auto* port = std::get_if<PortStep>(&step.action)) known.push_back(port->name);
    auto knows = [&](const std::string& name) {
      return std::find(known.begin(), known.end(), name) != known.end();
    };
    for (const auto& [name, path] : settings_.tty_ports) {
      if (knows(name)) continue;
      std::string list;
      for (const auto& k : known) list += (list.empty() ? "" : ", ") + k;
      report_.failures.push_back("hsbridge: --port " + name + "=" + path + ": " + scenario_.file +
                                 " has no port " + name + " (it has " + list + ")");
      return false;
    }
    rig_port_ = options.port;
    const auto rig_tty = std::find_if(settings_.tty_ports.begin(), settings_.tty_ports.end(),
                                      [&](const auto& port) { return port.first == options.port; });
    if (rig_tty != settings_.tty_ports.end()) {
      for (const Step& step : scenario_.steps) {
        const char* what = std::holds_alternative<HandsetStep>(step.action)    ? "handset"
                           : std::holds_alternative<LineSendStep>(step.action) ? "line send"
                                                                               : nullptr;
        if (what == nullptr) continue;
        report_.failures.push_back(where(step) + ": `" + what +
                                   "` needs the simulated handset, but " + options.port +
                                   " is on " + rig_tty->second + " (--port)");
      }
      if (!report_.failures.empty()) return false;
      // The simulated line stays, unused and with nothing at its far end,
      // on a port no node names.
      std::string spare = "COM0";
      while (knows(spare)) spare += "0";
      options.port = spare;
      options.handset_present = false;
    }
    signals_ = std::make_unique<StopSignals>();
    options.machine.real_time = true;
    options.machine.step_limit = std::numeric_limits<uint64_t>::max();
    return true;
  }

  // Opens the ttys and adds their ports; false with the failure when one
  // cannot be opened.
  bool open_ttys() {
    tty_ports_ = std::make_unique<TtyPorts>(rig_->vcomm());
    for (const auto& [name, path] : settings_.tty_ports) {
      std::string error;
      if (!tty_ports_->add(rig_->machine(), PortOption{name, path}, &error)) {
        report_.failures.push_back("hsbridge: " + error);
        return false;
      }
    }
    return true;
  }

  // A stop signal or the time limit, in the world's context: no further
  // step runs, what is in flight is cancelled, and the client's thread winds
  // the run down. Asked again while it winds down (a second signal, or
  // requests that do not give way within kWindDown), the run stops where it
  // stands.
  void interrupt(std::string why, int exit_status) {
    Machine& machine = rig_->machine();
    if (interrupted_) {
      if (body_done_ && helper_done_) return;
      machine.violation("run interrupted",
                        why + " while the run was winding down after " + interrupt_why_);
    }
    interrupted_ = true;
    interrupt_why_ = std::move(why);
    interrupt_status_ = exit_status;
    if (exit_status == kExitStopped)
      report_.stop_report = "HANG: " + interrupt_why_ + " (host time) while the client waited\n" +
                            machine.state_report();
    machine.create_thread("interrupt", [this] {
      cancel_in_flight();
      helper_done_ = true;
    });
    if (sleeper_ != nullptr) machine.wake(*sleeper_);
    machine.after(
        kWindDown, [this] { interrupt("the run did not wind down in time", kExitStopped); },
        "wind-down limit");
  }

  // The interrupt thread: cancels the request the client waits for and
  // every asynchronous one still out. A read the port is polling and a
  // pending wait do not take cancellation: as a program that stops does,
  // it then aborts the reads and writes (PURGE) and ends the wait (a new
  // event mask) on each open handle.
  void cancel_in_flight() {
    Client& client = rig_->client();
    if (in_flight_ && !in_flight_->done()) client.cancel(*in_flight_);
    for (auto& [name, entry] : async_)
      if (!entry.first.done()) client.cancel(entry.first);
    if (node_ == nullptr || node_->state != NodeState::Started) return;
    if (outstanding() == 0) return;
    for (auto& [name, handle] : handles_)
      if (handle.ok())
        client.ioctl(handle, IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXABORT));
    if (outstanding() == 0) return;
    for (auto& [name, handle] : handles_)
      if (handle.ok()) client.ioctl(handle, IOCTL_SERIAL_SET_WAIT_MASK, le32(0));
  }

  // Requests of the scenario still out.
  size_t outstanding() const {
    size_t count = in_flight_ && !in_flight_->done() ? 1 : 0;
    for (const auto& [name, entry] : async_)
      if (!entry.first.done()) ++count;
    return count;
  }

  // The client's thread after an interruption: closes the handles still
  // open (which ends what the interrupt thread left), removes the device so
  // the drivers unload (their pool is checked as after any removal), and
  // collects the asynchronous requests.
  void wind_down() {
    // The interrupt thread may still be sending to the handles closed here.
    while (!helper_done_) rig_->machine().sleep_for(kMillisecond);
    close_and_remove();
    for (auto& [name, entry] : async_)
      if (!entry.first.done()) rig_->client().wait(entry.first);
  }

  void close_and_remove() {
    Client& client = rig_->client();
    if (node_ == nullptr) return;
    const NodeState state = node_->state;
    if (state == NodeState::Removed || state == NodeState::Failed || state == NodeState::Installing)
      return;
    Kernel& kernel = rig_->kernel();
    // Requests held while the device sleeps would keep the closes waiting.
    if (state == NodeState::Started && node_->system_state != PowerSystemWorking)
      kernel.send_system_power(*node_, IRP_MN_SET_POWER, PowerSystemWorking);
    const DEVICE_POWER_STATE device = kernel.device_power_state(node_->pdo);
    if (state == NodeState::Started &&
        (device == PowerDeviceD1 || device == PowerDeviceD2 || device == PowerDeviceD3))
      send_device_power(*node_, IRP_MN_SET_POWER, 0);
    for (auto& [name, handle] : handles_) {
      if (!handle.ok()) continue;
      if (!cleaned_.contains(name)) client.cleanup(handle);
      client.close(handle);
    }
    if (state != NodeState::SurpriseRemoved && state != NodeState::RemovePending &&
        !NT_SUCCESS(kernel.send_pnp(*node_, IRP_MN_QUERY_REMOVE_DEVICE)))
      kernel.send_pnp(*node_, IRP_MN_SURPRISE_REMOVAL);
    kernel.send_pnp(*node_, IRP_MN_REMOVE_DEVICE);
  }

  std::string where(const Step& step) const {
    return scenario_.file + ":" + std::to_string(step.line);
  }

  // The client's thread: every step in order.
  void body() {
    bool leading = true;
    bool cut_short = false;
    for (const Step& step : scenario_.steps) {
      current_ = &step;
      if (interrupted_) {
        report_.failures.push_back(where(step) + ": " + interrupt_why_ +
                                   "; this step and those after it were not run");
        cut_short = true;
        break;
      }
      if (!std::holds_alternative<HandsetStep>(step.action) &&
          !std::holds_alternative<NodeStep>(step.action) &&
          !std::holds_alternative<RegistryStep>(step.action) &&
          !std::holds_alternative<PortStep>(step.action))
        leading = false;
      std::visit([&](const auto& action) { this->step(action, leading); }, step.action);
    }
    if (interrupted_) {
      if (!cut_short)
        report_.failures.push_back(scenario_.file + ": " + interrupt_why_ + " in the last step");
      wind_down();
    }
    body_done_ = true;
  }

  void ensure_installed(bool start) {
    if (node_) return;
    DeviceNodeSpec spec = spec_;
    spec.start = start;
    node_ = &rig_->install(std::move(spec));
    rig_->kernel().wait_pnp_idle();
  }

  void record(std::string label, NTSTATUS status) {
    Completion completion;
    completion.done = true;
    completion.status = status;
    last_ = completion;
    last_label_ = std::move(label);
  }

  void step(const NodeStep&, bool&) {}
  void step(const RegistryStep&, bool&) {}
  void step(const PortStep&, bool&) {}

  void step(const HandsetStep& handset, bool& leading) {
    if (!leading) apply_to_handset(rig_->handset(), handset);
  }

  void step(const StartStep&, bool& leading) {
    leading = false;
    if (!node_) {
      ensure_installed(true);
      const bool started = node_->state == NodeState::Started;
      const NTSTATUS status = started                          ? STATUS_SUCCESS
                              : NT_SUCCESS(node_->last_status) ? STATUS_UNSUCCESSFUL
                                                               : node_->last_status;
      record("start", status);
      if (!started)
        report_.failures.push_back(where(*current_) + ": start: the device node did not start (" +
                                   std::string(node_state_name(node_->state)) + ", " +
                                   status_name(static_cast<uint32_t>(status)) +
                                   "); the trace says why");
      return;
    }
    record("start", rig_->kernel().send_pnp(*node_, IRP_MN_START_DEVICE));
  }

  void step(const PnpStep& pnp, bool& leading) {
    leading = false;
    ensure_installed(false);
    record("pnp " + pnp.action, rig_->kernel().send_pnp(*node_, pnp_minor(pnp.action)));
  }

  void step(const PowerStep& power, bool& leading) {
    leading = false;
    ensure_installed(false);
    static const SYSTEM_POWER_STATE kSystem[] = {PowerSystemWorking,   PowerSystemSleeping1,
                                                 PowerSystemSleeping2, PowerSystemSleeping3,
                                                 PowerSystemHibernate, PowerSystemShutdown};
    switch (power.kind) {
      case PowerStep::Kind::System:
        record("power system S" + std::to_string(power.state),
               rig_->kernel().send_system_power(
                   *node_, IRP_MN_SET_POWER, kSystem[power.state],
                   power.state == 5 ? PowerActionShutdown : PowerActionSleep));
        break;
      case PowerStep::Kind::Device:
        record("power device D" + std::to_string(power.state),
               send_device_power(*node_, IRP_MN_SET_POWER, power.state));
        break;
      case PowerStep::Kind::QueryDevice:
        record("power query-device D" + std::to_string(power.state),
               send_device_power(*node_, IRP_MN_QUERY_POWER, power.state));
        break;
    }
  }

  void step(const RequestStep& request, bool& leading) {
    leading = false;
    ensure_installed(false);
    Client& client = rig_->client();
    const KIRQL irql = request.at_dispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    if (request.kind == RequestStep::Kind::Open) {
      Handle handle = client.open(irql);
      handles_[request.open_as] = handle;
      cleaned_.erase(request.open_as);
      record(request.label, handle.open_status);
      return;
    }
    auto it = handles_.find(request.handle);
    if (it == handles_.end() || !it->second.ok()) {
      const std::string why =
          it == handles_.end()
              ? "was never opened"
              : "did not open (" + status_name(static_cast<uint32_t>(it->second.open_status)) + ")";
      report_.failures.push_back(where(*current_) + ": " + request.label + ": handle '" +
                                 request.handle + "' " + why + "; the request was not sent");
      last_.reset();
      last_label_ = request.label + " on line " + std::to_string(current_->line);
      if (!request.async_name.empty()) unsent_[request.async_name] = current_->line;
      return;
    }
    Handle& handle = it->second;
    switch (request.kind) {
      case RequestStep::Kind::Close:
        last_ = client.close(handle, irql);
        last_label_ = request.label;
        return;
      case RequestStep::Kind::Cleanup:
        cleaned_.insert(it->first);
        last_ = client.cleanup(handle, irql);
        last_label_ = request.label;
        return;
      default:
        break;
    }
    Request r;
    if (request.kind == RequestStep::Kind::Ioctl) {
      r = Request::ioctl_in(request.code,
                            std::vector<uint8_t>(request.input.begin(), request.input.end()),
                            request.out_length);
    } else if (request.kind == RequestStep::Kind::Write) {
      r = Request::write(request.input);
    } else {
      r = Request::read(request.out_length);
    }
    r.at(irql);
    r.name = request.label;
    if (request.async_name.empty()) {
      in_flight_ = client.send(handle, std::move(r));  // an interruption may cancel it
      last_ = client.wait(*in_flight_);
      in_flight_.reset();
      last_label_ = request.label;
    } else {
      async_[request.async_name] = {client.send(handle, std::move(r)), request.label};
    }
  }

  void step(const WaitStep& wait, bool&) {
    if (unsent_.contains(wait.name)) return;  // already reported where it was not sent
    const auto& [pending, label] = async_.at(wait.name);
    last_ = rig_->client().wait(pending);
    last_label_ = label;
  }

  void step(const SleepStep& sleep, bool&) {
    Machine& machine = rig_->machine();
    if (!signals_) {
      machine.sleep_for(sleep.duration);
      return;
    }
    sleeper_ = machine.current_thread();  // an interruption cuts the sleep short
    machine.block("sleep " + format_vtime(sleep.duration), machine.now() + sleep.duration);
    sleeper_ = nullptr;
  }

  void step(const LineSendStep& send, bool&) { rig_->handset().send_raw(send.bytes); }

  void step(const ExpectStep& expect, bool&) {
    const Completion* completion = nullptr;
    std::string label;
    if (!expect.for_name.empty() && unsent_.contains(expect.for_name)) {
      report_.failures.push_back(where(*current_) + ": " + expect.for_name +
                                 " was not sent (line " +
                                 std::to_string(unsent_.at(expect.for_name)) + ")");
      return;
    }
    if (!expect.for_name.empty()) {
      const auto& [pending, name] = async_.at(expect.for_name);
      if (!pending.done()) {
        report_.failures.push_back(where(*current_) + ": " + expect.for_name + " (" + name +
                                   ") has not completed yet; add `wait " + expect.for_name + "`");
        return;
      }
      completion = &pending.result();
      label = expect.for_name + " (" + name + ")";
    } else if (last_) {
      completion = &*last_;
      label = last_label_;
    } else if (!last_label_.empty()) {
      report_.failures.push_back(where(*current_) + ": " + last_label_ + " was not sent");
      return;
    } else {
      report_.failures.push_back(where(*current_) +
                                 ": no request has completed before this expect");
      return;
    }
    std::vector<std::string> differences;
    const auto status = static_cast<uint32_t>(completion->status);
    if (status != expect.status)
      differences.push_back("status " + status_name(expect.status) + " expected, got " +
                            status_name(status));
    if (expect.info && *expect.info != completion->info)
      differences.push_back("info " + std::to_string(*expect.info) + " expected, got " +
                            std::to_string(completion->info));
    if (expect.data && *expect.data != completion->text())
      differences.push_back("data " + escaped(*expect.data) + " expected, got " +
                            escaped(completion->text()));
    if (expect.event) {
      if (completion->data.size() < 4)
        differences.push_back("event mask expected, got " +
                              std::to_string(completion->data.size()) + " bytes");
      else if (completion->u32(0) != *expect.event)
        differences.push_back("event " + wait_mask_words(*expect.event) + " expected, got " +
                              wait_mask_words(completion->u32(0)));
    }
    if (differences.empty()) return;
    std::string message = where(*current_) + ": " + label + ": ";
    for (size_t i = 0; i < differences.size(); ++i) message += (i ? "; " : "") + differences[i];
    report_.failures.push_back(message);
  }

  const Scenario& scenario_;
  const RunSettings& settings_;
  const TraceSink& sink_;
  RunReport report_;
  std::vector<std::unique_ptr<SerialLine>> extra_lines_;
  std::vector<std::string> extra_ports_;
  std::unique_ptr<Rig> rig_;
  DeviceNodeSpec spec_;
  DeviceNode* node_ = nullptr;
  std::map<std::string, Handle> handles_;
  std::map<std::string, std::pair<Pending, std::string>> async_;
  std::map<std::string, int> unsent_;  // async names whose request was not sent -> line
  std::optional<Completion> last_;
  std::string last_label_;
  const Step* current_ = nullptr;
  // ---- real ports (settings_.tty_ports), all in the machine's contexts
  std::unique_ptr<StopSignals> signals_;  // set for a real-time run, taken before the machine
  std::unique_ptr<TtyPorts> tty_ports_;   // the ttys behind ports; go before the rig
  std::string rig_port_;                  // the port the simulated line was meant for
  std::set<std::string> cleaned_;         // handles the scenario sent IRP_MJ_CLEANUP for
  std::optional<Pending> in_flight_;      // the synchronous request the client waits for
  EmuThread* sleeper_ = nullptr;          // the client's thread while in a `sleep` step
  bool interrupted_ = false;              // a stop signal or the time limit came
  bool body_done_ = false;                // the client's thread has wound down
  bool helper_done_ = false;              // the interrupt thread has sent what it sends
  int interrupt_status_ = kExitOk;        // the exit status it gives the run
  std::string interrupt_why_;             // "stopped by SIGINT"
};

}  // namespace

bool apply_handset_quirk(HandsetQuirks& quirks, const std::string& name) {
  if (name == "none")
    quirks = HandsetQuirks{};
  else if (name == "silent")
    quirks.silent = true;
  else if (name == "garbage")
    quirks.garbage = true;
  else if (name == "nul-first")
    quirks.nul_first = true;
  else if (name == "split")
    quirks.split_answers = 5 * kMillisecond;
  else if (name == "lowercase")
    quirks.lower_case = true;
  else if (name == "no-final-cr")
    quirks.no_final_cr = true;
  else if (name == "extra-line")
    quirks.extra_line = "+CREG: 1";
  else if (name == "echo-twice")
    quirks.echo_twice = true;
  else
    return false;
  return true;
}

RunReport run_scenario(const Scenario& scenario, const RunSettings& settings,
                       const TraceSink& sink) {
  ScenarioRun run(scenario, settings, sink);
  return run.run();
}

}  // namespace hs::tool
