// SPDX-License-Identifier: Apache-2.0
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
#include <utility>
#include <vector>

#include "audio.h"
#include "decoder.h"
#include "pty_link.h"
#include "report.h"
#include "transmitter.h"

namespace softtty {
namespace {

using Clock = std::chrono::steady_clock;
using tty::PtyLink;
using tty::readyField;

int gSignalPipe[2] = {-1, -1};

void onSignal(int sig) {
  int saved = errno;
  unsigned char b = static_cast<unsigned char>(sig);
  [[maybe_unused]] ssize_t n = write(gSignalPipe[1], &b, 1);
  errno = saved;
}

// The signals that end a process by default and can be caught: each ends the device in order,
// its link removed.
std::vector<int> terminatingSignals() {
  std::vector<int> s = {SIGHUP,    SIGINT,  SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM,
                        SIGVTALRM, SIGPROF, SIGIO,   SIGXCPU, SIGXFSZ, SIGPWR,  SIGSTKFLT};
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) s.push_back(sig);
  return s;
}

// A crash (or a signal of the kind a crash raises) cannot end the device in order: the link is
// removed right there, if it is still ours, and the signal ends the process as it would have.
char gLinkPath[4096];
char gDevicePath[4096];
constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS, SIGTRAP};

void onCrash(int sig) {
  char target[4096];
  const ssize_t n = readlink(gLinkPath, target, sizeof target - 1);
  if (n > 0) {
    target[n] = 0;
    if (std::strcmp(target, gDevicePath) == 0) unlink(gLinkPath);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

std::string signalName(int sig) {
  if (sig >= SIGRTMIN && sig <= SIGRTMAX) return "SIGRTMIN+" + std::to_string(sig - SIGRTMIN);
  const char* abbrev = sigabbrev_np(sig);
  return abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(sig);
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
  Device(const Options& o, SoundServer& server, const std::function<void(const std::string&)>& console)
      : o_(o), server_(server), console_(console), transmitter_(o.tones), decoder_(o.tones) {}
  ~Device();
  int run();

 private:
  double now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
  void say(const std::string& text);
  void log(const std::string& line);
  bool openAudio();
  void captureLoop();
  void playbackLoop();
  // Waits up to `seconds`, or less when the device stops; false once it is stopping.
  bool pause(double seconds);
  // A line for the console from the audio threads, said by the main loop.
  void event(const std::string& text);
  bool toProgram(const std::string& text);
  bool readProgram();
  void hear();
  int finish(int status);

  const Options& o_;
  SoundServer& server_;
  const std::function<void(const std::string&)>& console_;
  Transmitter transmitter_;
  Decoder decoder_;
  std::unique_ptr<PtyLink> pty_;
  std::unique_ptr<AudioIn> in_;
  std::unique_ptr<AudioOut> out_;
  std::thread capture_, playback_;
  std::atomic<bool> stop_{false};
  std::condition_variable stopped_;  // with mutex_: stop_ was set
  std::vector<std::string> events_;  // with mutex_
  bool inputBack_ = false;           // with mutex_: the input was opened again
  int wake_[2] = {-1, -1};           // the input's thread says "audio is there"
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
  std::vector<std::pair<int, struct sigaction>> savedActions_;  // put back when the device ends
  Clock::time_point start_ = Clock::now();
};

Device::~Device() {
  for (auto& [sig, action] : savedActions_) sigaction(sig, &action, nullptr);
  gLinkPath[0] = 0;
  for (int& fd : gSignalPipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  stopped_.notify_all();
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
  console_(t + text);
  if (log_) log("ev " + text);
}

bool Device::pause(double seconds) {
  std::unique_lock lock(mutex_);
  stopped_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stop_.load(); });
  return !stop_;
}

void Device::event(const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back(text);
  }
  [[maybe_unused]] ssize_t w = write(wake_[1], "v", 1);
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
    in_ = server_.openInput(o_.inputDevice, rate, &error_);
    if (!in_) return false;
  }
  if (o_.outputFile.empty()) {
    out_ = server_.openOutput(o_.outputDevice, rate, &error_);
    if (!out_) return false;
  }
  return true;
}

