#include "device.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "audio.h"
#include "decoder.h"
#include "pty_link.h"
#include "report.h"
#include "transmitter.h"

namespace softtty {
namespace {

using Clock = std::chrono::steady_clock;
using ttysim::PtyLink;
using ttysim::readyField;

int gSignalPipe[2] = {-1, -1};

void onSignal(int sig) {
  int saved = errno;
  unsigned char b = static_cast<unsigned char>(sig);
  [[maybe_unused]] ssize_t n = write(gSignalPipe[1], &b, 1);
  errno = saved;
}

bool makePipe(int fds[2], std::string* error) {
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// Audio heard, handed from the input's thread to the main loop.
struct Captured {
  std::vector<float> samples;
  double time = 0;  // seconds since start when the last sample was read
};

class Device {
 public:
  explicit Device(const Options& o) : o_(o), transmitter_(o.tones), decoder_(o.tones) {}
  ~Device();
  int run();

 private:
  double now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
  void say(const std::string& text);
  void log(const std::string& line);
  bool openAudio();
  void captureLoop();
  void playbackLoop();
  bool toProgram(const std::string& text);
  bool readProgram();
  void hear();
  int finish(int status);

  const Options& o_;
  Transmitter transmitter_;
  Decoder decoder_;
  std::unique_ptr<PtyLink> pty_;
  std::unique_ptr<AudioIn> in_;
  std::unique_ptr<AudioOut> out_;
  std::thread capture_, playback_;
  std::atomic<bool> stop_{false};
  int wake_[2] = {-1, -1};  // the input's thread says "audio is there"
  std::mutex mutex_;
  std::deque<Captured> captured_;
  std::string audioError_;  // set by a thread whose audio failed
  bool inputEnded_ = false;
  bool attached_ = false;
  bool farCarrier_ = false;
  bool sending_ = false;
  std::string pending_;  // decoded text not yet written to the program
  FILE* log_ = nullptr;
  std::string error_;
  Clock::time_point start_ = Clock::now();
};

Device::~Device() {
  stop_ = true;
  if (capture_.joinable()) capture_.join();
  if (playback_.joinable()) playback_.join();
  if (log_) std::fclose(log_);
  for (int fd : wake_) {
    if (fd >= 0) close(fd);
  }
}

void Device::say(const std::string& text) {
  char t[32];
  std::snprintf(t, sizeof t, "%.3f ", now());
  std::fputs((t + text + "\n").c_str(), stdout);
  std::fflush(stdout);
  if (log_) log("ev " + text);
}

void Device::log(const std::string& line) {
  if (!log_) return;
  char t[32];
  std::snprintf(t, sizeof t, "%.3f ", now());
  std::fputs((t + line + "\n").c_str(), log_);
  std::fflush(log_);
}

bool Device::openAudio() {
  const int rate = o_.tones.rate;
  // The sound server's devices are opened at once, so that a missing one is reported before the
  // port appears; files and named pipes are opened by their threads (a pipe waits for its writer).
  if (o_.inputFile.empty()) {
    in_ = openSoundInput(o_.inputDevice, rate, &error_);
    if (!in_) return false;
  }
  if (o_.outputFile.empty()) {
    out_ = openSoundOutput(o_.outputDevice, rate, &error_);
    if (!out_) return false;
  }
  return true;
}

void Device::captureLoop() {
  std::string error;
  if (!in_) in_ = openFileInput(o_.inputFile, &error);
  const std::size_t block = static_cast<std::size_t>(o_.tones.rate / 50);  // 20 ms
  std::vector<float> samples(block);
  while (in_ && !stop_) {
    long n = in_->read(samples.data(), block, &error);
    if (n < 0) break;
    if (n == 0) continue;
    {
      std::lock_guard lock(mutex_);
      captured_.push_back({std::vector<float>(samples.begin(), samples.begin() + n), now()});
    }
    [[maybe_unused]] ssize_t w = write(wake_[1], "a", 1);
  }
  std::lock_guard lock(mutex_);
  if (!error.empty()) audioError_ = error;
  inputEnded_ = !stop_;
  [[maybe_unused]] ssize_t w = write(wake_[1], "e", 1);
}

void Device::playbackLoop() {
  std::string error;
  if (!out_) out_ = openFileOutput(o_.outputFile, o_.tones.rate, &error);
  const std::size_t block = static_cast<std::size_t>(o_.tones.rate / 50);  // 20 ms
  std::vector<float> samples(block);
  while (out_ && !stop_) {
    transmitter_.fill(samples.data(), block, now() + out_->latency());
    if (!out_->write(samples.data(), block, &error)) break;
  }
  if (!error.empty()) {
    std::lock_guard lock(mutex_);
    audioError_ = error;
    [[maybe_unused]] ssize_t w = write(wake_[1], "e", 1);
  }
}

bool Device::toProgram(const std::string& text) {
  if (!attached_) {
    log("lost " + text);  // nobody has the port open: what is heard goes nowhere
    return true;
  }
  pending_ += text;
  return pty_->writePending(pending_, &error_);
}

// Reads what the program wrote; false when the program has closed the port.
bool Device::readProgram() {
  char buf[4096];
  for (;;) {
    ssize_t n = read(pty_->masterFd(), buf, sizeof buf);
    if (n > 0) {
      transmitter_.queue(std::string_view(buf, static_cast<std::size_t>(n)));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    return false;
  }
}

// Decodes what the input's thread captured; deaf while we send and just after.
void Device::hear() {
  std::deque<Captured> blocks;
  {
    std::lock_guard lock(mutex_);
    blocks.swap(captured_);
  }
  std::string text;
  for (Captured& b : blocks) {
    const double first = b.time - static_cast<double>(b.samples.size()) / o_.tones.rate;
    if (transmitter_.deaf(first) || transmitter_.deaf(b.time)) {
      std::fill(b.samples.begin(), b.samples.end(), 0.0f);
      decoder_.feed(b.samples);
      decoder_.restart();
    } else {
      decoder_.feed(b.samples);
    }
    for (const CarrierChange& c : decoder_.takeCarrierChanges()) {
      say(c.on ? "carrier on" : "carrier off");
      farCarrier_ = c.on;
    }
    transmitter_.farCarrier(farCarrier_, b.time);
    for (const Heard& h : decoder_.take()) {
      std::string line = reportLine(h);
      line.pop_back();
      log("heard " + line);
      if (!h.shift && !h.doubtful) text += h.ch;
    }
  }
  for (const auto& s : transmitter_.takeSent()) {
    log("sent " + codeName(Heard{.ch = s.ch}));
  }
  if (!text.empty()) toProgram(text);
}

int Device::finish(int status) {
  stop_ = true;
  if (pty_) pty_->removeLink();
  if (!error_.empty()) {
    std::fprintf(stderr, "softtty: %s\n", error_.c_str());
    if (status == 0) status = 1;
  }
  say("exit " + std::to_string(status));
  return status;
}

int Device::run() {
  if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0 || !makePipe(wake_, &error_)) {
    if (error_.empty()) error_ = std::string("cannot make a pipe: ") + std::strerror(errno);
    return finish(1);
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (!o_.logPath.empty()) {
    log_ = std::fopen(o_.logPath.c_str(), "w");
    if (!log_) {
      error_ = "cannot write '" + o_.logPath + "': " + std::strerror(errno);
      return finish(1);
    }
  }
  if (!openAudio()) return finish(1);
  pty_ = PtyLink::create(o_.portDir, o_.port, &error_);
  if (!pty_) return finish(1);
  say("ready port=" + o_.port + " folder=" + readyField(pty_->dir()) +
      " link=" + readyField(pty_->linkPath()) + " device=" + readyField(pty_->devicePath()) +
      " type=softtty pid=" + std::to_string(getpid()));
  capture_ = std::thread([this] { captureLoop(); });
  playback_ = std::thread([this] { playbackLoop(); });

  bool endedSaid = false;
  for (;;) {
    pollfd fds[3] = {{gSignalPipe[0], POLLIN, 0}, {wake_[0], POLLIN, 0}, {pty_->masterFd(), 0, 0}};
    if (attached_) fds[2].events = static_cast<short>(POLLIN | (pending_.empty() ? 0 : POLLOUT));
    int n = poll(fds, attached_ ? 3 : 2, attached_ && !sending_ ? 1000 : 50);
    if (n < 0 && errno != EINTR) {
      error_ = std::string("poll failed: ") + std::strerror(errno);
      return finish(1);
    }
    unsigned char sig = 0;
    while (read(gSignalPipe[0], &sig, 1) == 1) {
      say(std::string("stopped by ") + (sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP"));
      return finish(128 + sig);
    }
    char drain[256];
    while (read(wake_[0], drain, sizeof drain) > 0) {
    }
    hear();
    if (sending_ == transmitter_.idle()) {
      sending_ = !sending_;
      say(sending_ ? "sending" : "sent");
    }
    {
      std::lock_guard lock(mutex_);
      if (!audioError_.empty()) {
        error_ = audioError_;
        return finish(1);
      }
      if (inputEnded_ && !endedSaid) {
        endedSaid = true;
        say("audio input ended");
      }
    }
    if (attached_) {
      if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR)) && !readProgram()) {
        attached_ = false;
        pending_.clear();
        say("detached");
      } else if (!pending_.empty() && !toProgram("")) {
        return finish(1);
      }
    } else {
      pollfd probe{pty_->masterFd(), POLLIN, 0};
      if (poll(&probe, 1, 0) >= 0 && !(probe.revents & POLLHUP)) {
        attached_ = true;
        say("attached");
        readProgram();
      }
    }
  }
}

}  // namespace

int runDevice(const Options& o) {
  Device device(o);
  return device.run();
}

}  // namespace softtty
