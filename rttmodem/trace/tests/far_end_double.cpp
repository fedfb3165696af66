// SPDX-License-Identifier: Apache-2.0
#include "far_end_double.h"

#include <algorithm>
#include <deque>
#include <map>
#include <optional>

namespace rttmodem::trace::testing {
namespace {

constexpr int kNetworkDelayMs = 20;
const std::string kBom = "\xEF\xBB\xBF";

struct SenderSetup {
  Direction dir = Direction::In;
  std::uint32_t ssrc = 0;
  std::uint16_t seq = 1000;
  std::uint32_t ts0 = 5000;
  bool red = true;
  int level = 2;
  int redPt = 100, t140Pt = 98;
  int intervalMs = 300;
  int clockHz = 1000;
  bool bom = true;
  bool markers = true;
};

// A real-time text sender in simulated milliseconds, the way a phone sends: an opening packet,
// text every interval while there is some, each packet with the earlier ones' text as redundant
// generations, as many packets more after the text as there are generations, then keep-alives one
// second after and every ten seconds; the marker bit on the first packet after a quiet spell.
class Sender {
 public:
  Sender(SenderSetup s, std::int64_t startMs) : s_(s), startMs_(startMs) {}
  void type(std::int64_t ms, std::string text) { typing_[ms] += text; }
  void mute(std::int64_t fromMs, std::int64_t toMs) { mutes_.push_back({fromMs, toMs}); }
  // Text sent as new text again, at a time.
  void repeatLast(std::int64_t ms) { repeatAt_ = ms; }
  // Every fifth text packet's newest generation garbled.
  void garble() { garble_ = true; }

  std::vector<RtpPacket> run(std::int64_t untilMs) {
    std::vector<RtpPacket> out;
    for (std::int64_t ms = startMs_; ms < untilMs; ++ms) {
      if (auto it = typing_.find(ms); it != typing_.end()) pending_ += it->second;
      if (repeatAt_ && ms == *repeatAt_) pending_ += lastText_;
      if (muted(ms)) continue;
      if (!lastSent_) {
        send(ms, s_.bom ? kBom : "", true, out);
        continue;
      }
      const bool busy = !pending_.empty() || redundancyLeft_ > 0;
      const std::int64_t due = *lastSent_ + (busy ? s_.intervalMs : keepAliveSent_ ? 10000 : 1000);
      if (ms < due) continue;
      const bool quiet = redundancyLeft_ == 0 && ms > *lastSent_ + s_.intervalMs;
      std::string primary;
      primary.swap(pending_);
      keepAliveSent_ = !busy;
      send(ms, primary, quiet, out);
    }
    return out;
  }

 private:
  bool muted(std::int64_t ms) const {
    for (auto [from, to] : mutes_)
      if (ms >= from && ms < to) return true;
    return false;
  }

  void send(std::int64_t ms, const std::string& primary, bool quiet, std::vector<RtpPacket>& out) {
    if (quiet) history_.clear();
    RtpPacket p;
    p.us = (ms + kNetworkDelayMs) * 1000;
    p.dir = s_.dir;
    p.ssrc = s_.ssrc;
    p.seq = seq_++;
    p.ts = s_.ts0 + static_cast<std::uint32_t>(ms * s_.clockHz / 1000);
    p.marker = quiet && (s_.markers || !lastSent_);
    p.text = primary;
    if (s_.red) {
      p.kind = PayloadKind::Red;
      p.pt = s_.redPt;
      p.primaryPt = s_.t140Pt;
      for (int i = static_cast<int>(history_.size()); i < s_.level; ++i) p.generations.push_back({s_.t140Pt, 0, ""});
      for (const auto& [ts, text] : history_)
        p.generations.push_back({s_.t140Pt, static_cast<int>(p.ts - ts), text});
      if (garble_ && !primary.empty() && ++textPackets_ % 5 == 0 && !p.generations.empty() &&
          !p.generations.back().text.empty())
        p.generations.back().text = "XX";
      history_.push_back({p.ts, primary});
      while (static_cast<int>(history_.size()) > s_.level) history_.pop_front();
      p.length = 1 + primary.size();
      for (const Generation& g : p.generations) p.length += 4 + g.text.size();
    } else {
      p.kind = PayloadKind::T140;
      p.pt = s_.t140Pt;
      p.length = primary.size();
    }
    if (!primary.empty() && primary != kBom) {
      redundancyLeft_ = s_.red ? s_.level : 0;
      lastText_ = primary;
    } else if (redundancyLeft_ > 0) {
      --redundancyLeft_;
    }
    lastSent_ = ms;
    out.push_back(std::move(p));
  }

