// SPDX-License-Identifier: Apache-2.0
#include "tone_circuit.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tty {
namespace {

// A stream of the sound server that failed is opened again this often.
constexpr double kRetry = 1.0;

class SystemSoundServer : public SoundServer {
 public:
  std::unique_ptr<AudioIn> openInput(const std::string& device, int rate, std::string* error) override {
    return openSoundInput(device, rate, error);
  }
  std::unique_ptr<AudioOut> openOutput(const std::string& device, int rate, std::string* error) override {
    return openSoundOutput(device, rate, error);
  }
};

}  // namespace

SoundServer& systemSoundServer() {
  static SystemSoundServer server;
  return server;
}

ToneCircuit::ToneCircuit(ToneCircuitConfig config, SoundServer& server)
    : config_(std::move(config)), server_(server), transmitter_(config_.tones), decoder_(config_.tones) {}

ToneCircuit::~ToneCircuit() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  stopped_.notify_all();
  if (capture_.joinable()) capture_.join();
  if (playback_.joinable()) playback_.join();
  for (int fd : wake_)
    if (fd >= 0) ::close(fd);
}

double ToneCircuit::now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

bool ToneCircuit::start(std::string* error) {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  const int rate = config_.tones.rate;
  if (config_.inputFile.empty()) {
    in_ = server_.openInput(config_.inputDevice, rate, error);
    if (!in_) return false;
  }
  if (config_.outputFile.empty()) {
    out_ = server_.openOutput(config_.outputDevice, rate, error);
    if (!out_) return false;
  }
  capture_ = std::thread([this] { captureLoop(); });
  playback_ = std::thread([this] { playbackLoop(); });
  return true;
}

void ToneCircuit::wake(char c) {
  [[maybe_unused]] ssize_t w = ::write(wake_[1], &c, 1);
}

bool ToneCircuit::pause(double seconds) {
  std::unique_lock lock(mutex_);
  stopped_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stop_.load(); });
  return !stop_;
}

void ToneCircuit::event(const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back(text);
  }
  wake('v');
}

void ToneCircuit::captureLoop() {
  std::string error;
  const bool sound = config_.inputFile.empty();
  if (!sound) in_ = openFileInput(config_.inputFile, &error);
  const std::size_t block = static_cast<std::size_t>(config_.tones.rate / 50);  // 20 ms
  std::vector<float> samples(block);
  bool lost = false;
  while (!stop_) {
    if (!in_) {
      if (!sound) break;
      in_ = server_.openInput(config_.inputDevice, config_.tones.rate, &error);
      if (!in_) {
        if (!pause(kRetry)) break;
        continue;
      }
      lost = false;
      {
        std::lock_guard lock(mutex_);
        inputBack_ = true;
      }
      event("sound input back");
      error.clear();
    }
    const long n = in_->read(samples.data(), block, &error);
    if (n == AudioIn::kFailed && sound) {
      if (!lost) event("sound input lost (" + error + "); opening it again every second");
      lost = true;
      in_.reset();
      continue;
    }
    if (n < 0) break;
    if (n == 0) continue;
    {
      std::lock_guard lock(mutex_);
      captured_.push_back({std::vector<float>(samples.begin(), samples.begin() + n), now()});
    }
    wake('a');
  }
  {
    std::lock_guard lock(mutex_);
    if (!error.empty() && !sound && !stop_) error_ = error;
    inputEnded_ = !stop_;
  }
  wake('e');
}

void ToneCircuit::playbackLoop() {
  std::string error;
  const bool sound = config_.outputFile.empty();
  if (!sound) out_ = openFileOutput(config_.outputFile, config_.tones.rate, &error);
  const std::size_t block = static_cast<std::size_t>(config_.tones.rate / 50);  // 20 ms
  std::vector<float> samples(block);
  bool lost = false;
  while (!stop_) {
    if (!out_) {
      if (!sound) break;
      out_ = server_.openOutput(config_.outputDevice, config_.tones.rate, &error);
      if (!out_) {
        if (!pause(kRetry)) break;
        continue;
      }
      lost = false;
      event("sound output back");
      error.clear();
    }
    transmitter_.fill(samples.data(), block, now() + out_->latency());
    if (out_->write(samples.data(), block, &error)) continue;
    if (!sound) break;
    transmitter_.interrupt(now());
    if (!lost) event("sound output lost (" + error + "); opening it again every second");
    lost = true;
    out_.reset();
  }
  if (!stop_ && !sound) {
    {
      std::lock_guard lock(mutex_);
      error_ = error.empty() ? "the audio output failed" : error;
    }
    wake('e');
  }
}

ToneCircuit::Taken ToneCircuit::take() {
  char drain[256];
  while (::read(wake_[0], drain, sizeof drain) > 0) {
  }
  Taken t;
  std::deque<Captured> blocks;
  bool back = false, ended = false;
  std::string error;
  {
    std::lock_guard lock(mutex_);
    blocks.swap(captured_);
    t.events.swap(events_);
    std::swap(back, inputBack_);
    ended = inputEnded_;
    error = error_;
  }
  // A new input stream: what was being heard before the server went away is gone.
  if (back) decoder_.restart();
  for (Captured& b : blocks) {
    const double first = b.time - static_cast<double>(b.samples.size()) / config_.tones.rate;
    if (transmitter_.deaf(first) || transmitter_.deaf(b.time)) {
      std::fill(b.samples.begin(), b.samples.end(), 0.0f);
      decoder_.feed(b.samples);
      decoder_.restart();
    } else {
      decoder_.feed(b.samples);
    }
    for (const CarrierChange& c : decoder_.takeCarrierChanges()) {
      farCarrier_ = c.on;
      t.carrier.push_back(c);
    }
    transmitter_.farCarrier(farCarrier_, b.time);
    for (const Heard& h : decoder_.take()) {
      t.heard.push_back(h);
      if (!h.shift && !h.doubtful) t.text += h.ch;
    }
  }
  t.sent = transmitter_.takeSent();
  if (ended && !endedTold_) {
    endedTold_ = true;
    t.inputEnded = true;
  }
  if (!error.empty() && !errorTold_) {
    errorTold_ = true;
    t.error = error;
  }
  return t;
}

}  // namespace tty
