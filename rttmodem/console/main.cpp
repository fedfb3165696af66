// SPDX-License-Identifier: Apache-2.0
// rttmodem: a real-time text phone. On the console, standard input is typed to the far end, the
// far end's text comes out on standard output, and the call's events go to standard error. As a
// gateway the text goes to and from a TTY on a serial device or on a phone line (its tones), and
// the events go to standard output; as a modem (modem.cpp) a program drives it with AT commands.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "circuit.h"
#include "controller.h"
#include "controller_config.h"
#include "libre.h"
#include "modem_front.h"
#include "options.h"
#include "pty_link.h"
#include "signals.h"

namespace {

using namespace rttmodem;

const auto kStart = std::chrono::steady_clock::now();
// The console's log goes to standard error beside the text; the other fronts' to standard
// output, as the kit's other devices write theirs.
bool gLogToStdout = false;

void logLine(const std::string& line) {
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - kStart).count();
  if (gLogToStdout) {
    std::fprintf(stdout, "%.3f %s\n", t, line.c_str());
    std::fflush(stdout);
  } else {
    std::fprintf(stderr, "rttmodem %.3f %s\n", t, line.c_str());
    std::fflush(stderr);
  }
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

class App {
 public:
  explicit App(const console::Options& o) : o_(o) {}

  int run() {
    // Signals blocked before any thread starts (the tones' audio threads, libre's resolver):
    // otherwise the kernel may hand SIGTERM to one of them, and the call is never hung up.
    std::string error;
    auto signals = tty::SignalFd::open({SIGINT, SIGTERM, SIGHUP}, &error);
    if (!signals) {
      std::fprintf(stderr, "rttmodem: %s\n", error.c_str());
      return 1;
    }
    net::Loop loop;
    loop_ = &loop;
    net::Loop::setLog([](const std::string& line) { logLine("libre " + call::field("warning", line)); });
    call::ControllerConfig cc = console::controllerConfig(o_);
    call::Controller::Callbacks cb;
    cb.log = logLine;
    cb.text = [this](std::string_view bytes) {
      if (circuit_) {
        circuit_->write(bytes);
      } else {
        writeAll(STDOUT_FILENO, bytes);
      }
    };
    cb.event = [this](call::Event e, const call::CallInfo& info) { onEvent(e, info); };
    cb.registration = [this](bool ok, int, const std::string&) { onRegistration(ok); };
    // A test far end's refusals are its calls; a call refused for a bad offer is not one.
    cb.refused = [this](int status) {
      if (status == o_.refuse) callDone(false);
    };
    cb.idle = [this] {
      if (finishing_) stopSoon();
    };
    call::Controller controller(cc, cb);
    controller_ = &controller;
    if (!controller.start(&error)) {
      std::fprintf(stderr, "rttmodem: %s\n", error.c_str());
      return 1;
    }
    if (o_.front == console::Front::Console) {
      input_ = std::make_unique<net::FdWatch>(STDIN_FILENO, [&] {
        char buf[4096];
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) {
          input_->close();
          inputEnded();
          return;
        }
        typed_.append(buf, static_cast<std::size_t>(n));
        feed();
      });
    } else {
      front::Circuit::Handlers h;
      h.typed = [this](std::string_view bytes) {
        typed_ += bytes;
        feed();
      };
      h.ended = [this](const std::string& why) {
        logLine("tty-ended " + call::field("reason", why));
        inputEnded();
      };
      h.log = [](const std::string& line) { logLine("tty " + line); };
      if (o_.front == console::Front::Serial) {
        circuit_ = front::openSerial(o_.serialDevice, std::move(h), &error);
      } else {
        front::AudioConfig ac{o_.inputDevice, o_.outputDevice, o_.inputFile, o_.outputFile, o_.baud};
        circuit_ = front::openTones(ac, std::move(h), &error);
      }
      if (!circuit_) {
        std::fprintf(stderr, "rttmodem: %s\n", error.c_str());
        return 1;
      }
    }

