// SPDX-License-Identifier: Apache-2.0
#include "session.h"

#include <algorithm>

namespace ttysim {
namespace {

constexpr char kSoundOn = 31;   // NXi: the far end's tones are heard
constexpr char kSoundOff = 30;  // NXi: silence again

std::string printable(std::string_view s) {
  std::string r;
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 32 && u < 127) {
      r += c;
    } else {
      static const char* hex = "0123456789abcdef";
      r += "\\x";
      r += hex[u >> 4];
      r += hex[u & 15];
    }
  }
  return r;
}

}  // namespace

Session::Session(SessionConfig config)
    : config_(std::move(config)),
      toFar_(config_.audio ? Channel::overAudio(*config_.audio, config_.seed * 2)
                           : Channel(config_.toFar, config_.seed * 2)),
      toProgram_(config_.audio ? Channel::overAudio(*config_.audio, config_.seed * 2 + 1)
                               : Channel(config_.toProgram, config_.seed * 2 + 1)),
      toFarDelay_(config_.delay, config_.seed * 2),
      toProgramDelay_(config_.delay, config_.seed * 2 + 1),
      farEar_(config_.quiet, config_.giveUp),
      localEar_(config_.quiet, config_.giveUp) {
  if (isModem(config_.device)) {
    setModel(config_.modem, config_.device);
    modem_.emplace(config_.modem);
  }
  waitForAnswer_ = !modem_ && (config_.ringAfter || config_.ringOnSignal);
}

Session::Speaker Session::speakerOf(int turn) const {
  if (sideOwns(config_.side, turn)) return Speaker::Far;
  return isBiDirectional(config_.device) ? Speaker::Program : Speaker::Local;
}

void Session::event(std::string text) {
  out.events.push_back(std::move(text));
}

void Session::attach(Seconds now) {
  attached_ = true;
  lastActivity_ = now;
  event("attached");
  if (backAttach_) {
    // Back from being pulled out: the program opens the port and sets the device up again before
    // the next call rings.
    backAttach_ = false;
    if (call_ < config_.calls) nextCallAt_ = now + config_.callGap;
  }
  if (!everAttached_) {
    everAttached_ = true;
    if (config_.ringAfter) {
      ringing_ = true;
      nextRing_ = now + *config_.ringAfter;
    }
    if (!modem_ && !waitForAnswer_) bringCallUp(now, "port opened");
  }
}

void Session::detach(Seconds now) {
  attached_ = false;
  lastActivity_ = now;
  event("detached");
  // A modem whose program lets go of the port (DTR drops: the program ended, or was killed) goes
  // on hook and back to command mode, as a modem set to hang up on DTR does. When calls remain, the
  // next one rings once a program has the port again.
  if (modem_ && callUp_) {
    AtModem::Output o;
    modem_->carrierLost(o);  // what it would say goes nowhere: nobody has the port
    endCall(now, "port closed");
  } else if (modem_ && modem_->state() == AtModem::State::Connecting) {
    AtModem::Output o;
    modem_->dtrDropped(o);  // an answer under way stops with DTR
    if (answering_) answerStopped(now, "port closed");
  }
  // So also between two calls: the day goes on across the program's restart.
  if (modem_ && hungUp_ && call_ < config_.calls) {
    nextCallAt_.reset();
    backAttach_ = true;
  }
}

void Session::ringSignal(Seconds now) {
  if (!config_.ringOnSignal) {
    event("signal ignored (ringing on a signal needs --ring-on-signal)");
    return;
  }
  if (callUp_ || (modem_ && modem_->state() != AtModem::State::Command)) {
    event("signal ignored (the line is busy)");
    return;
  }
  ringing_ = true;
  nextRing_ = now;
  ringsSent_ = 0;
  tick(now);
}

void Session::fromProgram(std::string_view bytes, Seconds now) {
  if (!bytes.empty()) lastActivity_ = now;
  for (char c : bytes) programChar(c, now);
  tick(now);
}

