// SPDX-License-Identifier: Apache-2.0
// A TTY on a serial device: bytes as they are, both ways.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "circuit.h"
#include "libre.h"

namespace rttmodem::front {
namespace {

class Serial : public Circuit {
 public:
  Serial(int fd, Handlers h) : fd_(fd), h_(std::move(h)) {
    watch_ = std::make_unique<net::FdWatch>(fd_, [this] { readable(); });
  }
  ~Serial() override {
    watch_.reset();
    ::close(fd_);
  }

  void write(std::string_view bytes) override {
    if (closed_) return;
    pending_ += bytes;
    flush();
  }
  bool sending() const override { return !closed_ && !pending_.empty(); }

 private:
  void readable() {
    char buf[4096];
    for (;;) {
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n > 0) {
        if (h_.typed) h_.typed(std::string_view(buf, static_cast<std::size_t>(n)));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return;
      // The end of the device (a pseudo-terminal whose other side has gone reads EIO).
      end(n == 0 ? "the device closed" : std::string("the device failed: ") + std::strerror(errno));
      return;
    }
  }

  // Writes what the device takes now, and tries the rest shortly: a serial line is slow.
  void flush() {
    while (!pending_.empty()) {
      ssize_t n = ::write(fd_, pending_.data(), pending_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) break;
      if (n <= 0) {
        end(std::string("cannot write to the device: ") + std::strerror(errno));
        return;
      }
      pending_.erase(0, static_cast<std::size_t>(n));
    }
    if (!pending_.empty() && !retry_.active()) retry_.start(20, [this] { flush(); });
  }

  void end(const std::string& why) {
    if (closed_) return;
    closed_ = true;
    watch_->close();
    retry_.cancel();
    if (!pending_.empty() && h_.log) h_.log("lost " + std::to_string(pending_.size()) + " bytes for the TTY");
    pending_.clear();
    if (h_.ended) h_.ended(why);
  }

  int fd_;
  Handlers h_;
  std::unique_ptr<net::FdWatch> watch_;
  net::Timer retry_;
  std::string pending_;
  bool closed_ = false;
};

}  // namespace

std::unique_ptr<Circuit> openSerial(const std::string& path, Circuit::Handlers handlers, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open the TTY's device '" + path + "': " + std::strerror(errno);
    return nullptr;
  }
  // Raw, as a TTY's serial line is: no echo, no line editing, no CR/LF translation.
  termios t{};
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
  }
  return std::make_unique<Serial>(fd, std::move(handlers));
}

}  // namespace rttmodem::front
