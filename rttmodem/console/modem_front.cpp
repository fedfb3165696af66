// SPDX-License-Identifier: Apache-2.0
// rttmodem as a TTY modem: the kit's AT modem on a pseudo-terminal, with the RTT call controller
// as its telephone line. The program dials (ATD), answers (ATA, or by itself on RING), hangs up
// (EOT, +++ and ATH, ATZ, closing the port) and talks online; the calls are RTT calls.
#include "modem_front.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>

#include "at_modem.h"
#include "controller.h"
#include "controller_config.h"
#include "escape.h"
#include "libre.h"
#include "pty_link.h"
#include "signals.h"

namespace rttmodem {
namespace {

using call::Event;

using tty::escaped;

// What waits for a program that does not read: beyond this, the far end's text is dropped, the
// drop counted and logged, and one mark put where it was.
constexpr std::size_t kMaxToProgram = 65536;

class ModemApp : public tty::ModemLine {
 public:
  ModemApp(const console::Options& o, void (*log)(const std::string&))
      : o_(o), log_(log), modem_(config(o), this) {}

  int run();

  // The modem's line: the call controller.
  void dial(const std::string& number) override {
    const auto uri = console::dialTarget(number, o_.dialHost);
    if (!uri) {
      log_("dial-refused " + call::field("number", number) + " " +
           call::field("reason", o_.dialHost.empty() ? "not a SIP address, and no --dial-host for numbers"
                                                     : "nothing to call"));
      later([this] {
        withOutput(
            [](tty::AtModem& m, tty::AtModem::Output& out) { m.failed(tty::LineFailure::NoCarrier, out); });
      });
      return;
    }
    controller_->dial(*uri);
  }
  void answer() override {
    if (!controller_->answer()) {
      // Nothing to answer (the caller has gone, or no call came): no carrier.
      later([this] {
        withOutput(
            [](tty::AtModem& m, tty::AtModem::Output& out) { m.failed(tty::LineFailure::NoCarrier, out); });
      });
    }
  }
  void hangUp(const std::string& why) override {
    // What the program typed before the hang-up, in the same write, belongs to this call: it
    // goes first, and the hang-up waits until it has gone with its redundancy.
    if (current_ && !current_->toLine.empty()) {
      controller_->sendText(current_->toLine);
      current_->toLine.clear();
    }
    const auto state = controller_->state();
    if (state == call::Controller::State::Idle || state == call::Controller::State::Closing) return;
    if (state == call::Controller::State::Connected) hungUpInRead_ = true;
    log_("hanging-up " + call::field("by", why));
    controller_->hangUp();
  }

 private:
  static tty::ModemConfig config(const console::Options& o) {
    tty::ModemConfig c;
    c.identity = "rttmodem (NXi modem commands)";
    c.hangUpChar = 4;  // EOT, as the NXi modem
    c.turboCommand = tty::TurboCommand::HashT;
    c.turbo = tty::TurboMode::Off;  // a text call has no turbo code
    c.plainConnect = o.connectText;
    c.turboConnect = o.connectText;
    return c;
  }

  double now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

  // Runs fn after the present call into the modem or the controller has returned: the controller
  // reports some events from inside dial(), which the modem is still carrying out.
  void later(std::function<void()> fn) {
    deferred_.push_back(std::move(fn));
    if (!deferTimer_.active()) deferTimer_.start(0, [this] { runDeferred(); });
  }
  void runDeferred() {
    while (!deferred_.empty()) {
      auto fn = std::move(deferred_.front());
      deferred_.pop_front();
      fn();
    }
  }

  // Calls into the modem, then hands what it produced to the port, the call and the log.
  void withOutput(const std::function<void(tty::AtModem&, tty::AtModem::Output&)>& fn) {
    tty::AtModem::Output out;
    fn(modem_, out);
    deliver(out);
  }

  void deliver(tty::AtModem::Output& out) {
    for (const tty::ModemEvent& e : out.events) {
      using K = tty::ModemEvent::Kind;
      switch (e.kind) {
        case K::Command:
          log_("command " + escaped(e.text) + " -> " + escaped(e.detail));
          break;
        case K::Connect:
          log_("connect " + e.text);
          break;
        case K::Hangup:
          log_("hangup " + e.text);
          break;
        case K::Abort:
          log_("aborted " + e.text);
          break;
        case K::Escape:
          log_("escape +++ -> OK");
          break;
        case K::Failed:
          log_("result " + e.text);
          break;
      }
    }
    if (!out.toLine.empty()) controller_->sendText(out.toLine);
    if (!out.toProgram.empty()) toProgram(out.toProgram);
    scheduleTick();
  }