void Session::programChar(char c, Seconds now) {
  if (modem_) {
    AtModem::Output o;
    modem_->fromProgram(c, now, o);
    handle(o, now);
    return;
  }
  // A direct TTY shows or sends whatever arrives; the program's hang-up sequence ("+++", then "ATH"
  // and CR) is what tells us it has hung up.
  if (!callUp_ && waitForAnswer_ && ringsSent_ > 0 && !everUp_) {
    bringCallUp(now, "answered");
    swallowAnswer_ = c == 'A' || c == 'a';  // the answer command itself goes nowhere
  }
  if (swallowAnswer_) {
    if (c == '\r') swallowAnswer_ = false;
  } else if (callUp_ && isBiDirectional(config_.device)) {
    toFarEnd(c, now);
  }
  if (c == '\r') {
    if (directLine_ == "ATH" || directLine_.ends_with("+++ATH")) noteHangUpCommand(now);
    directLine_.clear();
  } else if (c != '\n') {
    // Only the line's end matters ("+++ATH" after a whole unbroken turn): keep its last 64.
    directLine_ += c;
    if (directLine_.size() > 64) directLine_.erase(0, directLine_.size() - 64);
  }
}

void Session::handle(AtModem::Output& o, Seconds now) {
  out.toProgram += o.toProgram;
  for (char c : o.toLine) toFarEnd(c, now);
  for (const auto& e : o.events) {
    switch (e.kind) {
      case ModemEvent::Kind::Command:
        event("command " + printable(e.text) + " -> " + e.detail);
        if (e.hookCommand) noteHangUpCommand(now);
        break;
      case ModemEvent::Kind::Connect:
        event("connect " + e.text);
        if (!everUp_) bringCallUp(now, "connected");
        break;
      case ModemEvent::Kind::Hangup:
        endCall(now, e.text);
        break;
      case ModemEvent::Kind::Abort:
        event("aborted " + e.text);
        if (answering_) answerStopped(now, "aborted");
        break;
      case ModemEvent::Kind::Escape:
        event("escape +++ -> OK");
        break;
      case ModemEvent::Kind::Failed:  // only a pluggable line fails a call
        event("failed " + e.text);
        break;
    }
  }
  o = {};
}

void Session::answerStopped(Seconds now, const std::string& why) {
  // The far end's phone was not answered after all: it goes on ringing, as a caller's does until
  // the call is answered or the caller gives up.
  answering_ = false;
  ringing_ = true;
  nextRing_ = now + config_.ringInterval;
  event("answer stopped (" + why + "); ringing again");
}

void Session::bringCallUp(Seconds now, const std::string& why) {
  answering_ = false;
  callUp_ = true;
  everUp_ = true;
  callUpAt_ = now;
  ringing_ = false;
  lastActivity_ = now;
  event("call-up " + why);
}

void Session::endCall(Seconds now, const std::string& why) {
  if (!callUp_) return;
  callUp_ = false;
  hungUp_ = true;
  farTypist_.stop();
  localTypist_.stop();
  speaking_ = false;
  soundOn_ = false;
  toFarDelay_.clear();  // what was still on its way is lost with the line
  toProgramDelay_.clear();
  lastActivity_ = now;
  event("hangup " + why);
  if (call_ < config_.calls) nextCallAt_ = now + config_.callGap;
}

void Session::noteHangUpCommand(Seconds now) {
  if (!everUp_) return;  // an ATZ or ATH before any call is no hang-up
  hangUpCommand_ = true;
  hangUpCommandAt_ = now;
  if (!modem_) endCall(now, "ATH");
}

void Session::toFarEnd(char c, Seconds now) {
  if (!callUp_) return;
  for (char d : toFar_.pass(c, now)) {
    if (toFarDelay_.any()) {
      toFarDelay_.put(d, now);
    } else {
      farEndHears(d, now);
    }
  }
}

void Session::farEndHears(char c, Seconds at) {
  out.farReceived += c;
  out.farLine.push_back({at, false, c});
  farEar_.hear(c, at);
}

// Characters of a line with a delay that have arrived by now, each at its own moment.
void Session::deliverDelayed(Seconds now) {
  while (auto arrived = toFarDelay_.take(now))
    if (callUp_) farEndHears(arrived->second, arrived->first);
  while (auto arrived = toProgramDelay_.take(now)) deviceToProgram(arrived->second, arrived->first);
}

void Session::deviceToProgram(char c, Seconds now) {
  bool through = modem_ ? modem_->online() : callUp_;
  if (!through) return;
  out.toProgram += c;
  lastActivity_ = now;
  if (!isBiDirectional(config_.device)) localEar_.hear(c, now);
}

