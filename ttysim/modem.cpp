#include "modem.h"

#include <cctype>

namespace ttysim {
namespace {

constexpr std::size_t kMaxLine = 255;

char upper(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The character with which a model hangs up at once while connected.
int hangUpChar(Device d) {
  switch (d) {
    case Device::Nxi:
      return 4;  // EOT
    case Device::InteleModem2400:
      return 21;  // NAK
    case Device::InteleModem300:
      return 27;  // ESC
    default:
      return -1;
  }
}

const char* hangUpName(int c) {
  return c == 4 ? "EOT" : c == 21 ? "NAK" : "ESC";
}

}  // namespace

Modem::Modem(ModemConfig config) : config_(std::move(config)) {
  reset();
}

void Modem::reset() {
  echo_ = true;
  bMode_ = 1;
  hashT_ = false;
  sRegs_.clear();
}

bool Modem::wantsTurbo() const {
  if (config_.turbo == TurboMode::On) return true;
  if (config_.turbo == TurboMode::Off) return false;
  switch (config_.device) {
    case Device::Nxi:
      return hashT_;
    case Device::InteleModem2400:
      return bMode_ == 7;
    default:
      return false;
  }
}

bool Modem::ring(Output& out) {
  if (state_ != State::Command) return false;
  out.toProgram += resultLine("RING");
  return true;
}

bool Modem::dropCarrier(Output& out) {
  if (!connected()) return false;
  hangUp("NO CARRIER", out);
  out.toProgram += resultLine("NO CARRIER");
  return true;
}

void Modem::powerOff() {
  state_ = State::Command;
  pluses_ = 0;
  line_.clear();
  lineOverflow_ = false;
  turbo_ = false;
  reset();
}

void Modem::fromProgram(char c, Seconds now, Output& out) {
  tick(now, out);
  switch (state_) {
    case State::Command:
    case State::OnlineCommand:
      commandChar(c, now, out);
      break;
    case State::Connecting:
      // Any key aborts a dial or answer, as on any modem.
      state_ = State::Command;
      out.toProgram += resultLine("NO CARRIER");
      out.events.push_back({ModemEvent::Kind::Abort, "NO CARRIER", "", false});
      break;
    case State::Online:
      onlineChar(c, now, out);
      break;
  }
}

void Modem::tick(Seconds now, Output& out) {
  if (state_ == State::Connecting && now >= connectAt_) {
    state_ = State::Online;
    turbo_ = wantsTurbo();
    std::string text = turbo_ ? config_.turboConnect : config_.plainConnect;
    out.toProgram += resultLine(text);
    out.events.push_back({ModemEvent::Kind::Connect, text, "", false});
    lastOnlineByte_ = now;
    pluses_ = 0;
  }
  if (state_ == State::Online && pluses_ > 0 && now >= lastPlus_ + config_.guard) {
    if (pluses_ == 3) {
      pluses_ = 0;
      state_ = State::OnlineCommand;
      line_.clear();
      out.toProgram += resultLine("OK");
      out.events.push_back({ModemEvent::Kind::Escape, "+++", "OK", false});
    } else {
      releasePluses(out);
    }
  }
}

std::optional<Seconds> Modem::nextDeadline() const {
  if (state_ == State::Connecting) return connectAt_;
  if (state_ == State::Online && pluses_ > 0) return lastPlus_ + config_.guard;
  return std::nullopt;
}

void Modem::releasePluses(Output& out) {
  out.toLine.append(static_cast<std::size_t>(pluses_), '+');
  pluses_ = 0;
}

void Modem::onlineChar(char c, Seconds now, Output& out) {
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
  if (static_cast<unsigned char>(c) == hangUpChar(config_.device)) {
    hangUp(hangUpName(c), out);
    return;
  }
  out.toLine += c;
}

void Modem::hangUp(const std::string& why, Output& out) {
  bool was = connected();
  state_ = State::Command;
  pluses_ = 0;
  line_.clear();
  if (was) out.events.push_back({ModemEvent::Kind::Hangup, why, "", false});
}

void Modem::commandChar(char c, Seconds now, Output& out) {
  if (echo_) out.toProgram += c;
  if (c == '\r') {
    std::string line;
    line.swap(line_);
    bool overflow = lineOverflow_;
    lineOverflow_ = false;
    if (overflow) {
      out.toProgram += resultLine("ERROR");
      out.events.push_back({ModemEvent::Kind::Command, "(line too long)", "ERROR", false});
      return;
    }
    runLine(line, now, out);
  } else if (c == '\b') {
    if (!line_.empty()) line_.pop_back();
  } else if (static_cast<unsigned char>(c) >= 32 && static_cast<unsigned char>(c) < 127) {
    if (line_.size() < kMaxLine) {
      line_ += c;
    } else {
      lineOverflow_ = true;
    }
  }
}

void Modem::runLine(const std::string& line, Seconds now, Output& out) {
  // Whatever precedes "AT" on the line (such as an escape "+++" sent in command mode) is ignored.
  std::size_t at = std::string::npos;
  for (std::size_t i = 0; i + 1 < line.size(); ++i) {
    if (upper(line[i]) == 'A' && upper(line[i + 1]) == 'T') {
      at = i;
      break;
    }
  }
  if (at == std::string::npos) return;
  std::string cmd = line.substr(at);
  const bool onlineCommand = state_ == State::OnlineCommand;
  bool error = false;
  bool hook = false;
  std::string info;
  std::size_t i = 2;
  auto number = [&](int fallback) {
    if (i >= cmd.size() || !isDigit(cmd[i])) return fallback;
    int v = 0;
    while (i < cmd.size() && isDigit(cmd[i])) {
      if (v < 100000) v = v * 10 + (cmd[i] - '0');
      ++i;
    }
    return v;
  };
  auto finish = [&](const std::string& result) {
    out.events.push_back({ModemEvent::Kind::Command, cmd, result, hook});
  };
  while (i < cmd.size() && !error) {
    char k = upper(cmd[i++]);
    switch (k) {
      case ' ':
        break;
      case 'A':
      case 'D':
        if (onlineCommand) {
          error = true;
          break;
        }
        // The rest of the line is the dial string (or nothing): start the connection.
        state_ = State::Connecting;
        connectAt_ = now + config_.connectDelay;
        finish(k == 'A' ? "answering" : "dialling");
        return;
      case 'E':
        echo_ = number(0) != 0;
        break;
      case 'H':
        number(0);
        hook = true;
        if (connected()) hangUp("ATH", out);
        break;
      case 'Z':
        number(0);
        hook = true;
        if (connected()) hangUp("ATZ", out);
        reset();
        break;
      case 'O':
        number(0);
        if (!onlineCommand) {
          error = true;
          break;
        }
        state_ = State::Online;
        lastOnlineByte_ = now;
        {
          std::string text = turbo_ ? config_.turboConnect : config_.plainConnect;
          out.toProgram += resultLine(text);
          finish(text);
        }
        return;
      case 'B':
        bMode_ = number(0);
        break;
      case 'I':
        number(0);
        info += "\r\n" + std::string(deviceText(config_.device)) + "\r\n";
        break;
      case 'S': {
        int reg = number(-1);
        if (reg < 0 || i >= cmd.size()) {
          error = true;
        } else if (cmd[i] == '=') {
          ++i;
          sRegs_[reg] = number(0);
        } else if (cmd[i] == '?') {
          ++i;
          auto it = sRegs_.find(reg);
          info += "\r\n" + std::to_string(it == sRegs_.end() ? 0 : it->second) + "\r\n";
        } else {
          error = true;
        }
        break;
      }
      case '#':
      case '&':
        if (i >= cmd.size() || !std::isalpha(static_cast<unsigned char>(cmd[i]))) {
          error = true;
          break;
        }
        if (k == '#' && upper(cmd[i]) == 'T') hashT_ = true;
        ++i;
        number(0);
        break;
      case 'L':
      case 'M':
      case 'Q':
      case 'V':
      case 'W':
      case 'X':
        number(0);
        break;
      default:
        error = true;
        break;
    }
  }
  std::string result = error ? "ERROR" : "OK";
  out.toProgram += info + resultLine(result);
  finish(result);
}

}  // namespace ttysim
