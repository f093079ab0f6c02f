#include "sim/rig.h"

#include <stdexcept>

namespace hs {

Rig::Rig(RigOptions options) : options_(std::move(options)) {
  machine_ = std::make_unique<Machine>(options_.machine);
  machine_->trace().set_recording(options_.record_trace);
  kernel_ = std::make_unique<Kernel>(*machine_, options_.kernel);
  vcomm_ = std::make_unique<Vcomm>(*machine_);
  line_ = std::make_unique<SerialLine>(*machine_, options_.line);
  vcomm_->add_port(options_.port, line_->pc());
  if (options_.handset_present)
    handset_ = std::make_unique<Handset>(*machine_, *line_, options_.handset);
  bus_ = std::make_unique<BusDriver>(*kernel_);
  client_ = std::make_unique<Client>(*kernel_);
}

Rig::~Rig() {
  // The world goes before the services it uses, the machine last.
  client_.reset();
  handset_.reset();
  vcomm_.reset();
  line_.reset();
  bus_.reset();
  kernel_.reset();
  machine_.reset();
}

Handset& Rig::handset() {
  if (!handset_) throw std::logic_error("this rig has no handset");
  return *handset_;
}

DeviceNode& Rig::install_file(const std::string& path) {
  DeviceNodeParse parsed = load_device_node_file(path);
  if (!parsed.ok()) throw std::runtime_error(parsed.error);
  return install(std::move(*parsed.spec));
}

DeviceNode& Rig::install(DeviceNodeSpec spec) {
  node_ = &kernel_->install(std::move(spec), bus_->hooks());
  client_->set_node(node_);
  return *node_;
}

DeviceNodeSpec Rig::stack_spec(std::string function_driver,
                               std::vector<std::string> upper_filters) const {
  DeviceNodeSpec spec;
  spec.hardware_id = "SERENUM\\HSB0001";
  spec.function_driver = std::move(function_driver);
  spec.upper_filters = std::move(upper_filters);
  spec.driver_key.push_back(RegistryValue::string("AttachedTo", options_.port));
  spec.hardware_key.push_back(RegistryValue::dword("TraceScope", 0));
  spec.hardware_key.push_back(RegistryValue::dword("Breakpoints", 0));
  return spec;
}

RunResult Rig::run(std::function<void()> body) {
  machine_->create_thread("client", [this, body = std::move(body)] {
    kernel_->wait_pnp_idle();
    if (body) body();
  });
  return run();
}

RunResult Rig::run() {
  RunResult result = machine_->run();
  if (result.ok() && !client_->all_completed_once()) {
    result.outcome = RunOutcome::Violation;
    result.report =
        "CLIENT: a request was not completed exactly once\n" + client_->accounting_report();
  }
  return result;
}

std::vector<TraceEvent> Rig::events(std::string_view kind) const {
  std::vector<TraceEvent> out;
  for (const auto& event : machine_->trace().events())
    if (event.ev == kind) out.push_back(event);
  return out;
}

std::string Rig::line_bytes(std::string_view dir) const {
  std::string out;
  for (const auto& event : machine_->trace().events()) {
    if (event.ev != "line" || event.str("dir") != dir) continue;
    std::string hex = event.str("hex");
    for (size_t i = 0; i + 1 < hex.size() + 1; i += 3) {
      if (i + 2 > hex.size()) break;
      out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
  }
  return out;
}

}  // namespace hs