  SenderSetup s_;
  std::int64_t startMs_;
  std::map<std::int64_t, std::string> typing_;
  std::vector<std::pair<std::int64_t, std::int64_t>> mutes_;
  std::optional<std::int64_t> repeatAt_;
  bool garble_ = false;
  int textPackets_ = 0;
  std::string pending_, lastText_;
  std::deque<std::pair<std::uint32_t, std::string>> history_;
  int redundancyLeft_ = 0;
  std::optional<std::int64_t> lastSent_;
  bool keepAliveSent_ = false;
  std::uint16_t seq_ = 0;

 public:
  void startSeq(std::uint16_t seq) { seq_ = seq; }
};

// ---- session descriptions ----------------------------------------------------------------------

enum class Audio { None, Active, Inactive };

std::string redFmtp(int level) {
  std::string s = "98";
  for (int i = 0; i < level; ++i) s += "/98";
  return s;
}

std::string offer(int version, Audio audio, bool text, int level) {
  std::string s = "v=0\r\no=lab 7 " + std::to_string(version) + " IN IP4 192.0.2.1\r\ns=-\r\nc=IN IP4 192.0.2.1\r\nt=0 0\r\n";
  if (audio != Audio::None)
    s += "m=audio 40000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\na=" +
         std::string(audio == Audio::Inactive ? "inactive" : "sendrecv") + "\r\n";
  if (text)
    s += "m=text 40002 RTP/AVP 100 98\r\na=rtpmap:100 red/1000\r\na=fmtp:100 " + redFmtp(level) +
         "\r\na=rtpmap:98 t140/1000\r\na=sendrecv\r\n";
  return s;
}

std::string answer(int version, Audio audio, bool text, int level) {
  std::string s = "v=0\r\no=far 9 " + std::to_string(version) + " IN IP4 192.0.2.9\r\ns=-\r\nc=IN IP4 192.0.2.9\r\nt=0 0\r\n";
  if (audio != Audio::None)
    s += "m=audio 50000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\na=" +
         std::string(audio == Audio::Inactive ? "inactive" : "sendrecv") + "\r\n";
  if (text)
    s += "m=text 50002 RTP/AVP 100 98\r\na=rtpmap:100 red/1000\r\na=fmtp:100 " + redFmtp(level) +
         "\r\na=rtpmap:98 t140/1000\r\na=sendrecv\r\n";
  return s;
}

// ---- a call ------------------------------------------------------------------------------------

class Call {
 public:
  Call(const Faults& f, std::string id) : f_(f) {
    trace_.call = {id, "caller", "sip:lab@192.0.2.1", "sip:far@192.0.2.9", "2025-06-02T09:00:00.000Z", 0};
  }

  // An INVITE of ours and the far end's reply; whether text and audio came up as offered.
  bool invite(std::int64_t ms, Audio audio, bool text) {
    const int cseq = ++cseq_;
    const int ourLevel = f_.fixedLevel2Answer ? 1 : 2;
    sip(ms, Direction::Out, "INVITE", cseq, offer(++version_, audio, text, ourLevel), SdpRole::Offer);
    if (f_.refuseMixedOffers && text && audio != Audio::None) {
      reply(ms + 60, 488, "Not Acceptable Here", cseq, std::nullopt);
      sip(ms + 70, Direction::Out, "ACK", cseq, std::nullopt, SdpRole::None);
      return false;
    }
    reply(ms + 40, 100, "Trying", cseq, std::nullopt);
    const int level = f_.fixedLevel2Answer ? 2 : std::min(ourLevel, 2);
    reply(ms + 80, 200, "OK", cseq, answer(++farVersion_, audio, text, level));
    sip(ms + 90, Direction::Out, "ACK", cseq, std::nullopt, SdpRole::None);
    return true;
  }

