// SPDX-License-Identifier: Apache-2.0
// ttysim: a TTY or TTY modem on a pseudo-terminal, with the far end of a test call behind it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "options.h"
#include "pty_link.h"
#include "record.h"
#include "escape.h"
#include "session.h"
#include "signals.h"

namespace {

using namespace ttysim;
using tty::PtyLink;
using tty::readyField;

using tty::escaped;

class OutFile {
 public:
  bool open(const std::string& path, std::string* error) {
    path_ = path;
    if (path.empty()) return true;
    f_ = std::fopen(path.c_str(), "wb");
    if (!f_) *error = "cannot write '" + path + "': " + std::strerror(errno);
    return f_ != nullptr;
  }
  ~OutFile() {
    if (f_) std::fclose(f_);
  }
  // Writes and flushes at once, so that a run that is killed loses nothing it has reported.
  bool write(std::string_view s, std::string* error) {
    if (!f_ || s.empty()) return true;
    if (std::fwrite(s.data(), 1, s.size(), f_) != s.size() || std::fflush(f_) != 0) {
      *error = "cannot write '" + path_ + "': " + std::strerror(errno);
      return false;
    }
    return true;
  }
  bool close(std::string* error) {
    if (!f_) return true;
    bool ok = std::fclose(f_) == 0;
    f_ = nullptr;
    if (!ok) *error = "cannot write '" + path_ + "': " + std::strerror(errno);
    return ok;
  }

 private:
  std::string path_;
  FILE* f_ = nullptr;
};

class Runner {
 public:
  explicit Runner(Options o) : options_(std::move(o)), session_(options_.session) {
    // The wall clock at the moment the run's clock starts: the far end's records give their
    // times on it.
    const auto wall = std::chrono::system_clock::now();
    start_ = std::chrono::steady_clock::now();
    const long long wallMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count();
    if (options_.record) record_.emplace(*options_.record, wallMs);
  }

  int run();

 private:
  Seconds now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }
  void say(const std::string& text);
  bool log(const char* tag, std::string_view bytes);
  bool drain();
  bool readProgram();
  bool saveRecord();
  // Takes the port away while the session's device is pulled out, and puts it back after.
  bool followDevice();
  std::string linkFields() const;
  int finish(int status);
  // Terminating signals (and SIGUSR1, the ring) through a descriptor the loop polls.
  bool setUpSignals() {
    signals_ = tty::SignalFd::open({SIGINT, SIGTERM, SIGHUP, SIGUSR1}, &error_);
    signal(SIGPIPE, SIG_IGN);
    return signals_ != nullptr;
  }

