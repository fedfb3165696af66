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
#include "signals.h"
#include "tone_circuit.h"

namespace softtty {
namespace {

using Clock = std::chrono::steady_clock;
using tty::PtyLink;
using tty::readyField;

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

class Device {
 public:
  Device(const Options& o, SoundServer& server, const std::function<void(const std::string&)>& console)
      : o_(o), circuit_(toneConfig(o), server), console_(console) {}
  ~Device();
  int run();

 private:
  static tty::ToneCircuitConfig toneConfig(const Options& o) {
    tty::ToneCircuitConfig c;
    c.inputDevice = o.inputDevice;
    c.outputDevice = o.outputDevice;
    c.inputFile = o.inputFile;
    c.outputFile = o.outputFile;
    c.tones = o.tones;
    return c;
  }
  double now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
  void say(const std::string& text);
  void log(const std::string& line);
  bool toProgram(const std::string& text);
  bool readProgram();
  // What the tone circuit heard and did; false when the device must end (error_ says why).
  bool hear();
  int finish(int status);

  const Options& o_;
  tty::ToneCircuit circuit_;
  const std::function<void(const std::string&)>& console_;
  std::unique_ptr<PtyLink> pty_;
  bool attached_ = false;
  bool sending_ = false;
  bool endedSaid_ = false;
  std::string pending_;  // decoded text not yet written to the program
  FILE* log_ = nullptr;
  std::string error_;
  std::vector<std::pair<int, struct sigaction>> savedActions_;  // put back when the device ends
  Clock::time_point start_ = Clock::now();
};

Device::~Device() {
  for (auto& [sig, action] : savedActions_) sigaction(sig, &action, nullptr);
  gLinkPath[0] = 0;
  if (log_) std::fclose(log_);
}

void Device::say(const std::string& text) {
  char t[32];
  std::snprintf(t, sizeof t, "%.3f ", now());
  console_(t + text);
  if (log_) log("ev " + text);
}

void Device::log(const std::string& line) {
  if (!log_) return;
  char t[32];
  std::snprintf(t, sizeof t, "%.3f ", now());
  std::fputs((t + line + "\n").c_str(), log_);
  std::fflush(log_);
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
      circuit_.queue(std::string_view(buf, static_cast<std::size_t>(n)));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    return false;
  }
}

// What the tone circuit heard (deaf while we send and just after), its events and what it sent.
bool Device::hear() {
  tty::ToneCircuit::Taken t = circuit_.take();
  for (const std::string& e : t.events) say(e);
  for (const CarrierChange& c : t.carrier) say(c.on ? "carrier on" : "carrier off");
  for (const Heard& h : t.heard) {
    std::string line = reportLine(h);
    line.pop_back();
    log("heard " + line);
  }
  for (const auto& s : t.sent) log("sent " + codeName(Heard{.ch = s.ch}));
  if (!t.text.empty()) toProgram(t.text);
  if (!t.error.empty()) {
    error_ = t.error;
    return false;
  }
  if (t.inputEnded && !endedSaid_) {
    endedSaid_ = true;
    say("audio input ended");
  }
  return true;
}

int Device::finish(int status) {
  if (pty_) pty_->removeLink();
  if (!error_.empty()) {
    std::fprintf(stderr, "softtty: %s\n", error_.c_str());
    if (status == 0) status = 1;
  }
  say("exit " + std::to_string(status));
  return status;
}

int Device::run() {
  // Before the tone circuit's threads start, so that they block the signals too: each ends the
  // device in order, from its loop.
  auto signals = tty::SignalFd::open(tty::terminatingSignals(), &error_);
  if (!signals) return finish(1);
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
  // The sound server's devices are opened at once, so that a missing one is reported before the
  // port appears.
  if (!circuit_.start(&error_)) return finish(1);
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

  for (;;) {
    pollfd fds[3] = {{signals->fd(), POLLIN, 0}, {circuit_.wakeFd(), POLLIN, 0}, {pty_->masterFd(), 0, 0}};
    if (attached_) fds[2].events = static_cast<short>(POLLIN | (pending_.empty() ? 0 : POLLOUT));
    int n = poll(fds, attached_ ? 3 : 2, attached_ && !sending_ ? 1000 : 50);
    if (n < 0 && errno != EINTR) {
      error_ = std::string("poll failed: ") + std::strerror(errno);
      return finish(1);
    }
    if (const int sig = signals->take(&error_); sig != 0) {
      if (sig < 0) return finish(1);
      say("stopped by " + tty::signalName(sig));
      return finish(128 + sig);
    }
    if (!hear()) return finish(1);
    if (sending_ != circuit_.sending()) {
      sending_ = !sending_;
      say(sending_ ? "sending" : "sent");
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