  void bye(std::int64_t ms) {
    const int cseq = ++cseq_;
    sip(ms, Direction::Out, "BYE", cseq, std::nullopt, SdpRole::None);
    reply(ms + 30, 200, "OK", cseq, std::nullopt, "BYE");
    end_ = ms + 30;
  }

  Sender& farSender(std::int64_t startMs) {
    SenderSetup s;
    s.ssrc = 0x5eed0001;
    s.red = !f_.redNotSent;
    s.intervalMs = f_.intervalMs;
    s.clockHz = f_.clockHz;
    s.bom = !f_.noOpeningBom;
    s.markers = !f_.noMarkerAfterIdle;
    far_.emplace_back(s, startMs);
    if (f_.twoStreams) {
      s.ssrc = 0x5eed0002;
      s.red = false;
      s.ts0 = 90000;
      far_.emplace_back(s, startMs + 150);
      far_.back().startSeq(20000);
    }
    far_.front().startSeq(1000);
    if (f_.garbledRedundancy) far_.front().garble();
    return far_.front();
  }

  Sender& ourSender(std::int64_t startMs) {
    SenderSetup s;
    s.dir = Direction::Out;
    s.ssrc = 0x0a0a0a0a;
    s.ts0 = 77000;
    ours_.emplace(s, startMs);
    ours_->startSeq(300);
    return *ours_;
  }

  // The far side types: on every stream the far end sends, a character at a time at cps.
  void farTypes(std::int64_t ms, const std::string& text, int cps) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      const std::int64_t at = ms + static_cast<std::int64_t>(i) * 1000 / cps;
      for (Sender& s : far_) s.type(at, text.substr(i, 1));
      trace_.events.push_back(TextEvent{at * 1000, TextEvent::Kind::Typed, "far", text.substr(i, 1)});
    }
  }
  void farPastes(std::int64_t ms, const std::string& text) {
    for (Sender& s : far_) s.type(ms, text);
    trace_.events.push_back(TextEvent{ms * 1000, TextEvent::Kind::Typed, "far", text});
  }
  void weType(std::int64_t ms, const std::string& text, int cps) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      const std::int64_t at = ms + static_cast<std::int64_t>(i) * 1000 / cps;
      ours_->type(at, text.substr(i, 1));
      trace_.events.push_back(TextEvent{at * 1000, TextEvent::Kind::Typed, "local", text.substr(i, 1)});
    }
  }
  // The far side stops showing what arrives from this time on.
  void farStopsShowing(std::int64_t ms) { blindFrom_ = ms; }

  Trace finish() {
    for (Sender& s : far_)
      for (RtpPacket& p : s.run(end_)) trace_.events.push_back(std::move(p));
    if (ours_) {
      for (RtpPacket& p : ours_->run(end_)) {
        const bool shown = p.us / 1000 + 10 < blindFrom_ && !p.text.empty() && p.text != kBom;
        if (shown) trace_.events.push_back(TextEvent{p.us + 10000, TextEvent::Kind::Shown, "far", p.text});
        trace_.events.push_back(std::move(p));
      }
    }
    trace_.events.push_back(End{end_ * 1000, "hung up here"});
    std::stable_sort(trace_.events.begin(), trace_.events.end(),
                     [](const Event& a, const Event& b) { return eventTime(a) < eventTime(b); });
    return std::move(trace_);
  }

 private:
  void sip(std::int64_t ms, Direction dir, const std::string& method, int cseq, std::optional<std::string> body,
           SdpRole role) {
    SipMessage m;
    m.us = ms * 1000;
    m.dir = dir;
    m.method = method;
    m.cseq = static_cast<std::uint32_t>(cseq);
    m.body = std::move(body);
    m.sdp = role;
    trace_.events.push_back(std::move(m));
  }
  void reply(std::int64_t ms, int status, const std::string& reason, int cseq, std::optional<std::string> body,
             const std::string& method = "INVITE") {
    SipMessage m;
    m.us = ms * 1000;
    m.dir = Direction::In;
    m.status = status;
    m.reason = reason;
    m.cseq = static_cast<std::uint32_t>(cseq);
    m.cseqMethod = method;
    if (body) m.sdp = SdpRole::Answer;
    m.body = std::move(body);
    trace_.events.push_back(std::move(m));
  }

  const Faults& f_;
  Trace trace_;
  int cseq_ = 0, version_ = 0, farVersion_ = 0;
  std::int64_t end_ = 0, blindFrom_ = 1LL << 40;
  std::deque<Sender> far_;
  std::optional<Sender> ours_;
};

