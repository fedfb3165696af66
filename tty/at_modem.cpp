// SPDX-License-Identifier: Apache-2.0
#include "at_modem.h"

#include <cctype>

namespace tty {
namespace {

constexpr std::size_t kMaxLine = 255;

char upper(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string hangUpName(int c) {
  switch (c) {
    case 4:
      return "EOT";
    case 21:
      return "NAK";
    case 27:
      return "ESC";
    default:
      return "character " + std::to_string(c);
  }
}

const char* failureText(LineFailure f) {
  switch (f) {
    case LineFailure::Busy:
      return "BUSY";
    case LineFailure::NoAnswer:
      return "NO ANSWER";
    case LineFailure::NoCarrier:
      break;
  }
  return "NO CARRIER";
}

std::string trimmed(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return std::string(s);
}

}  // namespace

// One AT command line being carried out: the text from "AT" on, and where the parse stands.
struct AtModem::CommandLine {
  explicit CommandLine(std::string text) : cmd(std::move(text)) {}
  std::string cmd;
  std::size_t i = 2;
  bool error = false;
  bool hook = false;  // the line held H or Z
  std::string info;   // answers to queries, shown before the result

  // The decimal number at the cursor, or fallback when there is none.
  int number(int fallback) {
    if (i >= cmd.size() || !isDigit(cmd[i])) return fallback;
    int v = 0;
    while (i < cmd.size() && isDigit(cmd[i])) {
      if (v < 100000) v = v * 10 + (cmd[i] - '0');
      ++i;
    }
    return v;
  }
};

AtModem::AtModem(ModemConfig config, ModemLine* line) : config_(std::move(config)), line_(line) {
  reset();
}

void AtModem::reset() {
  echo_ = true;
  bMode_ = 1;
  hashT_ = false;
  sRegs_ = config_.registers;
}

int AtModem::reg(int n) const {
  auto it = sRegs_.find(n);
  return it == sRegs_.end() ? 0 : it->second;
}

bool AtModem::wantsTurbo() const {
  if (config_.turbo == TurboMode::On) return true;
  if (config_.turbo == TurboMode::Off) return false;
  switch (config_.turboCommand) {
    case TurboCommand::HashT:
      return hashT_;
    case TurboCommand::B7:
      return bMode_ == 7;
    case TurboCommand::None:
      break;
  }
  return false;
}

void AtModem::lineHangUp(const std::string& why) {
  if (line_) line_->hangUp(why);
}

bool AtModem::ring(Output& out) {
  if (state_ != State::Command) return false;
  out.toProgram += resultLine("RING");
  return true;
}

bool AtModem::carrierLost(Output& out) {
  if (state_ == State::Connecting) {
    failed(LineFailure::NoCarrier, out);
    return true;
  }
  if (!connected()) return false;
  hangUp("NO CARRIER", out, false);
  out.toProgram += resultLine("NO CARRIER");
  return true;
}

void AtModem::powerOff() {
  if (state_ != State::Command || ringing_) lineHangUp("power");
  state_ = State::Command;
  pluses_ = 0;
  typed_.clear();
  lineOverflow_ = false;
  turbo_ = false;
  ringing_ = false;
  reset();
}

void AtModem::connected(Seconds now, Output& out) {
  if (state_ == State::Connecting) goOnline(now, out);
}

void AtModem::failed(LineFailure why, Output& out) {
  if (state_ != State::Connecting) return;
  state_ = State::Command;
  connectAt_.reset();
  std::string text = failureText(why);
  out.toProgram += resultLine(text);
  out.events.push_back({ModemEvent::Kind::Failed, text, "", false});
}

void AtModem::incoming(Seconds now, Output& out) {
  if (state_ != State::Command || ringing_) return;
  ringing_ = true;
  rings_ = 0;
  sendRing(now, out);
}

void AtModem::ringingStopped() {
  ringing_ = false;
}

void AtModem::sendRing(Seconds now, Output& out) {
  ring(out);
  ++rings_;
  nextRing_ = now + config_.ringInterval;
  if (reg(0) > 0 && rings_ >= reg(0)) {
    CommandLine answer("ATA");
    startCall('A', answer, now);
    out.events.push_back({ModemEvent::Kind::Command, "(S0)", "answering", false});
  }
}

void AtModem::fromLine(std::string_view bytes, Output& out) {
  if (online()) out.toProgram += bytes;
}

void AtModem::dtrDropped(Output& out) {
  if (state_ == State::Connecting) {
    state_ = State::Command;
    connectAt_.reset();
    lineHangUp("DTR");
  } else if (connected()) {
    hangUp("DTR", out);
  }
}

void AtModem::fromProgram(char c, Seconds now, Output& out) {
  tick(now, out);
  switch (state_) {
    case State::Command:
    case State::OnlineCommand:
      commandChar(c, now, out);
      break;
    case State::Connecting:
      // Any key aborts a dial or answer, as on any modem.
      state_ = State::Command;
      connectAt_.reset();
      lineHangUp("aborted");
      out.toProgram += resultLine("NO CARRIER");
      out.events.push_back({ModemEvent::Kind::Abort, "NO CARRIER", "", false});
      break;
    case State::Online:
      onlineChar(c, now, out);
      break;
  }
}

void AtModem::goOnline(Seconds now, Output& out) {
  state_ = State::Online;
  connectAt_.reset();
  turbo_ = wantsTurbo();
  std::string text = turbo_ ? config_.turboConnect : config_.plainConnect;
  out.toProgram += resultLine(text);
  out.events.push_back({ModemEvent::Kind::Connect, text, "", false});
  lastOnlineByte_ = now;
  pluses_ = 0;
}

void AtModem::tick(Seconds now, Output& out) {
  if (state_ == State::Connecting && connectAt_ && now >= *connectAt_) {
    if (line_) {
      lineHangUp("timeout");
      failed(LineFailure::NoCarrier, out);
    } else {
      goOnline(now, out);
    }
  }
  if (ringing_ && state_ == State::Command && now >= nextRing_) sendRing(now, out);
  if (state_ == State::Online && pluses_ > 0 && now >= lastPlus_ + config_.guard) {
    if (pluses_ == 3) {
      pluses_ = 0;
      state_ = State::OnlineCommand;
      typed_.clear();
      out.toProgram += resultLine("OK");
      out.events.push_back({ModemEvent::Kind::Escape, "+++", "OK", false});
    } else {
      releasePluses(out);
    }
  }
}

std::optional<Seconds> AtModem::nextDeadline() const {
  if (state_ == State::Connecting) return connectAt_;
  if (state_ == State::Online && pluses_ > 0) return lastPlus_ + config_.guard;
  if (state_ == State::Command && ringing_) return nextRing_;
  return std::nullopt;
}

void AtModem::releasePluses(Output& out) {
  out.toLine.append(static_cast<std::size_t>(pluses_), '+');
  pluses_ = 0;
}

void AtModem::onlineChar(char c, Seconds now, Output& out) {
  Seconds idle = now - lastOnlineByte_;
  lastOnlineByte_ = now;
  if (c == '+') {
    if (pluses_ == 0 && idle >= config_.guard) {
      pluses_ = 1;
      lastPlus_ = now;
      return;
    }
    if (pluses_ > 0 && pluses_ < 3) {
      ++pluses_;
      lastPlus_ = now;
      return;
    }
  }
  if (pluses_ > 0) releasePluses(out);
  if (config_.hangUpChar >= 0 && static_cast<unsigned char>(c) == config_.hangUpChar) {
    hangUp(hangUpName(config_.hangUpChar), out);
    return;
  }
  out.toLine += c;
}

void AtModem::hangUp(const std::string& why, Output& out, bool tellLine) {
  bool was = connected();
  state_ = State::Command;
  pluses_ = 0;
  typed_.clear();
  if (was) {
    if (tellLine) lineHangUp(why);
    out.events.push_back({ModemEvent::Kind::Hangup, why, "", false});
  }
}

void AtModem::commandChar(char c, Seconds now, Output& out) {
  if (echo_) out.toProgram += c;
  if (c == '\r') {
    std::string line;
    line.swap(typed_);
    bool overflow = lineOverflow_;
    lineOverflow_ = false;
    if (overflow) {
      out.toProgram += resultLine("ERROR");
      out.events.push_back({ModemEvent::Kind::Command, "(line too long)", "ERROR", false});
      return;
    }
    runLine(line, now, out);
  } else if (c == '\b') {
    if (!typed_.empty()) typed_.pop_back();
  } else if (static_cast<unsigned char>(c) >= 32 && static_cast<unsigned char>(c) < 127) {
    if (typed_.size() < kMaxLine) {
      typed_ += c;
    } else {
      lineOverflow_ = true;
    }
  }
}

void AtModem::runLine(const std::string& line, Seconds now, Output& out) {
  // Whatever precedes "AT" on the line (such as an escape "+++" sent in command mode) is ignored.
  std::size_t at = std::string::npos;
  for (std::size_t i = 0; i + 1 < line.size(); ++i) {
    if (upper(line[i]) == 'A' && upper(line[i + 1]) == 'T') {
      at = i;
      break;
    }
  }
  if (at == std::string::npos) return;
  CommandLine cl(line.substr(at));
  while (cl.i < cl.cmd.size() && !cl.error) {
    if (!runCommand(upper(cl.cmd[cl.i++]), cl, now, out)) return;  // the line's result is given
  }
  std::string result = cl.error ? "ERROR" : "OK";
  out.toProgram += cl.info + resultLine(result);
  out.events.push_back({ModemEvent::Kind::Command, cl.cmd, result, cl.hook});
}

// Carries out one command letter; false when it ended the line and gave its result itself.
bool AtModem::runCommand(char k, CommandLine& cl, Seconds now, Output& out) {
  const bool onlineCommand = state_ == State::OnlineCommand;
  switch (k) {
    case ' ':
      break;
    case 'A':
    case 'D':
      if (onlineCommand) {
        cl.error = true;
        break;
      }
      startCall(k, cl, now);
      out.events.push_back({ModemEvent::Kind::Command, cl.cmd, k == 'A' ? "answering" : "dialling", cl.hook});
      return false;
    case 'E':
      echo_ = cl.number(0) != 0;
      break;
    case 'H':
    case 'Z':
      cl.number(0);
      cl.hook = true;
      if (connected()) hangUp(k == 'H' ? "ATH" : "ATZ", out);
      if (ringing_) {
        // Hanging up while a call rings refuses it.
        ringing_ = false;
        lineHangUp(k == 'H' ? "ATH" : "ATZ");
      }
      if (k == 'Z') reset();
      break;
    case 'O':
      cl.number(0);
      if (!onlineCommand) {
        cl.error = true;
        break;
      }
      returnOnline(cl, now, out);
      return false;
    case 'B':
      bMode_ = cl.number(0);
      break;
    case 'I':
      cl.number(0);
      cl.info += "\r\n" + config_.identity + "\r\n";
      break;
    case 'S':
      registerCommand(cl);
      break;
    case '#':
    case '&':
      if (cl.i >= cl.cmd.size() || !std::isalpha(static_cast<unsigned char>(cl.cmd[cl.i]))) {
        cl.error = true;
        break;
      }
      if (k == '#' && upper(cl.cmd[cl.i]) == 'T') hashT_ = true;
      ++cl.i;
      cl.number(0);
      break;
    case 'L':
    case 'M':
    case 'Q':
    case 'V':
    case 'W':
    case 'X':
      cl.number(0);
      break;
    default:
      cl.error = true;
      break;
  }
  return true;
}

// ATA or ATD: the rest of the line is the dial string (or nothing). The connection starts.
void AtModem::startCall(char k, CommandLine& cl, Seconds now) {
  state_ = State::Connecting;
  if (!line_) {
    connectAt_ = now + config_.connectDelay;
    return;
  }
  connectAt_.reset();
  if (reg(7) > 0) connectAt_ = now + reg(7);
  const bool wasRinging = ringing_;
  ringing_ = false;
  if (k == 'A') {
    line_->answer();
    return;
  }
  if (wasRinging) line_->hangUp("ATD");
  line_->dial(trimmed(std::string_view(cl.cmd).substr(cl.i)));
}

// ATO: back online with the connection's CONNECT line.
void AtModem::returnOnline(CommandLine& cl, Seconds now, Output& out) {
  state_ = State::Online;
  lastOnlineByte_ = now;
  std::string text = turbo_ ? config_.turboConnect : config_.plainConnect;
  out.toProgram += resultLine(text);
  out.events.push_back({ModemEvent::Kind::Command, cl.cmd, text, cl.hook});
}

// Sn=v sets a register, Sn? shows it.
void AtModem::registerCommand(CommandLine& cl) {
  int r = cl.number(-1);
  if (r < 0 || cl.i >= cl.cmd.size()) {
    cl.error = true;
  } else if (cl.cmd[cl.i] == '=') {
    ++cl.i;
    sRegs_[r] = cl.number(0);
  } else if (cl.cmd[cl.i] == '?') {
    ++cl.i;
    cl.info += "\r\n" + std::to_string(reg(r)) + "\r\n";
  } else {
    cl.error = true;
  }
}

}  // namespace tty