  std::unique_ptr<tty::SignalFd> signals_;
  Options options_;
  Session session_;
  std::unique_ptr<PtyLink> pty_;
  OutFile received_, sent_, log_;
  std::optional<FarEndRecord> record_;
  std::string pending_;  // bytes for the program not yet written
  bool attached_ = false;
  std::string error_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

void Runner::say(const std::string& text) {
  char t[32];
  std::snprintf(t, sizeof t, "%.3f ", now());
  std::fputs((t + text + "\n").c_str(), stdout);
  std::fflush(stdout);
  log("ev", text);
}

bool Runner::log(const char* tag, std::string_view bytes) {
  char t[32];
  std::snprintf(t, sizeof t, "%.3f %s ", now(), tag);
  std::string line = t;
  line += std::string(tag) == "ev" ? std::string(bytes) : escaped(bytes);
  line += '\n';
  return log_.write(line, &error_);
}

// Hands everything the session produced to the port, the files and the console.
bool Runner::drain() {
  Outbox& out = session_.out;
  for (const auto& e : out.events) say(e);
  out.events.clear();
  if (!received_.write(out.farReceived, &error_) || !sent_.write(out.farSent, &error_)) return false;
  out.farReceived.clear();
  out.farSent.clear();
  if (record_) {
    if (session_.callUp() && !record_->inCall()) record_->callUp(session_.callUpAt(), session_.turbo());
    for (const Outbox::FarChar& fc : out.farLine) record_->add(fc.sent, fc.c, fc.at);
    if (!session_.callUp() && record_->inCall() && !saveRecord()) return false;
  }
  out.farLine.clear();
  if (!out.toProgram.empty()) {
    if (attached_) {
      pending_ += out.toProgram;
    } else if (!log("lost", out.toProgram)) {
      return false;  // nobody has the port open: what the device says goes nowhere
    }
    out.toProgram.clear();
  }
  if (pending_.empty()) return true;  // also when the port could not be made
  return pty_->writePending(pending_, &error_, [this](std::string_view chunk) { return log("tx", chunk); });
}

// Reads what the program wrote; false when the program has closed the port.
bool Runner::readProgram() {
  char buf[4096];
  for (;;) {
    ssize_t n = read(pty_->masterFd(), buf, sizeof buf);
    if (n > 0) {
      std::string_view bytes(buf, static_cast<std::size_t>(n));
      if (!log("rx", bytes)) return true;
      session_.fromProgram(bytes, now());
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    return false;  // EIO: no one has the device open any more
  }
}

// The far end's record of the call that has just ended (or is cut short by the end of the run).
bool Runner::saveRecord() {
  const auto& script = options_.session.script;
  const bool completed = script && session_.turn() > script->count();
  const std::string why = record_->callEnded(now(), completed);
  if (!why.empty()) {
    error_ = why;
    return false;
  }
  say("record " + readyField(record_->capturePath()));
  return true;
}

std::string Runner::linkFields() const {
  return "port=" + options_.port + " folder=" + readyField(pty_->dir()) +
         " link=" + readyField(pty_->linkPath()) + " device=" + readyField(pty_->devicePath());
}

bool Runner::followDevice() {
  if (session_.away() && pty_) {
    // Pulled out: the terminal closes (the program's side hangs up) and its link goes.
    if (!pending_.empty() && !log("lost", pending_)) return false;
    pending_.clear();
    attached_ = false;
    pty_.reset();
  } else if (!session_.away() && !pty_) {
    pty_ = PtyLink::create(options_.portDir, options_.port, &error_);
    if (!pty_) return false;
    say("back " + linkFields());
  }
  return true;
}

int Runner::finish(int status) {
  drain();
  if (record_ && record_->inCall()) saveRecord();  // a failure is in error_
  std::string closeError;
  for (OutFile* f : {&received_, &sent_}) {
    if (!f->close(&closeError) && error_.empty()) error_ = closeError;
  }
  if (pty_) pty_->removeLink();
  if (!error_.empty()) {
    std::fprintf(stderr, "ttysim: %s\n", error_.c_str());
    if (status == 0) status = 1;
  }
  say("exit " + std::to_string(status));
  log_.close(&closeError);
  return status;
}

int Runner::run() {
  if (!options_.scriptPath.empty()) {
    auto script = Script::load(options_.scriptPath, &error_);
    if (!script) return finish(1);
    if (script->count() == 0) {
      error_ = "script file '" + options_.scriptPath + "' has no turns";
      return finish(1);
    }
    options_.session.script = std::move(*script);
    session_ = Session(options_.session);
  }
  if (!received_.open(options_.receivedPath, &error_) || !sent_.open(options_.sentPath, &error_) ||
      !log_.open(options_.logPath, &error_) || !setUpSignals()) {
    return finish(1);
  }
  if (record_) {
    std::error_code ec;
    std::filesystem::create_directories(options_.record->folder, ec);
    if (!std::filesystem::is_directory(options_.record->folder) ||
        access(options_.record->folder.c_str(), W_OK | X_OK) != 0) {
      error_ = "cannot write records into '" + options_.record->folder + "'" +
               (ec ? ": " + ec.message() : std::string());
      return finish(1);
    }
  }
  pty_ = PtyLink::create(options_.portDir, options_.port, &error_);
  if (!pty_) return finish(1);

  say("ready " + linkFields() + " type=" + readyField(deviceText(options_.session.device)) +
      " pid=" + std::to_string(getpid()));

  for (;;) {
    if (!followDevice() || !drain()) return finish(1);
    if (session_.done()) return finish(0);
    Seconds t = now();
    if (options_.timeout && t >= *options_.timeout) {
      char text[64];
      std::snprintf(text, sizeof text, "timeout after %g s", *options_.timeout);
      say(text);
      return finish(3);
    }

    // How long to wait: until the session's next deadline, the timeout, or the next look at whether
    // the program has opened the port.
    Seconds wait = 3600;
    if (auto d = session_.nextDeadline()) wait = std::min(wait, *d - t);
    if (options_.timeout) wait = std::min(wait, *options_.timeout - t);
    if (!attached_) wait = std::min(wait, 0.05);
    int timeoutMs = static_cast<int>(std::max(wait, 0.0) * 1000.0) + 1;

    pollfd fds[2] = {{signals_->fd(), POLLIN, 0}, {pty_ ? pty_->masterFd() : -1, 0, 0}};
    if (attached_) fds[1].events = static_cast<short>(POLLIN | (pending_.empty() ? 0 : POLLOUT));
    int n = poll(fds, attached_ ? 2 : 1, timeoutMs);
    if (n < 0 && errno != EINTR) {
      error_ = std::string("poll failed: ") + std::strerror(errno);
      return finish(1);
    }

    for (int sig; (sig = signals_->take(&error_)) != 0;) {
      if (sig < 0) return finish(1);
      if (sig == SIGUSR1) {
        session_.ringSignal(now());
        continue;
      }
      say(std::string("stopped by ") + (sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP"));
      return finish(128 + sig);
    }

    if (attached_) {
      if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && !readProgram()) {
        attached_ = false;
        if (!pending_.empty() && !log("lost", pending_)) return finish(1);
        pending_.clear();
        session_.detach(now());
      }
    } else if (pty_) {
      pollfd probe{pty_->masterFd(), POLLIN, 0};
      if (poll(&probe, 1, 0) >= 0 && !(probe.revents & POLLHUP)) {
        attached_ = true;
        session_.attach(now());
        readProgram();
      }
    }
    session_.tick(now());
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const char* env = std::getenv("CORVALIS_PORT_DIR");
  auto parsed = parseOptions(args, env ? std::optional<std::string>(env) : std::nullopt);
  if (!parsed.options) {
    std::fprintf(stderr, "ttysim: %s\nTry 'ttysim --help' for more.\n", parsed.error.c_str());
    return 1;
  }
  if (parsed.options->help) {
    std::fputs(usageText().c_str(), stdout);
    return 0;
  }
  if (parsed.options->version) {
    std::puts("ttysim (TTY field-test kit) " KIT_VERSION);
    return 0;
  }
  Runner runner(std::move(*parsed.options));
  return runner.run();
}