// The sound server's streams fail when it goes away (restarted, or the machine suspended): each
// thread then opens its stream again, once a second, until the server is back. The port and the
// call stay meanwhile; what the output had not played is sent again.
constexpr double kRetry = 1.0;

void Device::captureLoop() {
  std::string error;
  const bool sound = o_.inputFile.empty();
  if (!sound) in_ = openFileInput(o_.inputFile, &error);
  const std::size_t block = static_cast<std::size_t>(o_.tones.rate / 50);  // 20 ms
  std::vector<float> samples(block);
  bool lost = false;
  while (!stop_) {
    if (!in_) {
      if (!sound) break;
      in_ = server_.openInput(o_.inputDevice, o_.tones.rate, &error);
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
    long n = in_->read(samples.data(), block, &error);
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
    [[maybe_unused]] ssize_t w = write(wake_[1], "a", 1);
  }
  std::lock_guard lock(mutex_);
  if (!error.empty() && !sound) audioError_ = error;
  inputEnded_ = !stop_;
  [[maybe_unused]] ssize_t w = write(wake_[1], "e", 1);
}

void Device::playbackLoop() {
  std::string error;
  const bool sound = o_.outputFile.empty();
  if (!sound) out_ = openFileOutput(o_.outputFile, o_.tones.rate, &error);
  const std::size_t block = static_cast<std::size_t>(o_.tones.rate / 50);  // 20 ms
  std::vector<float> samples(block);
  bool lost = false;
  while (!stop_) {
    if (!out_) {
      if (!sound) break;
      out_ = server_.openOutput(o_.outputDevice, o_.tones.rate, &error);
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
  if (!error.empty() && !sound) {
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
  bool back = false;
  {
    std::lock_guard lock(mutex_);
    blocks.swap(captured_);
    std::swap(back, inputBack_);
  }
  // A new input stream: what was being heard before the server went away is gone.
  if (back) decoder_.restart();
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
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  stopped_.notify_all();
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
  for (int sig : terminatingSignals()) {
    struct sigaction old {};
    sigaction(sig, &sa, &old);
    savedActions_.push_back({sig, old});
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction oldPipe {};
  sigaction(SIGPIPE, &ignore, &oldPipe);
  savedActions_.push_back({SIGPIPE, oldPipe});

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
  // From here on a crash takes the link with it.
  std::snprintf(gLinkPath, sizeof gLinkPath, "%s", pty_->linkPath().c_str());
  std::snprintf(gDevicePath, sizeof gDevicePath, "%s", pty_->devicePath().c_str());
  struct sigaction crash {};
  crash.sa_handler = onCrash;
  sigemptyset(&crash.sa_mask);
  for (int sig : kCrashSignals) {
    struct sigaction old {};
    sigaction(sig, &crash, &old);
    savedActions_.push_back({sig, old});
  }
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
      say("stopped by " + signalName(sig));
      return finish(128 + sig);
    }
    char drain[256];
    while (read(wake_[0], drain, sizeof drain) > 0) {
    }
    std::vector<std::string> events;
    {
      std::lock_guard lock(mutex_);
      events.swap(events_);
    }
    for (const std::string& e : events) say(e);
    hear();
    if (sending_ == transmitter_.idle()) {
      sending_ = !sending_;
      say(sending_ ? "sending" : "sent");
    }
    bool ended = false;
    {
      std::lock_guard lock(mutex_);
      error_ = audioError_;
      ended = inputEnded_;
    }
    if (!error_.empty()) return finish(1);
    if (ended && !endedSaid) {
      endedSaid = true;
      say("audio input ended");
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

int runDevice(const Options& o, SoundServer& server, const std::function<void(const std::string&)>& console) {
  Device device(o, server, console);
  return device.run();
}

int runDevice(const Options& o) {
  return runDevice(o, systemSoundServer(), [](const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
  });
}

}  // namespace softtty