// A call with audio and text: typing both ways, a paste, idle spells with keep-alives, audio held
// and resumed, then a session refresh; we hang up.
Trace conversation(const Faults& f) {
  Call call(f, "1");
  std::int64_t t0 = 0;
  bool audio = call.invite(0, Audio::Active, true);
  if (!audio) {  // the far end refused text beside audio: text alone, then
    call.invite(200, Audio::None, true);
    t0 = 200;
  }
  Sender& far = call.farSender(t0 + 150);
  call.ourSender(t0 + 120);
  call.farTypes(1000, "Hello, this is the far end. GA", 10);
  call.weType(5000, "Hi, how are you? GA", 8);
  if (f.floods) {
    call.farTypes(12000, std::string(600, 'x'), 120);
  } else {
    call.farPastes(12000, "Here is the address you asked for: 1200 Harbour Road, Building 4, Floor 2, "
                          "Room 17, across from the library and the post office. GA");
    call.farTypes(14000, "and the code for the door is 4711, ring twice please. GA", 20);
  }
  if (f.invalidUtf8) call.farTypes(20000, "caf\xE9", 10);
  // Audio on hold (inactive), then back.
  call.invite(30000, audio ? Audio::Inactive : Audio::None, true);
  if (f.textStoppedByHold) far.mute(30080, 45080);
  else call.farTypes(31000, "still here while on hold", 10);
  call.invite(45000, audio ? Audio::Active : Audio::None, true);
  call.farTypes(46000, "back again", 10);
  call.weType(47000, "welcome back", 8);
  // A session refresh.
  call.invite(50000, audio ? Audio::Active : Audio::None, true);
  if (f.textLostAfterReinvite) {
    far.mute(50080, 1 << 30);
    call.farStopsShowing(50080);
  } else {
    call.farTypes(51000, "after the refresh", 10);
  }
  if (f.repeatsAfterReinvite) far.repeatLast(53000);
  call.weType(52000, "are you there?", 8);
  call.bye(66000);
  return call.finish();
}

// A call placed without text, text added by a re-INVITE.
Trace textAdded(const Faults& f) {
  Call call(f, "2");
  call.invite(0, Audio::Active, false);
  if (call.invite(2000, Audio::Active, true)) {
    call.farSender(2150);
    call.ourSender(2120);
    call.farTypes(3000, "text now, GA", 10);
    call.weType(5000, "great", 8);
  }
  call.bye(12000);
  return call.finish();
}

// A call of text alone.
Trace textAlone(const Faults& f) {
  Call call(f, "3");
  call.invite(0, Audio::None, true);
  call.farSender(150);
  call.ourSender(120);
  call.farTypes(1000, "text alone works", 10);
  call.weType(4000, "yes", 8);
  call.bye(9000);
  return call.finish();
}

}  // namespace

std::vector<Trace> farEndDay(const Faults& faults) {
  return {conversation(faults), textAdded(faults), textAlone(faults)};
}

}  // namespace rttmodem::trace::testing
