// Programs the real-port tests start: hsbridge handset, hsbridge serve and
// real serial clients. Every wait is bounded; a process still running when
// its owner goes is killed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace hs::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class Process {
 public:
  // Starts `argv` with standard output and error on pipes (standard input
  // from `stdin_path` when given, else /dev/null).
  explicit Process(std::vector<std::string> argv, const std::string& stdin_path = {},
                   const std::string& stdout_path = {}) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      int in = ::open(stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDWR | O_NOCTTY);
      dup2(in, 0);
      if (!stdout_path.empty()) {
        int o = ::open(stdout_path.c_str(), O_RDWR | O_NOCTTY);
        dup2(o, 1);
      } else {
        dup2(out[1], 1);
      }
      dup2(err[1], 2);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    fcntl(out_, F_SETFL, O_NONBLOCK);
    fcntl(err_, F_SETFL, O_NONBLOCK);
  }
  ~Process() {
    if (running()) {
      kill(pid_, SIGKILL);
      wait_exit(milliseconds(2000));
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const { return pid_ > 0; }
  bool running() const { return pid_ > 0 && !status_; }

  // The first line of standard output, waiting at most `limit`.
  std::optional<std::string> first_line(milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      drain();
      size_t nl = out_text_.find('\n');
      if (nl != std::string::npos) return out_text_.substr(0, nl);
      pollfd p{out_, POLLIN, 0};
      poll(&p, 1, 20);
    }
    return std::nullopt;
  }
  // Waits until standard error holds `text` (at most `limit`).
  bool wait_for_error(const std::string& text, milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      drain();
      if (err_text_.find(text) != std::string::npos) return true;
      pollfd p{err_, POLLIN, 0};
      poll(&p, 1, 20);
    }
    return false;
  }
  void signal(int number) {
    if (running()) kill(pid_, number);
  }
  // The exit status, or -1 (still running after `limit`), or 128+N (signal N).
  int wait_exit(milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!status_ && Clock::now() < deadline) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      drain();
      usleep(10000);
    }
    drain();
    return status_ ? *status_ : -1;
  }
  const std::string& out() {
    drain();
    return out_text_;
  }
  const std::string& err() {
    drain();
    return err_text_;
  }

 private:
  void drain() {
    char buffer[4096];
    ssize_t n;
    while (out_ >= 0 && (n = ::read(out_, buffer, sizeof buffer)) > 0) out_text_.append(buffer, n);
    while (err_ >= 0 && (n = ::read(err_, buffer, sizeof buffer)) > 0) err_text_.append(buffer, n);
  }
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string out_text_;
  std::string err_text_;
  std::optional<int> status_;
};

// A serial client written the plain way: open, raw mode at a rate, write,
// read with a bounded wait.
class SerialClient {
 public:
  explicit SerialClient(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  }
  ~SerialClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  SerialClient(const SerialClient&) = delete;
  SerialClient& operator=(const SerialClient&) = delete;
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool set_rate(speed_t speed) {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return tcsetattr(fd_, TCSANOW, &t) == 0;
  }
  speed_t rate() const {
    termios t{};
    tcgetattr(fd_, &t);
    return cfgetospeed(&t);
  }
  bool write_all(const std::string& bytes, milliseconds limit = milliseconds(5000)) {
    size_t done = 0;
    auto deadline = Clock::now() + limit;
    while (done < bytes.size() && Clock::now() < deadline) {
      ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      pollfd p{fd_, POLLOUT, 0};
      poll(&p, 1, 10);
    }
    return done == bytes.size();
  }
  // Reads until `until` has been seen or `limit` passed; returns all read.
  std::string read_until(const std::string& until, milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      char buffer[4096];
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n > 0) {
        got_.append(buffer, n);
        size_t at = got_.find(until);
        if (at != std::string::npos) {
          std::string out = got_.substr(0, at + until.size());
          got_.erase(0, at + until.size());
          return out;
        }
        continue;
      }
      pollfd p{fd_, POLLIN, 0};
      poll(&p, 1, 10);
    }
    std::string out = got_;
    got_.clear();
    return out;
  }

 private:
  int fd_ = -1;
  std::string got_;
};

}  // namespace hs::test
