// SPDX-License-Identifier: Apache-2.0
// Raw audio through files and named pipes, for joining two softtty without a sound card.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "audio.h"
#include "wav.h"

namespace tty {
namespace {

bool isFifo(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

class FileOut : public AudioOut {
 public:
  FileOut(int fd, int rate) : fd_(fd), rate_(rate) {}
  ~FileOut() override { close(fd_); }
  bool write(const float* samples, std::size_t n, std::string* error) override {
    // Paced as a sound card plays: never more than a short buffer ahead of the clock.
    const auto now = std::chrono::steady_clock::now();
    if (written_ == 0) start_ = now;
    const auto due =
        start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(static_cast<double>(written_) / rate_ - kAhead));
    if (due > now) std::this_thread::sleep_until(due);
    std::vector<char> bytes(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
      const auto v = static_cast<unsigned short>(tty::toPcm(samples[i]));
      bytes[2 * i] = static_cast<char>(v & 0xff);
      bytes[2 * i + 1] = static_cast<char>(v >> 8);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t k = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (k < 0 && errno == EINTR) continue;
      if (k < 0 && errno == EAGAIN) break;  // nobody reads the pipe: the rest is lost
      if (k <= 0) {
        *error = std::string("cannot write the audio output: ") + std::strerror(errno);
        return false;
      }
      done += static_cast<std::size_t>(k);
    }
    written_ += static_cast<long>(n);
    return true;
  }
  bool drain(std::string*) override {
    std::this_thread::sleep_until(start_ +
                                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(static_cast<double>(written_) / rate_)));
    return true;
  }
  double latency() override { return kAhead; }

 private:
  static constexpr double kAhead = 0.04;  // seconds written ahead of the clock
  int fd_, rate_;
  long written_ = 0;
  std::chrono::steady_clock::time_point start_;
};

class FileIn : public AudioIn {
 public:
  explicit FileIn(int fd) : fd_(fd) {}
  ~FileIn() override { close(fd_); }
  long read(float* samples, std::size_t n, std::string* error) override {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 100) == 0) return 0;
    std::vector<unsigned char> bytes(2 * n - carry_.size());
    ssize_t k = ::read(fd_, bytes.data(), bytes.size());
    if (k < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
    if (k < 0) {
      *error = std::string("cannot read the audio input: ") + std::strerror(errno);
      return kFailed;
    }
    if (k == 0) return kEnd;
    bytes.resize(static_cast<std::size_t>(k));
    bytes.insert(bytes.begin(), carry_.begin(), carry_.end());
    carry_.clear();
    if (bytes.size() % 2) {
      carry_.push_back(bytes.back());  // half a sample: the rest comes with the next read
      bytes.pop_back();
    }
    for (std::size_t i = 0; i < bytes.size() / 2; ++i) {
      samples[i] = static_cast<float>(static_cast<short>(bytes[2 * i] | bytes[2 * i + 1] << 8)) / 32768.0f;
    }
    return static_cast<long>(bytes.size() / 2);
  }

 private:
  int fd_;
  std::vector<unsigned char> carry_;
};

}  // namespace

std::unique_ptr<AudioOut> openFileOutput(const std::string& path, int rate, std::string* error) {
  // A named pipe is opened for reading and writing, which needs no reader to be there yet.
  const bool fifo = isFifo(path);
  int fd = open(path.c_str(),
                fifo ? O_RDWR | O_NONBLOCK | O_CLOEXEC : O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open '" + path + "' for the audio output: " + std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<FileOut>(fd, rate);
}

std::unique_ptr<AudioIn> openFileInput(const std::string& path, std::string* error) {
  const bool fifo = isFifo(path);
  int fd = open(path.c_str(), (fifo ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open '" + path + "' for the audio input: " + std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<FileIn>(fd);
}

}  // namespace tty
