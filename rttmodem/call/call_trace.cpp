// SPDX-License-Identifier: Apache-2.0
#include "call_trace.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "controller.h"

namespace rttmodem::call {
namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The address in a From or To header: what is between < and >, or the value up to its parameters.
std::string addressOf(std::string_view v) {
  const std::size_t open = v.find('<');
  if (open != std::string_view::npos) {
    const std::size_t close = v.find('>', open);
    return std::string(v.substr(open + 1, close == std::string_view::npos ? v.npos : close - open - 1));
  }
  return std::string(trim(v.substr(0, v.find(';'))));
}

template <typename T>
bool number(std::string_view s, T* out) {
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && p == s.data() + s.size();
}

}  // namespace

SipParts parseSip(std::string_view message) {
  SipParts m;
  std::size_t headEnd = message.find("\r\n\r\n");
  std::size_t bodyAt = headEnd == std::string_view::npos ? message.size() : headEnd + 4;
  if (headEnd == std::string_view::npos) headEnd = message.size();
  const std::string_view head = message.substr(0, headEnd);
  std::size_t lineEnd = head.find("\r\n");
  const std::string_view first = head.substr(0, lineEnd);
  if (first.starts_with("SIP/2.0 ")) {
    const std::string_view rest = first.substr(8);
    const std::size_t sp = rest.find(' ');
    if (!number(rest.substr(0, sp), &m.status) || m.status < 100 || m.status > 699) return m;
    if (sp != std::string_view::npos) m.reason = std::string(rest.substr(sp + 1));
  } else {
    const std::size_t sp = first.find(' ');
    if (sp == 0 || sp == std::string_view::npos || !first.ends_with(" SIP/2.0")) return m;
    m.method = std::string(first.substr(0, sp));
  }
  bool cseqSeen = false;
  std::size_t contentLength = std::string_view::npos;
  while (lineEnd != std::string_view::npos) {
    const std::size_t from = lineEnd + 2;
    lineEnd = head.find("\r\n", from);
    const std::string_view line = head.substr(from, lineEnd == std::string_view::npos ? head.npos : lineEnd - from);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string name = lower(trim(line.substr(0, colon)));
    const std::string_view value = trim(line.substr(colon + 1));
    if (name == "cseq") {
      const std::size_t sp = value.find(' ');
      if (sp == std::string_view::npos || !number(value.substr(0, sp), &m.cseq)) return m;
      m.cseqMethod = std::string(trim(value.substr(sp + 1)));
      cseqSeen = true;
    } else if (name == "call-id" || name == "i") {
      m.callId = std::string(value);
    } else if (name == "to" || name == "t") {
      m.to = addressOf(value);
      m.toTag = lower(value).find(";tag=") != std::string::npos;
    } else if (name == "from" || name == "f") {
      m.from = addressOf(value);
    } else if (name == "content-length" || name == "l") {
      std::size_t n = 0;
      if (number(value, &n)) contentLength = n;
    }
  }
  if (!cseqSeen) return m;
  if (bodyAt < message.size()) m.body = std::string(message.substr(bodyAt, std::min(contentLength, message.size() - bodyAt)));
  m.ok = true;
  return m;
}

CallTrace::CallTrace(std::string dir, Log log)
    : dir_(std::move(dir)), log_(std::move(log)), started_(std::chrono::system_clock::now()) {}

void CallTrace::failed(const std::string& why) {
  if (failed_) return;
  failed_ = true;
  if (log_) log_("trace-failed " + field("reason", why) + " " + field("result", "the call goes on"));
}

void CallTrace::write(const trace::Event& e) {
  if (!file_) return;
  file_->write(e);
  if (!failed_ && !file_->good()) failed("writing the trace " + file_->path().string() + ".part failed");
}

