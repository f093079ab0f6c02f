#include "tools/hsbridge/realtime.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <filesystem>

namespace hs::tool {

StopSignals::StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

StopSignals::~StopSignals() {
  if (fd_ >= 0) close(fd_);
}

void StopSignals::stop_watching() {
  if (machine_ != nullptr && fd_ >= 0) machine_->unwatch_fd(fd_);
  machine_ = nullptr;
}

void StopSignals::watch(Machine& machine, std::function<void(int)> action) {
  if (fd_ < 0) return;
  machine_ = &machine;
  machine.watch_fd(fd_, [this, action = std::move(action)] {
    signalfd_siginfo info{};
    while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
      action(static_cast<int>(info.ssi_signo));
  });
}

std::optional<PortOption> parse_port_option(const std::string& text, std::string* error) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) {
    *error = "--port: expected NAME=PATH (COM2=/dev/ttyUSB0), got '" + text + "'";
    return std::nullopt;
  }
  PortOption port{text.substr(0, equals), text.substr(equals + 1)};
  for (char& c : port.name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return port;
}

bool add_run_ports(const std::vector<std::string>& values, RunSettings& settings,
                   std::string* error) {
  for (const std::string& value : values) {
    const auto port = parse_port_option(value, error);
    if (!port) return false;
    for (const auto& [name, path] : settings.tty_ports) {
      if (name == port->name) {
        *error = "--port " + port->name + ": the port is given twice";
        return false;
      }
    }
    settings.tty_ports.emplace_back(port->name, port->path);
  }
  if (!settings.tty_ports.empty() && settings.policy.kind != PolicyKind::RunUntilBlock) {
    *error = "--policy " + settings.policy.name() +
             " with --port: a run on a real port follows the host's clock, so there is no "
             "schedule to explore or replay; leave --policy at run";
    return false;
  }
  return true;
}

TtyPorts::~TtyPorts() {
  for (auto& [name, uart] : ports_) vcomm_.remove_port(name);
  ports_.clear();
}

bool TtyPorts::add(Machine& machine, const PortOption& port, std::string* error) {
  if (vcomm_.snapshot(port.name) || find(port.name) != nullptr) {
    *error = "--port " + port.name + ": the port is given twice";
    return false;
  }
  std::string why;
  std::unique_ptr<TtyUart> uart = TtyUart::open(machine, port.path, &why);
  if (!uart) {
    *error = "--port " + port.name + "=" + port.path + ": " + why;
    return false;
  }
  vcomm_.add_port(port.name, *uart);
  ports_.emplace_back(port.name, std::move(uart));
  return true;
}

TtyUart* TtyPorts::find(const std::string& name) const {
  for (const auto& [port, uart] : ports_)
    if (port == name) return uart.get();
  return nullptr;
}

std::string executable_directory() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : self.parent_path().string();
}

}  // namespace hs::tool
