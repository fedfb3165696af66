// SPDX-License-Identifier: Apache-2.0
// A TTY on a phone line: its Baudot tones heard and played through softtty's modem (the kit's
// transmitter and decoder), over a sound card or raw audio files and named pipes. Audio is read
// and played by a thread each, as a sound card needs; decoding and everything else happens in
// the loop's thread, woken through a pipe.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "audio.h"
#include "circuit.h"
#include "decoder.h"
#include "libre.h"
#include "transmitter.h"

namespace rttmodem::front {
namespace {

using Clock = std::chrono::steady_clock;

class Tones : public Circuit {
 public:
  Tones(const AudioConfig& c, Handlers h, tty::Tones tones, int wake[2])
      : c_(c), h_(std::move(h)), tones_(tones), transmitter_(tones), decoder_(tones) {
    wake_[0] = wake[0];
    wake_[1] = wake[1];
  }
  ~Tones() override {
    stop_ = true;
    if (capture_.joinable()) capture_.join();
    if (playback_.joinable()) playback_.join();
    watch_.reset();
    for (int fd : wake_) ::close(fd);
  }

  bool start(std::string* error) {
    // The sound server's devices are opened at once, so that a missing one is reported at the
    // start; files and named pipes by their threads (a pipe waits for its writer).
    if (c_.inputFile.empty()) {
      in_ = tty::openSoundInput(c_.inputDevice, tones_.rate, error);
      if (!in_) return false;
    }
    if (c_.outputFile.empty()) {
      out_ = tty::openSoundOutput(c_.outputDevice, tones_.rate, error);
      if (!out_) return false;
    }
    watch_ = std::make_unique<net::FdWatch>(wake_[0], [this] { hear(); });
    capture_ = std::thread([this] { captureLoop(); });
    playback_ = std::thread([this] { playbackLoop(); });
    return true;
  }

  void write(std::string_view bytes) override { transmitter_.queue(bytes); }

 private:
  double now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

  void captureLoop() {
    std::string error;
    if (!in_) in_ = tty::openFileInput(c_.inputFile, &error);
    const std::size_t block = static_cast<std::size_t>(tones_.rate / 50);  // 20 ms
    std::vector<float> samples(block);
    while (in_ && !stop_) {
      const long n = in_->read(samples.data(), block, &error);
      if (n < 0) break;
      if (n == 0) continue;
      {
        std::lock_guard lock(mutex_);
        captured_.push_back({std::vector<float>(samples.begin(), samples.begin() + n), now()});
      }
      [[maybe_unused]] ssize_t w = ::write(wake_[1], "a", 1);
    }
    std::lock_guard lock(mutex_);
    inputEnded_ = stop_ ? "" : error.empty() ? "the audio input ended" : error;
    [[maybe_unused]] ssize_t w = ::write(wake_[1], "e", 1);
  }

  void playbackLoop() {
    std::string error;
    if (!out_) out_ = tty::openFileOutput(c_.outputFile, tones_.rate, &error);
    const std::size_t block = static_cast<std::size_t>(tones_.rate / 50);
    std::vector<float> samples(block);
    while (out_ && !stop_) {
      transmitter_.fill(samples.data(), block, now() + out_->latency());
      if (!out_->write(samples.data(), block, &error)) break;
    }
    if (!out_ || !stop_) {
      std::lock_guard lock(mutex_);
      outputError_ = error.empty() ? "the audio output failed" : error;
      [[maybe_unused]] ssize_t w = ::write(wake_[1], "e", 1);
    }
  }

  // Decodes what the input's thread captured; deaf while we send and just after, so that our own
  // tones coming back on the line are not taken for the TTY's.
  void hear() {
    char drain[256];
    while (::read(wake_[0], drain, sizeof drain) > 0) {
    }
    std::deque<Block> blocks;
    std::string ended, failed;
    {
      std::lock_guard lock(mutex_);
      blocks.swap(captured_);
      ended = inputEnded_;
      failed = outputError_;
    }
    std::string text;
    for (Block& b : blocks) {
      const double first = b.time - static_cast<double>(b.samples.size()) / tones_.rate;
      if (transmitter_.deaf(first) || transmitter_.deaf(b.time)) {
        std::fill(b.samples.begin(), b.samples.end(), 0.0f);
        decoder_.feed(b.samples);
        decoder_.restart();
      } else {
        decoder_.feed(b.samples);
      }
      for (const tty::CarrierChange& c : decoder_.takeCarrierChanges()) {
        farCarrier_ = c.on;
        if (h_.log) h_.log(c.on ? "carrier on" : "carrier off");
      }
      transmitter_.farCarrier(farCarrier_, b.time);
      for (const tty::Heard& heard : decoder_.take())
        if (!heard.shift && !heard.doubtful) text += heard.ch;
    }
    if (!text.empty() && h_.typed) h_.typed(text);
    if (!done_ && (!ended.empty() || !failed.empty())) {
      done_ = true;
      if (h_.ended) h_.ended(failed.empty() ? ended : failed);
    }
  }

  struct Block {
    std::vector<float> samples;
    double time;  // when the last sample was read
  };

  AudioConfig c_;
  Handlers h_;
  tty::Tones tones_;
  tty::Transmitter transmitter_;
  tty::Decoder decoder_;
  std::unique_ptr<tty::AudioIn> in_;
  std::unique_ptr<tty::AudioOut> out_;
  std::unique_ptr<net::FdWatch> watch_;
  std::thread capture_, playback_;
  std::atomic<bool> stop_{false};
  int wake_[2] = {-1, -1};
  std::mutex mutex_;
  std::deque<Block> captured_;  // with mutex_
  std::string inputEnded_;      // with mutex_
  std::string outputError_;     // with mutex_
  bool farCarrier_ = false;
  bool done_ = false;
  Clock::time_point start_ = Clock::now();
};

}  // namespace

std::unique_ptr<Circuit> openTones(const AudioConfig& config, Circuit::Handlers handlers,
                                   std::string* error) {
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return nullptr;
  }
  tty::Tones tones;
  tones.baud = config.baud;
  auto t = std::make_unique<Tones>(config, std::move(handlers), tones, wake);
  if (!t->start(error)) return nullptr;
  return t;
}

}  // namespace rttmodem::front