  void scheduleTick() {
    const auto due = modem_.nextDeadline();
    if (!due) {
      tickTimer_.cancel();
      return;
    }
    const double wait = std::max(0.0, *due - now());
    tickTimer_.start(static_cast<std::uint64_t>(wait * 1000) + 1, [this] {
      withOutput([this](tty::AtModem& m, tty::AtModem::Output& out) { m.tick(now(), out); });
    });
  }

  void toProgram(std::string_view bytes) {
    if (!attached_) {
      log_("lost " + escaped(bytes));  // nobody has the port open: what the modem says goes nowhere
      return;
    }
    if (pending_.size() + bytes.size() > kMaxToProgram) {
      // The program is not reading: what does not fit is dropped, and shown as one mark.
      const std::size_t room = kMaxToProgram > pending_.size() ? kMaxToProgram - pending_.size() : 0;
      const std::size_t keep = room > 0 ? room - 1 : 0;
      pending_.append(bytes.substr(0, keep));
      const std::size_t dropped = bytes.size() - keep;
      if (overflow_ == 0) {
        pending_ += '?';
        log_("overflow " + call::field("reason", "the program is not reading") + " " +
             call::field("limit", std::to_string(kMaxToProgram)));
      }
      overflow_ += dropped;
      overflowTotal_ += dropped;
    } else {
      if (overflow_ > 0) {
        log_("overflow-ended " + call::field("dropped", std::to_string(overflow_)) + " " +
             call::field("total", std::to_string(overflowTotal_)));
      }
      overflow_ = 0;
      pending_ += bytes;
    }
    flushPending();
  }

  void flushPending() {
    std::string error;
    if (!pty_->writePending(pending_, &error)) {
      log_("port-error " + call::field("reason", error));
      pending_.clear();
    }
    if (!pending_.empty() && !flushTimer_.active()) flushTimer_.start(20, [this] { flushPending(); });
  }

  // Whether the program has the port open: the master hangs up while nobody has.
  void probe() {
    pollfd p{pty_->masterFd(), POLLIN, 0};
    if (::poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP)) {
      attached_ = true;
      log_("attached");
      portWatch_ = std::make_unique<net::FdWatch>(pty_->masterFd(), [this] { readProgram(); });
      readProgram();
      return;
    }
    probeTimer_.start(50, [this] { probe(); });
  }

  void readProgram() {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(pty_->masterFd(), buf, sizeof buf);
      if (n > 0) {
        const std::string_view bytes(buf, static_cast<std::size_t>(n));
        tty::AtModem::Output out;
        current_ = &out;
        hungUpInRead_ = false;
        std::size_t i = 0;
        while (i < bytes.size() && !hungUpInRead_) modem_.fromProgram(bytes[i++], now(), out);
        current_ = nullptr;
        if (i < bytes.size()) {
          // Written after the hang-up: text for no call, so for none. A command that follows it
          // (from "AT" on) is the program's next step, and is carried out.
          std::size_t at = i;
          while (at + 1 < bytes.size() && !((bytes[at] == 'A' || bytes[at] == 'a') &&
                                            (bytes[at + 1] == 'T' || bytes[at + 1] == 't')))
            ++at;
          if (at + 1 >= bytes.size()) at = bytes.size();
          if (at > i) {
            log_("text-discarded " + call::field("bytes", std::to_string(at - i)) + " " +
                 call::field("reason", "typed after the hang-up") + " " +
                 call::field("text", escaped(bytes.substr(i, at - i))));
          }
          while (at < bytes.size()) modem_.fromProgram(bytes[at++], now(), out);
        }
        deliver(out);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return;
      // The program closed the port: its DTR drops, which hangs up a call.
      portWatch_->close();
      attached_ = false;
      if (!pending_.empty()) log_("lost " + escaped(pending_));
      pending_.clear();
      log_("detached");
      withOutput([](tty::AtModem& m, tty::AtModem::Output& out) { m.dtrDropped(out); });
      later([this] { probe(); });
      return;
    }
  }

  void onEvent(Event e, const call::CallInfo& info) {
    switch (e) {
      case Event::Incoming:
        later([this] {
          withOutput([this](tty::AtModem& m, tty::AtModem::Output& out) { m.incoming(now(), out); });
        });
        break;
      case Event::Ringing:
        break;
      case Event::Connected:
        later([this] {
          withOutput([this](tty::AtModem& m, tty::AtModem::Output& out) { m.connected(now(), out); });
        });
        break;
      case Event::Busy:
      case Event::NoAnswer:
      case Event::Failed: {
        const tty::LineFailure why = e == Event::Busy       ? tty::LineFailure::Busy
                                     : e == Event::NoAnswer ? tty::LineFailure::NoAnswer
                                                            : tty::LineFailure::NoCarrier;
        later([this, why] {
          withOutput([why](tty::AtModem& m, tty::AtModem::Output& out) { m.failed(why, out); });
        });
        break;
      }
      case Event::Ended:
        if (info.byUs) break;  // the modem hung up itself
        later([this] {
          // A call up, or being answered, has lost its carrier; one still ringing stopped.
          withOutput([](tty::AtModem& m, tty::AtModem::Output& out) {
            if (!m.carrierLost(out)) m.ringingStopped();
          });
        });
        break;
    }
  }