    std::string circuit;
    if (o_.front == console::Front::Serial) {
      circuit = " tty=" + tty::readyField(o_.serialDevice);
    } else if (o_.front == console::Front::Audio) {
      circuit = " tty=tones";
    }
    logLine("ready " + call::field("sip", controller.contact()) + " sip-port=" +
            std::to_string(controller.sipPort()) + circuit + " pid=" + std::to_string(::getpid()));

    // Signals arrive through a descriptor, so that hanging up runs in the loop like anything else.
    net::FdWatch sigWatch(signals->fd(), [&] {
      std::string why;
      const int sig = signals->take(&why);
      if (sig < 0) {
        logLine("signal-error " + call::field("reason", why));
        finish(1);
      } else if (sig > 0) {
        logLine("signal " + std::to_string(sig) + ", hanging up");
        // Asked to stop: text still going out to the TTY is not waited for.
        signalled_ = true;
        if (draining_) {
          drainTimer_.cancel();
          draining_ = false;
          stopSoon();
        }
        finish(exitStatus_);
      }
    });
    if (!sigWatch.ok()) {
      std::fprintf(stderr, "rttmodem: cannot watch the signal descriptor\n");
      return 1;
    }
    if (o_.mode == console::Mode::Dial && o_.registerUri.empty()) controller.dial(o_.dialUri);
    loop.run();
    input_.reset();
    circuit_.reset();
    return exitStatus_;
  }

 private:
  // The end of what is typed: a call placed hangs up once its text has gone; the gateway, whose
  // TTY has gone, takes no more calls.
  void inputEnded() {
    inputEnded_ = true;
    feed();
    if (circuit_ && controller_->state() == call::Controller::State::Idle) finish(exitStatus_);
  }

  // Hands typed text to the call, all at once or at the --pace.
  void feed() {
    if (o_.pace <= 0) {
      if (!typed_.empty()) controller_->sendText(typed_);
      typed_.clear();
    } else if (!typed_.empty() && !paceTimer_.active()) {
      controller_->sendText(typed_.substr(0, 1));
      typed_.erase(0, 1);
      paceTimer_.start(static_cast<std::uint64_t>(1000 / o_.pace), [this] { feed(); });
    }
    // At the end of the input the caller hangs up once everything has gone out.
    const auto state = controller_->state();
    if (inputEnded_ && typed_.empty() && !paceTimer_.active() && (o_.mode == console::Mode::Dial || circuit_) &&
        state != call::Controller::State::Idle && state != call::Controller::State::Closing)
      controller_->hangUpWhenSent();
  }

  void onRegistration(bool ok) {
    if (!ok) {
      // Refused at the start: the console stops at once (a wrong password is not tried again
      // and again). Later failures are retried, with a growing wait, by the registration itself.
      if (!registeredOnce_) {
        logLine("result " + call::field("line", "NO CARRIER") + " " + call::field("reason", "registration refused"));
        finish(2);
      }
      return;
    }
    if (!registeredOnce_ && o_.mode == console::Mode::Dial) controller_->dial(o_.dialUri);
    registeredOnce_ = true;
  }

  void onEvent(call::Event e, const call::CallInfo& info) {
    using call::Event;
    switch (e) {
      case Event::Incoming:
        // A gateway on its way out (its calls done, its TTY still taking the last text) takes no
        // new call: refused, not left ringing.
        // Refused from the loop, after the controller's handling of the INVITE is over. The
        // refusal is no call of ours: it changes neither the count nor the exit status.
        if (finishing_) {
          refusingLate_ = true;
          refuseTimer_.start(0, [this] { controller_->hangUp(); });
        } else if (!o_.noAnswer) {
          controller_->answer();
        }
        break;
      case Event::Connected:
        connected_ = true;
        if (inputEnded_) feed();
        break;
      case Event::Busy:
      case Event::NoAnswer:
      case Event::Failed:
        logLine("result " + call::field("line", call::resultLine(info.result)));
        callDone(false);
        break;
      case Event::Ended:
        if (!info.byUs) logLine("result " + call::field("line", call::resultLine(info.result)));
        callDone(connected_);
        break;
      case Event::Ringing:
        break;
    }
  }

