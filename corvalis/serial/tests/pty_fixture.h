// SPDX-License-Identifier: Apache-2.0
#pragma once
// A pseudo-terminal posing as serial port COM5: the port opens the slave through a link in a
// temporary CORVALIS_PORT_DIR, the test plays the far end on the master.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include "temp_dir.h"

namespace corvalis::testing {

class TPtyPort {
 public:
  TPtyPort() {
    int slave = -1;
    if (openpty(&Master_, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    fcntl(Master_, F_SETFD, FD_CLOEXEC);
    SlavePath_ = ttyname(slave);
    close(slave);
    std::filesystem::create_symlink(SlavePath_, Dir_.file("COM5"));
    setenv("CORVALIS_PORT_DIR", Dir_.path().c_str(), 1);
  }
  ~TPtyPort() { HangUp(); }
  TPtyPort(const TPtyPort&) = delete;
  TPtyPort& operator=(const TPtyPort&) = delete;

  const std::string& SlavePath() const { return SlavePath_; }
  const std::filesystem::path& Dir() const { return Dir_.path(); }

  // The far end sends (blocking until the pseudo-terminal took everything).
  void Send(const std::string& Bytes) {
    std::size_t done = 0;
    while (done < Bytes.size()) {
      const ssize_t n = write(Master_, Bytes.data() + done, Bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw std::runtime_error("far end write failed");
      done += static_cast<std::size_t>(n);
    }
  }

  // The far end receives exactly Count bytes (blocking).
  std::string Receive(std::size_t Count) {
    std::string bytes(Count, '\0');
    std::size_t done = 0;
    while (done < Count) {
      const ssize_t n = read(Master_, bytes.data() + done, Count - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("far end read failed");
      done += static_cast<std::size_t>(n);
    }
    return bytes;
  }

  // The far end reads until the port has closed the line (or nothing came for 5 s).
  std::string ReceiveUntilClosed(std::size_t Chunk = 4096, std::chrono::milliseconds Pause = {}) {
    std::string bytes;
    std::string buffer(Chunk, '\0');
    for (;;) {
      pollfd p{Master_, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) break;
      const ssize_t n = read(Master_, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // EIO: the port closed and everything it sent has been read
      bytes.append(buffer.data(), static_cast<std::size_t>(n));
      if (Pause.count() > 0) std::this_thread::sleep_for(Pause);
    }
    return bytes;
  }

  // Another program opens the line, sets the exclusive flag and goes without clearing it.
  void LeaveExclusiveFlag() {
    const int fd = open(SlavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open the pseudo-terminal");
    ioctl(fd, TIOCEXCL);
    close(fd);
  }

  // The far end goes away.
  void HangUp() {
    if (Master_ >= 0) close(Master_);
    Master_ = -1;
  }

 private:
  kit::testing::TempDir Dir_;
  int Master_ = -1;
  std::string SlavePath_;
};

}  // namespace corvalis::testing
