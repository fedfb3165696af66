// Raw audio through files and named pipes, for joining two softtty without a sound card.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "audio.h"
#include "wav.h"

namespace softtty {
namespace {

class FileOut : public AudioOut {
 public:
  FileOut(int fd, int rate) : fd_(fd), rate_(rate) {}
  ~FileOut() override { close(fd_); }
  bool write(const float* samples, std::size_t n, std::string* error) override {
    // Paced as a sound card plays: never more than a short buffer ahead of the clock.
    const auto now = std::chrono::steady_clock::now();
    if (written_ == 0) start_ = now;
    const auto due = start_ + std::chrono::duration<double>(static_cast<double>(written_) / rate_ - kAhead);
    if (due > now) std::this_thread::sleep_until(due);
    std::vector<char> bytes(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
      const auto v = static_cast<unsigned short>(toPcm(samples[i]));
      bytes[2 * i] = static_cast<char>(v & 0xff);
      bytes[2 * i + 1] = static_cast<char>(v >> 8);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t k = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (k < 0 && errno == EINTR) continue;
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
                                  std::chrono::duration<double>(static_cast<double>(written_) / rate_));
    return true;
  }
  double latency() override { return kAhead; }

 private:
  static constexpr double kAhead = 0.05;  // seconds written ahead of the clock
  int fd_, rate_;
  long written_ = 0;
  std::chrono::steady_clock::time_point start_;
};

class FileIn : public AudioIn {
 public:
  explicit FileIn(int fd) : fd_(fd) {}
  ~FileIn() override { close(fd_); }
  long read(float* samples, std::size_t n, std::string* error) override {
    std::vector<unsigned char> bytes(2 * n);
    std::size_t got = 0;
    while (got < bytes.size()) {
      ssize_t k = ::read(fd_, bytes.data() + got, bytes.size() - got);
      if (k < 0 && errno == EINTR) continue;
      if (k < 0) {
        *error = std::string("cannot read the audio input: ") + std::strerror(errno);
        return -1;
      }
      if (k == 0) break;
      got += static_cast<std::size_t>(k);
    }
    const std::size_t count = got / 2;
    for (std::size_t i = 0; i < count; ++i) {
      samples[i] = static_cast<float>(static_cast<short>(bytes[2 * i] | bytes[2 * i + 1] << 8)) / 32768.0f;
    }
    return static_cast<long>(count);
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<AudioOut> openFileOutput(const std::string& path, int rate, std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open '" + path + "' for the audio output: " + std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<FileOut>(fd, rate);
}

std::unique_ptr<AudioIn> openFileInput(const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open '" + path + "' for the audio input: " + std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<FileIn>(fd);
}

}  // namespace softtty