  // Hangs up (what was typed goes first), waits for the line to be free, and stops.
  void finish(int status) {
    exitStatus_ = status;
    if (finishing_) return;
    finishing_ = true;
    // What the program wrote before the signal came is part of the call: it goes first.
    if (attached_ && portWatch_) readProgram();
    controller_->hangUp();
    if (controller_->state() == call::Controller::State::Idle) stopSoon();
    safetyTimer_.start(70000, [this] { stopSoon(); });
  }
  void stopSoon() {
    if (!lingerTimer_.active()) lingerTimer_.start(200, [this] { loop_->stop(); });
  }

  const console::Options& o_;
  void (*log_)(const std::string&);
  tty::AtModem modem_;
  net::Loop* loop_ = nullptr;
  call::Controller* controller_ = nullptr;
  std::unique_ptr<tty::PtyLink> pty_;
  std::unique_ptr<net::FdWatch> portWatch_;
  net::Timer tickTimer_, probeTimer_, flushTimer_, deferTimer_, lingerTimer_, safetyTimer_;
  tty::AtModem::Output* current_ = nullptr;  // what the program's present write produces
  bool hungUpInRead_ = false;
  std::uint64_t overflow_ = 0, overflowTotal_ = 0;  // bytes for the program dropped
  std::deque<std::function<void()>> deferred_;
  std::string pending_;  // for the program, not yet written
  bool attached_ = false, finishing_ = false;
  int exitStatus_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

int ModemApp::run() {
  // Before anything that may start a thread (libre's resolver), so that every thread blocks them.
  std::string error;
  auto signals = tty::SignalFd::open({SIGINT, SIGTERM, SIGHUP}, &error);
  if (!signals) {
    std::fprintf(stderr, "rttmodem: %s\n", error.c_str());
    return 1;
  }
  net::Loop loop;
  loop_ = &loop;
  net::Loop::setLog([this](const std::string& line) { log_("libre " + call::field("warning", line)); });
  call::ControllerConfig cc = console::controllerConfig(o_);
  call::Controller::Callbacks cb;
  cb.log = log_;
  cb.text = [this](std::string_view bytes) {
    std::string copy(bytes);
    later([this, copy] {
      withOutput([&](tty::AtModem& m, tty::AtModem::Output& out) { m.fromLine(copy, out); });
    });
  };
  cb.event = [this](Event e, const call::CallInfo& info) { onEvent(e, info); };
  cb.idle = [this] {
    if (finishing_) stopSoon();
  };
  cc.holdEarlyText = false;  // the program types only while online
  call::Controller controller(cc, cb);
  controller_ = &controller;
  if (!controller.start(&error)) {
    std::fprintf(stderr, "rttmodem: %s\n", error.c_str());
    return 1;
  }
  pty_ = tty::PtyLink::create(o_.portDir, o_.port, &error);
  if (!pty_) {
    std::fprintf(stderr, "rttmodem: %s\n", error.c_str());
    return 1;
  }
  log_("ready port=" + o_.port + " folder=" + tty::readyField(pty_->dir()) +
       " link=" + tty::readyField(pty_->linkPath()) + " device=" + tty::readyField(pty_->devicePath()) +
       " type=NXi\\ modem sip=" + tty::readyField(controller.contact()) +
       " sip-port=" + std::to_string(controller.sipPort()) + " pid=" + std::to_string(::getpid()));

  net::FdWatch sigWatch(signals->fd(), [&] {
    std::string why;
    const int sig = signals->take(&why);
    if (sig < 0) {
      log_("signal-error " + call::field("reason", why));
      finish(1);
    } else if (sig > 0) {
      log_("stopped by " + tty::signalName(sig));
      finish(128 + sig);
    }
  });
  if (!sigWatch.ok()) {
    std::fprintf(stderr, "rttmodem: cannot watch the signal descriptor\n");
    return 1;
  }
  probe();
  loop.run();
  portWatch_.reset();
  pty_->removeLink();
  log_("exit " + std::to_string(exitStatus_));
  return exitStatus_;
}

}  // namespace

int runModem(const console::Options& o, void (*log)(const std::string& line)) {
  ModemApp app(o, log);
  return app.run();
}

}  // namespace rttmodem