void Session::runFaults(Seconds now) {
  if (call_ != 1 || !everUp_) return;
  if (config_.dropAfter && !dropped_ && callUp_ && modem_ && now >= callUpAt_ + *config_.dropAfter) {
    dropped_ = true;
    AtModem::Output o;
    modem_->carrierLost(o);
    event("carrier lost");
    handle(o, now);
  }
  if (config_.pullAfter && !pulled_ && callUp_ && now >= callUpAt_ + *config_.pullAfter) {
    pulled_ = true;
    away_ = true;
    backAt_ = now + config_.pullFor;
    attached_ = false;
    event("pulled");
    if (modem_) modem_->powerOff();
    endCall(now, "device pulled");
    nextCallAt_.reset();  // rings only once the device is back and opened
  }
  if (away_ && now >= backAt_) {  // the caller puts the port back and says so
    away_ = false;
    backAttach_ = true;
    lastActivity_ = now;
  }
}

void Session::tick(Seconds now) {
  if (done_) return;
  runFaults(now);
  if (nextCallAt_ && now >= *nextCallAt_) {
    nextCallAt_.reset();
    nextCall(now);
  }
  if (modem_) {
    AtModem::Output o;
    modem_->tick(now, o);
    handle(o, now);
  }
  deliverDelayed(now);
  runRinging(now);
  runConversation(now);
  runTypists(now);
  checkDone(now);
}

void Session::runRinging(Seconds now) {
  if (!ringing_) return;
  if (callUp_ || (modem_ && modem_->state() != AtModem::State::Command)) {
    ringing_ = false;
    answering_ = !callUp_;
    return;
  }
  if (now < nextRing_) return;
  nextRing_ = now + config_.ringInterval;
  if (!attached_) return;
  if (modem_) {
    AtModem::Output o;
    modem_->ring(o);
    handle(o, now);
  } else {
    out.toProgram += "\r\nRING\r\n";
  }
  ++ringsSent_;
  lastActivity_ = now;
  event("ring " + std::to_string(ringsSent_));
  if (config_.rings > 0 && ringsSent_ >= config_.rings) {
    ringing_ = false;
    event("ringing stopped unanswered");
  }
}

void Session::runConversation(Seconds now) {
  if (!config_.script || scriptDone_ || hungUp_ || !callUp_ || speaking_) return;
  const Script& script = *config_.script;
  for (;;) {
    if (turn_ > script.count()) {
      scriptDone_ = true;
      event("script-done");
      return;
    }
    Speaker s = speakerOf(turn_);
    if (s == Speaker::Program) {
      if (!farEar_.turnOver(now)) return;
      event("heard turn " + std::to_string(turn_));
      farEar_.reset();
      ++turn_;
      continue;
    }
    bool ready = turn_ == 1 ? now >= callUpAt_ + config_.startDelay
                            : speakerOf(turn_ - 1) == Speaker::Program || earOf(s).turnOver(now);
    if (!ready) return;
    const Turn& t = script.turn(turn_);
    double cps = config_.cps;
    if (s == Speaker::Far && !config_.cpsGiven && modem_ && modem_->turbo()) cps *= 2;
    typistOf(s).start(s == Speaker::Far ? withCallNumber(typedTurn(t, config_.lineEnd), call_) : shownTurn(t),
                      cps, now);
    speaking_ = true;
    event(std::string(s == Speaker::Far ? "far-end" : "local") + " typing turn " + std::to_string(turn_));
    return;
  }
}

void Session::runTypists(Seconds now) {
  while (auto slot = farTypist_.poll(now)) {
    if (slot->empty()) continue;
    char c = (*slot)[0];
    out.farSent += c;
    out.farLine.push_back({now, true, c});
    if (modem_ && config_.device == Device::Nxi && !soundOn_ && modem_->online()) {
      // The modem hears the tones when they arrive: on a line with a delay, with the text.
      if (toProgramDelay_.any()) {
        toProgramDelay_.put(kSoundOn, now);
      } else {
        out.toProgram += kSoundOn;
      }
      soundOn_ = true;
    }
    for (char d : toProgram_.pass(c, now)) {
      if (toProgramDelay_.any()) {
        toProgramDelay_.put(d, now);
      } else {
        deviceToProgram(d, now);
      }
    }
  }
  while (auto slot = localTypist_.poll(now)) {
    if (slot->empty()) continue;
    char c = (*slot)[0];
    // The tester's keys show on the device, which reports them to the program, and go down the line.
    out.toProgram += c;
    lastActivity_ = now;
    toFarEnd(c, now);
  }
  if (!speaking_) return;
  Speaker s = speakerOf(turn_);
  if (typistOf(s).busy()) return;
  speaking_ = false;
  if (s == Speaker::Far && soundOn_) {
    if (toProgramDelay_.any()) {
      toProgramDelay_.put(kSoundOff, now);
    } else if (modem_ && modem_->online()) {
      out.toProgram += kSoundOff;
    }
    soundOn_ = false;
  }
  event(std::string(s == Speaker::Far ? "far-end" : "local") + " typed turn " + std::to_string(turn_));
  earOf(s).reset();
  ++turn_;
  runConversation(now);
}