  void callDone(bool wasUp) {
    if (refusingLate_) {
      refusingLate_ = false;
      return;
    }
    ++callsDone_;
    if (!wasUp) exitStatus_ = 2;
    connected_ = false;
    if (o_.mode == console::Mode::Dial || (o_.calls > 0 && callsDone_ >= o_.calls) ||
        (circuit_ && inputEnded_))
      finish(exitStatus_);
  }

  // Hangs up (what was typed goes first), lets the BYE and the end of the registration leave,
  // and stops.
  void finish(int status) {
    exitStatus_ = status;
    if (finishing_) return;
    finishing_ = true;
    controller_->hangUp();
    if (controller_->state() == call::Controller::State::Idle) stopSoon();
    safetyTimer_.start(70000, [this] { stopSoon(); });
  }
  // A gateway's TTY takes text far slower than a call brings it (a paste at 30 characters a
  // second into a TTY's six): what the call delivered goes out to the TTY before the program
  // ends, however long that takes, unless a signal asks it to stop.
  void stopSoon() {
    if (lingerTimer_.active() || draining_) return;
    if (circuit_ && circuit_->sending()) {
      if (signalled_) {
        logLine("tty-unsent " + call::field("reason", "stopped by a signal"));
      } else {
        draining_ = true;
        logLine("tty-draining " + call::field("reason", "text for the TTY still going out"));
        drainTimer_.start(100, [this] { drainCheck(); });
        return;
      }
    }
    lingerTimer_.start(200, [this] { loop_->stop(); });
  }
  void drainCheck() {
    if (circuit_->sending()) {
      drainTimer_.start(100, [this] { drainCheck(); });
      return;
    }
    draining_ = false;
    logLine("tty-drained");
    stopSoon();
  }

  const console::Options& o_;
  net::Loop* loop_ = nullptr;
  call::Controller* controller_ = nullptr;
  std::unique_ptr<net::FdWatch> input_;
  std::unique_ptr<front::Circuit> circuit_;
  net::Timer paceTimer_, lingerTimer_, safetyTimer_, drainTimer_, refuseTimer_;
  std::string typed_;
  bool inputEnded_ = false, connected_ = false, registeredOnce_ = false, finishing_ = false;
  bool draining_ = false, signalled_ = false, refusingLate_ = false;
  int callsDone_ = 0;
  int exitStatus_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const char* env = std::getenv("RTTMODEM_PASSWORD");
  const char* portDir = std::getenv("CORVALIS_PORT_DIR");
  auto parsed = console::parseOptions(args, env ? std::optional<std::string>(env) : std::nullopt,
                                      portDir ? std::optional<std::string>(portDir) : std::nullopt);
  if (!parsed.options) {
    std::fprintf(stderr, "rttmodem: %s\nTry 'rttmodem --help' for more.\n", parsed.error.c_str());
    return 1;
  }
  const console::Options& o = *parsed.options;
  if (o.mode == console::Mode::Help) {
    std::fputs(console::usageText().c_str(), stdout);
    return 0;
  }
  if (o.mode == console::Mode::Version) {
    std::puts("rttmodem (TTY field-test kit) " KIT_VERSION);
    return 0;
  }
  ::signal(SIGPIPE, SIG_IGN);
  gLogToStdout = o.front != console::Front::Console;
  try {
    if (o.front == console::Front::Modem) return runModem(o, logLine);
    return App(o).run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rttmodem: %s\n", e.what());
    return 1;
  }
}
