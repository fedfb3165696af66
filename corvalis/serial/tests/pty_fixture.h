#pragma once
// A pseudo-terminal posing as serial port COM5: the port opens the slave through a link in a
// temporary CORVALIS_PORT_DIR, the test plays the far end on the master.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

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