bool Session::finished() const {
  return hungUp_ || scriptDone_ || (!config_.script && hangUpCommand_);
}

void Session::nextCall(Seconds now) {
  ++call_;
  event("next-call " + std::to_string(call_));
  callUp_ = everUp_ = false;
  turn_ = 1;
  speaking_ = soundOn_ = scriptDone_ = hungUp_ = hangUpCommand_ = swallowAnswer_ = answering_ = false;
  directLine_.clear();
  farTypist_.stop();
  localTypist_.stop();
  farEar_.reset();
  localEar_.reset();
  lastActivity_ = now;
  if (modem_ || waitForAnswer_) {
    ringing_ = true;
    nextRing_ = now;
    ringsSent_ = 0;
  } else {
    bringCallUp(now, "next call");
  }
}

void Session::checkDone(Seconds now) {
  if (!finished() || away_ || backAttach_) return;
  // Compared exactly as nextDeadline computes them, so that a tick at a deadline acts on it.
  // A call of a run hung up: the next one follows, whatever is left of the program's
  // hang-up sequence (which must not cut the next call).
  if (nextCallAt_ && attached_) return;
  if (hangUpCommand_ && now >= std::max(lastActivity_, hangUpCommandAt_) + config_.hangUpGrace) {
    done_ = true;
    doneReason_ = "hung up";
  } else if (everAttached_ && !attached_) {
    done_ = true;
    doneReason_ = "port closed";
  } else if (now >= lastActivity_ + config_.linger) {
    done_ = true;
    doneReason_ = hungUp_ ? "hung up" : "script ended";
  }
  if (done_) event("done " + doneReason_);
}

std::optional<Seconds> Session::nextDeadline() const {
  if (done_) return std::nullopt;
  std::optional<Seconds> next;
  auto consider = [&next](std::optional<Seconds> t) {
    if (t && (!next || *t < *next)) next = t;
  };
  if (modem_) consider(modem_->nextDeadline());
  if (call_ == 1 && callUp_ && config_.dropAfter && !dropped_ && modem_)
    consider(callUpAt_ + *config_.dropAfter);
  if (call_ == 1 && callUp_ && config_.pullAfter && !pulled_) consider(callUpAt_ + *config_.pullAfter);
  if (away_) consider(backAt_);
  if (ringing_) consider(nextRing_);
  consider(nextCallAt_);
  consider(toFarDelay_.nextArrival());
  consider(toProgramDelay_.nextArrival());
  consider(farTypist_.nextDue());
  consider(localTypist_.nextDue());
  if (config_.script && callUp_ && !speaking_ && !scriptDone_ && !hungUp_ &&
      turn_ <= config_.script->count()) {
    Speaker s = speakerOf(turn_);
    if (s == Speaker::Program) {
      consider(farEar_.nextCheck());
    } else if (turn_ == 1) {
      consider(callUpAt_ + config_.startDelay);
    } else if (speakerOf(turn_ - 1) != Speaker::Program) {
      consider(s == Speaker::Far ? farEar_.nextCheck() : localEar_.nextCheck());
    }
  }
  // As checkDone: a pulled device, away or back and not yet opened again, does not end the run.
  if (finished() && !nextCallAt_ && !away_ && !backAttach_) {
    if (hangUpCommand_) consider(std::max(lastActivity_, hangUpCommandAt_) + config_.hangUpGrace);
    consider(lastActivity_ + config_.linger);
  }
  return next;
}

}  // namespace ttysim