void CallTrace::sip(bool sent, std::string_view message, const std::string& local) {
  if (!on()) return;
  SipParts m = parseSip(message);
  if (!m.ok) {
    if (file_) note(std::string(sent ? "sent" : "received") + " a SIP message that could not be read");
    return;
  }
  const bool newCall = m.method == "INVITE" && !m.toTag;
  if (newCall && file_ && m.callId != callId_) {
    // A call that is not ours (refused as busy) stays out of this call's trace.
    return;
  }
  if (newCall && !file_) {
    ++calls_;
    failed_ = false;
    inviteOffered_.clear();
    callId_ = m.callId;
    calledHere_ = sent;
    openingCseq_ = m.cseq;
    trace::CallHeader h;
    h.id = std::to_string(calls_);
    h.role = sent ? "caller" : "callee";
    h.local = sent ? m.from : local;
    h.peer = sent ? m.to : m.from;
    h.started = trace::isoTime(std::chrono::system_clock::now());
    std::string error;
    file_ = trace::TraceFile::open(dir_, trace::traceFileName(started_, calls_), h, &error);
    if (!file_) {
      failed(error);
      return;
    }
  }
  if (!file_ || m.callId != callId_) return;
  trace::SipMessage s;
  s.us = file_->now();
  s.dir = sent ? trace::Direction::Out : trace::Direction::In;
  s.method = m.method;
  s.status = m.status;
  s.reason = m.reason;
  s.cseq = m.cseq;
  s.cseqMethod = m.status ? m.cseqMethod : std::string();
  if (!m.body.empty()) {
    s.body = m.body;
    if (m.method == "INVITE") {
      s.sdp = trace::SdpRole::Offer;
      inviteOffered_[{sent, m.cseq}] = true;
    } else if (m.status >= 180 && m.status < 300 && m.cseqMethod == "INVITE") {
      // The request came the other way: an answer to its offer, or an offer of its own.
      s.sdp = inviteOffered_.count({!sent, m.cseq}) ? trace::SdpRole::Answer : trace::SdpRole::Offer;
    } else if (m.method == "ACK") {
      s.sdp = trace::SdpRole::Answer;
    }
  }
  write(s);
  // A call refused here (busy, unusable, or by the SIP agent before it reached the call: a
  // stranger, a malformed request) ends with our refusal of its INVITE.
  if (!calledHere_ && sent && m.status >= 300 && m.cseqMethod == "INVITE" && m.cseq == openingCseq_)
    finish("refused: " + std::to_string(m.status) + " " + m.reason);
}

void CallTrace::rtp(bool sent, std::string_view datagram, int t140Pt, int redPt) {
  if (!file_) return;
  std::string error;
  const std::int64_t us = file_->now();
  const auto dir = sent ? trace::Direction::Out : trace::Direction::In;
  if (auto p = trace::decodeRtp(datagram, t140Pt, redPt, us, dir, &error)) {
    write(*p);
  } else {
    note(std::string(sent ? "sent" : "received") + " on the text port, not RTP: " + error);
  }
}

void CallTrace::typed(std::string_view utf8) {
  if (!file_ || utf8.empty()) return;
  write(trace::TextEvent{file_->now(), trace::TextEvent::Kind::Typed, "local", std::string(utf8)});
}

void CallTrace::shown(std::string_view utf8) {
  if (!file_) return;
  // A byte order mark is a keep-alive or a stream's opening, never shown.
  std::string text(utf8);
  for (std::size_t at; (at = text.find("\xEF\xBB\xBF")) != std::string::npos;) text.erase(at, 3);
  if (text.empty()) return;
  write(trace::TextEvent{file_->now(), trace::TextEvent::Kind::Shown, "local", text});
}

void CallTrace::note(const std::string& text) {
  if (!file_) return;
  write(trace::Note{file_->now(), text});
}

void CallTrace::finish(const std::string& reason) {
  if (!file_) return;
  std::string error;
  if (!file_->finish(reason, &error)) failed(error);
  file_.reset();
  callId_.clear();
}

}  // namespace rttmodem::call
