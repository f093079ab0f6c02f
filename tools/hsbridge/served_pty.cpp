#include "tools/hsbridge/served_pty.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

namespace hs::tool {
namespace {

constexpr size_t kInputLimit = 4096;  // the program's bytes not yet written down the stack

}  // namespace

std::unique_ptr<ServedPty> ServedPty::open(Machine& machine, const std::string& link,
                                           std::string* error) {
  int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) {
    *error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return nullptr;
  }
  char name[128];
  if (ptsname_r(fd, name, sizeof name) != 0) {
    *error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  // A master whose other end was never opened does not poll as hung up;
  // one open and close puts it in the state "no program".
  int other = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (other < 0) {
    *error = std::string(name) + ": cannot open: " + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  ::close(other);
  if (!link.empty()) {
    std::error_code failed;
    if (std::filesystem::is_symlink(link, failed)) std::filesystem::remove(link, failed);
    std::filesystem::create_symlink(name, link, failed);
    if (failed) {
      *error = link + ": cannot make the link: " + failed.message();
      ::close(fd);
      return nullptr;
    }
  }
  return std::unique_ptr<ServedPty>(new ServedPty(machine, fd, name, link));
}

ServedPty::ServedPty(Machine& machine, int fd, std::string path, std::string link)
    : machine_(machine),
      fd_(fd),
      path_(std::move(path)),
      link_(std::move(link)),
      alive_(std::make_shared<bool>(true)) {}

ServedPty::~ServedPty() {
  *alive_ = false;
  watch(false);
  if (!link_.empty()) {
    std::error_code ignored;
    if (std::filesystem::is_symlink(link_, ignored)) std::filesystem::remove(link_, ignored);
  }
  ::close(fd_);
}

void ServedPty::watch(bool on) {
  if (on == watching_) return;
  watching_ = on;
  if (on) {
    std::shared_ptr<bool> alive = alive_;
    machine_.watch_fd(fd_, [this, alive] {
      if (*alive) readable();
    });
  } else {
    machine_.unwatch_fd(fd_);
  }
}

bool ServedPty::connected() {
  if (connected_) return true;
  // With no program on the other end the master reads as hung up.
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, 0) < 0 || (p.revents & POLLHUP)) return false;
  connected_ = true;
  watch(input_.size() < kInputLimit);
  return true;
}

void ServedPty::readable() {
  char buffer[kInputLimit];
  while (input_.size() < kInputLimit) {
    ssize_t got = ::read(fd_, buffer, kInputLimit - input_.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) break;
    if (got <= 0) {
      hang_up();  // EIO: the program's last descriptor has closed
      return;
    }
    input_.append(buffer, static_cast<size_t>(got));
  }
  // A full buffer stops the reading: the program's writes wait.
  watch(input_.size() < kInputLimit);
  if (on_change_) on_change_();
}

void ServedPty::hang_up() {
  connected_ = false;
  watch(false);  // a master with no program polls as hung up until one opens it
  if (on_change_) on_change_();
}

std::string ServedPty::take_input(size_t max) {
  std::string out = input_.substr(0, max);
  input_.erase(0, out.size());
  if (connected_ && input_.size() < kInputLimit) watch(true);
  return out;
}

void ServedPty::send(const std::string& bytes) {
  if (!connected_) return;
  output_ += bytes;
  flush();
}

void ServedPty::flush() {
  while (connected_ && !output_.empty()) {
    ssize_t done = ::write(fd_, output_.data(), output_.size());
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) break;
    output_.erase(0, static_cast<size_t>(done));
  }
}

bool ServedPty::settings(termios* out) const { return tcgetattr(fd_, out) == 0; }

bool ServedPty::put_settings(const termios& settings) {
  return tcsetattr(fd_, TCSANOW, &settings) == 0;
}

void ServedPty::reset() {
  input_.clear();
  output_.clear();
}

}  // namespace hs::tool
