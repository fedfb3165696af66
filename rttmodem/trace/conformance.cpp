// SPDX-License-Identifier: Apache-2.0
#include "conformance.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>

#include "trace_sdp.h"
#include "trace_utf8.h"

namespace rttmodem::trace {

std::string_view verdictName(Verdict v) {
  switch (v) {
    case Verdict::Pass: return "pass";
    case Verdict::Warn: return "warn";
    case Verdict::Fail: return "fail";
    case Verdict::NotExercised: break;
  }
  return "not exercised";
}

Verdict worst(Verdict a, Verdict b) { return static_cast<int>(a) > static_cast<int>(b) ? a : b; }

const std::vector<Rule>& rules() {
  static const std::vector<Rule> table = {
      {"sdp.answer", "the answer's redundancy level and payload types agree with the offer",
       "RFC 4103 §4; RFC 3264 §6.1"},
      {"sdp.text-only", "an offer of text alone is accepted", "RFC 5194; RFC 3264 §6"},
      {"sdp.no-488", "text in an offer never makes the whole offer fail", "RFC 3264 §6; RFC 5194"},
      {"sdp.add-text", "text added to a call by a re-INVITE is accepted", "TS 26.114 6.2.4; RFC 3264 §8.1"},
      {"call.reinvite", "text goes on after a re-INVITE", "RFC 3264 §8; TS 26.114 6.2.4"},
      {"call.audio-hold", "audio on hold, inactive or refused does not stop text", "RFC 3264 §8.4"},
      {"red.sent", "redundancy is sent when negotiated, with the negotiated generations",
       "RFC 4103 §4; TS 26.114 9.4"},
      {"red.equal", "redundant generations repeat the earlier packets' text, at their offsets", "RFC 4103 §4"},
      {"stream.single", "one text stream: one payload format, one SSRC at a time", "TS 26.114 9.4"},
      {"stream.bom", "the text stream opens with a byte order mark (U+FEFF)", "RFC 4103; ITU-T T.140"},
      {"rtp.marker", "the marker bit is set on the first packet and after idle", "TS 26.114 9.4; RFC 4103 §5.2"},
      {"rtp.clock", "timestamps run on a 1000 Hz clock, in step with arrival", "RFC 4103"},
      {"timing.interval", "300-500 ms between transmissions while typing (over 330 ms: warning)",
       "TS 26.114 9.4; RFC 5194; EN 301 549 6.2.4"},
      {"rate.cps", "characters a second within the receiver's cps over every 10 s", "RFC 4103 §6"},
      {"text.utf8", "text is well-formed UTF-8", "RFC 4103; ITU-T T.140"},
      {"text.delivery", "text is delivered once, in order, and a loss is marked", "RFC 4103 §1, §5.3"},
  };
  return table;
}

namespace {

using namespace limits;

std::string secs(std::int64_t us) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f s", static_cast<double>(us) / 1e6);
  return buf;
}

std::string ms(std::int64_t v) { return std::to_string(v) + " ms"; }

// "no offer", "1 offer", "3 offers".
std::string counted(std::size_t n, std::string_view one, std::string_view many) {
  return (n == 0 ? std::string("no ") : std::to_string(n) + " ") + std::string(n == 1 || n == 0 ? one : many);
}

// A short, printable excerpt of text for evidence.
std::string excerpt(std::string_view text, std::size_t max = 24) {
  std::size_t at = 0, n = 0;
  while (at < text.size() && n < max) {
    if (!utf8::next(text, at)) ++at;
    ++n;
  }
  std::string q = quote(text.substr(0, at));
  if (at < text.size()) q.insert(q.size() - 1, "...");
  return q;
}

bool isBomOnly(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    auto c = utf8::next(text, at);
    if (!c || *c != utf8::kByteOrderMark) return false;
  }
  return true;
}

// Characters of new text, byte order marks left out.
std::size_t characters(std::string_view text) {
  std::size_t n = 0, at = 0;
  while (at < text.size()) {
    auto c = utf8::next(text, at);
    if (!c) ++at;
    if (!c || *c != utf8::kByteOrderMark) ++n;
  }
  return n;
}

bool carriesText(const RtpPacket& p) {
  return (p.kind == PayloadKind::T140 || p.kind == PayloadKind::Red) && !p.text.empty() && !isBomOnly(p.text);
}

bool carriesRedundancy(const RtpPacket& p) {
  if (p.kind != PayloadKind::Red) return false;
  for (const Generation& g : p.generations)
    if (!g.text.empty() && !isBomOnly(g.text)) return true;
  return false;
}

std::int32_t delta32(std::uint32_t later, std::uint32_t earlier) { return static_cast<std::int32_t>(later - earlier); }

// Builds one rule's result: failures' evidence first, then warnings'.
struct Outcome {
  Verdict verdict = Verdict::NotExercised;
  std::vector<std::string> fails, warns;
  std::size_t failCount = 0, warnCount = 0;
  void pass() { verdict = worst(verdict, Verdict::Pass); }
  void warn(std::string e) {
    verdict = worst(verdict, Verdict::Warn);
    ++warnCount;
    if (warns.size() < kEvidenceItems) warns.push_back(std::move(e));
  }
  void fail(std::string e) {
    verdict = worst(verdict, Verdict::Fail);
    ++failCount;
    if (fails.size() < kEvidenceItems) fails.push_back(std::move(e));
  }
  RuleResult result(const Rule& rule, std::string summary) const {
    RuleResult r;
    r.rule = &rule;
    r.verdict = verdict;
    r.summary = std::move(summary);
    for (const std::string& e : fails) r.evidence.push_back(e);
    for (const std::string& e : warns)
      if (r.evidence.size() < kEvidenceItems) r.evidence.push_back(e);
    r.moreEvidence = failCount + warnCount - r.evidence.size();
    return r;
  }
};

struct FarPacket {
  const RtpPacket* p;
  int number;  // among the far end's packets, from 1, in the order they arrived
  int line;
};

std::string where(const FarPacket& f) {
  return "packet " + std::to_string(f.number) + " (seq " + std::to_string(f.p->seq) + ", " + secs(f.p->us) +
         (f.line ? ", line " + std::to_string(f.line) : std::string()) + ")";
}

struct Message {
  const SipMessage* m;
  int line;
};

std::string where(const Message& msg) {
  const SipMessage& m = *msg.m;
  std::string what = m.isRequest() ? m.method : std::to_string(m.status) + " to " + m.cseqMethod;
  return what + " (cseq " + std::to_string(m.cseq) + ", " + secs(m.us) +
         (msg.line ? ", line " + std::to_string(msg.line) : std::string()) + ")";
}

// One offer and its answer: an INVITE (or UPDATE) transaction and its outcome.
struct Exchange {
  Message request{};
  bool initial = false;
  bool weOffered = false;
  std::optional<Message> offerMsg, answerMsg, finalMsg;
  std::optional<SessionDescription> offer, answer;
  int status = 0;  // final status, 0 when the trace has none
  std::int64_t doneUs = 0;  // when the answer was given (or the final response)
};

// The media in effect from a completed exchange on.
struct Period {
  std::size_t exchange;
  std::int64_t fromUs;
  const SessionDescription* ours;
  const SessionDescription* theirs;
  bool textActive = false;
  int level = 0;  // redundant generations the far end owes us
  int redPt = -1, t140Pt = -1;  // what we receive text with
  int cps = 30;
  bool hasAudio = false, audioHeld = false;
};

bool mediaRefusal(int status) { return status == 415 || status == 488 || status == 606; }

// Text with where each of its bytes came from (an index into places; -1: nowhere to name).
struct Sourced {
  std::string text;
  std::vector<int> from;
  std::vector<std::string> places;
  void add(std::string_view t, const std::string& place) {
    text += t;
    if (t.empty()) return;
    places.push_back(place);
    from.insert(from.end(), t.size(), static_cast<int>(places.size()) - 1);
  }
  std::string place(int index) const { return index >= 0 ? places[static_cast<std::size_t>(index)] : "?"; }
};

// The normalised form two texts are compared in: no byte order marks, one line end, ASCII letters
// in capitals (a TTY side has no others), as characters; with each character's source.
std::u32string normalise(std::string_view text, const std::vector<int>* from = nullptr,
                         std::vector<int>* sources = nullptr) {
  std::u32string out;
  std::size_t at = 0;
  bool afterCr = false;
  while (at < text.size()) {
    const std::size_t start = at;
    auto put = [&](char32_t ch) {
      out += ch;
      if (sources) sources->push_back(from && start < from->size() ? (*from)[start] : -1);
    };
    auto c = utf8::next(text, at);
    if (!c) {
      ++at;
      put(U'\uFFFD');
      afterCr = false;
      continue;
    }
    char32_t ch = *c;
    if (ch == utf8::kByteOrderMark) continue;
    if (ch == '\n' && afterCr) {
      afterCr = false;
      continue;
    }
    afterCr = ch == '\r';
    if (ch == '\r' || ch == utf8::kLineSeparator || ch == utf8::kParagraphSeparator) ch = '\n';
    if (ch >= 'a' && ch <= 'z') ch = ch - 'a' + 'A';
    put(ch);
  }
  return out;
}

std::string narrow(const std::u32string& s) {
  std::string out;
  for (char32_t c : s) utf8::append(out, c);
  return out;
}

// Where what arrived departs from what was sent: text twice, out of order, or missing with no mark.
// U+FFFD in what arrived stands for a marked loss of any length, '?' for one character a side could
// not show.
struct Departure {
  enum Kind { Duplicated, Reordered, LostUnmarked } kind;
  std::size_t at;  // in what arrived
  std::string text;
};

// Text is looked for this far around where it was expected (a far end duplicates or reorders text of
// the last seconds, not of the last hour), and the comparison stops after so many steps: a long,
// garbled trace is judged as far as the steps allow (cut is then set), never for hours.
inline constexpr std::size_t kSearchWindow = 4096;
inline constexpr std::size_t kCompareSteps = 50'000'000;

std::vector<Departure> departures(const std::u32string& sent, const std::u32string& got, std::size_t* cutAt) {
  std::vector<Departure> out;
  std::size_t steps = 0;
  *cutAt = std::u32string::npos;
  std::size_t i = 0, j = 0;
  bool gap = false;
  std::vector<std::pair<std::size_t, std::size_t>> skipped;  // ranges of sent passed over without a mark
  std::vector<std::size_t> skippedAt;                        // where in what arrived
  auto matches = [&](std::size_t si, std::size_t gj) {
    return sent[si] == got[gj] || (got[gj] == U'?' && sent[si] != U'\n');
  };
  while (j < got.size()) {
    if (steps > kCompareSteps) {
      *cutAt = j;
      break;
    }
    if (got[j] == U'\uFFFD') {
      gap = true;
      ++j;
      continue;
    }
    if (i < sent.size() && matches(i, j)) {
      ++i, ++j;
      gap = false;
      continue;
    }
    // A run of what arrived, up to the next mark, at most 8 characters, looked for in what was sent.
    std::size_t k = 0;
    while (j + k < got.size() && k < 8 && got[j + k] != U'\uFFFD') ++k;
    auto find = [&](std::size_t from, std::size_t to) -> std::optional<std::size_t> {
      for (std::size_t p = from; p + k <= to && p + k <= sent.size(); ++p) {
        std::size_t q = 0;
        while (q < k && matches(p + q, j + q)) ++q;
        steps += q + 1;
        if (q == k) return p;
      }
      return std::nullopt;
    };
    const std::string run = narrow(got.substr(j, k));
    if (auto p = find(i, std::min(sent.size(), i + kSearchWindow))) {
      if (!gap) skipped.push_back({i, *p}), skippedAt.push_back(j);
      i = *p + k;
      j += k;
      gap = false;
      continue;
    }
    if (auto p = find(i > kSearchWindow ? i - kSearchWindow : 0, i)) {
      bool late = false;
      for (auto& [from, to] : skipped)
        if (*p >= from && *p + k <= to) late = true;
      out.push_back({late ? Departure::Reordered : Departure::Duplicated, j, run});
      if (late)
        for (auto& range : skipped)
          if (*p >= range.first && *p + k <= range.second) range = {range.first, range.first};  // it came
      j += k;
      continue;
    }
    ++j;  // text that was never sent: a changed character, not this rule's
  }
  for (std::size_t r = 0; r < skipped.size(); ++r) {
    const auto [from, to] = skipped[r];
    if (to > from)
      out.push_back({Departure::LostUnmarked, skippedAt[r], narrow(sent.substr(from, std::min<std::size_t>(to - from, 24)))});
  }
  return out;
}

class Judge {
 public:
  explicit Judge(const Trace& t) {
    std::vector<std::size_t> order(t.events.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return eventTime(t.events[a]) < eventTime(t.events[b]); });
    for (std::size_t i : order) {
      const int line = i < t.lines.size() ? t.lines[i] : 0;
      const Event& e = t.events[i];
      endUs_ = std::max(endUs_, eventTime(e));
      if (auto* p = std::get_if<RtpPacket>(&e)) {
        if (p->dir == Direction::In) far_.push_back({p, static_cast<int>(far_.size()) + 1, line});
        else ours_.push_back(p);
      } else if (auto* m = std::get_if<SipMessage>(&e)) {
        sip_.push_back({m, line});
        if (m->isRequest() && m->method == "BYE" && !byeUs_) byeUs_ = m->us;
      } else if (auto* x = std::get_if<TextEvent>(&e)) {
        if (x->side == "far") (x->kind == TextEvent::Kind::Typed ? farTyped_ : farShown_).push_back(x);
      } else if (auto* end = std::get_if<End>(&e)) {
        callEndUs_ = end->us;
      }
    }
    if (!callEndUs_) callEndUs_ = byeUs_ ? *byeUs_ : endUs_;
    if (byeUs_) callEndUs_ = std::min(*callEndUs_, *byeUs_);
    buildExchanges();
    buildPeriods();
  }

  std::vector<RuleResult> all() {
    const auto& table = rules();
    std::map<std::string_view, std::function<RuleResult(const Rule&)>> run = {
        {"sdp.answer", [&](const Rule& r) { return sdpAnswer(r); }},
        {"sdp.text-only", [&](const Rule& r) { return textOnly(r); }},
        {"sdp.no-488", [&](const Rule& r) { return no488(r); }},
        {"sdp.add-text", [&](const Rule& r) { return addText(r); }},
        {"call.reinvite", [&](const Rule& r) { return goesOn(r, false); }},
        {"call.audio-hold", [&](const Rule& r) { return goesOn(r, true); }},
        {"red.sent", [&](const Rule& r) { return redSent(r); }},
        {"red.equal", [&](const Rule& r) { return redEqual(r); }},
        {"stream.single", [&](const Rule& r) { return singleStream(r); }},
        {"stream.bom", [&](const Rule& r) { return bom(r); }},
        {"rtp.marker", [&](const Rule& r) { return marker(r); }},
        {"rtp.clock", [&](const Rule& r) { return clock(r); }},
        {"timing.interval", [&](const Rule& r) { return interval(r); }},
        {"rate.cps", [&](const Rule& r) { return cps(r); }},
        {"text.utf8", [&](const Rule& r) { return wellFormed(r); }},
        {"text.delivery", [&](const Rule& r) { return delivery(r); }},
    };
    std::vector<RuleResult> out;
    for (const Rule& rule : table) out.push_back(run.at(rule.id)(rule));
    return out;
  }

 private:
  // ---- the call's offers and answers -----------------------------------------------------------

  void buildExchanges() {
    std::map<std::tuple<Direction, std::uint32_t, std::string>, std::size_t> byKey;
    bool callUp = false;
    auto other = [](Direction d) { return d == Direction::In ? Direction::Out : Direction::In; };
    for (const Message& msg : sip_) {
      const SipMessage& m = *msg.m;
      if (m.isRequest() && (m.method == "INVITE" || m.method == "UPDATE")) {
        auto key = std::make_tuple(m.dir, m.cseq, m.method);
        if (byKey.count(key)) continue;  // a retransmission
        Exchange x;
        x.request = msg;
        // Initial: no INVITE before it set up the call (a retry after a refusal is initial too).
        x.initial = m.method == "INVITE" && !callUp;
        if (m.body) setOffer(x, msg, m.sdp == SdpRole::Answer ? SdpRole::Answer : SdpRole::Offer);
        byKey[key] = exchanges_.size();
        exchanges_.push_back(std::move(x));
      } else if (!m.isRequest()) {
        auto it = byKey.find(std::make_tuple(other(m.dir), m.cseq, m.cseqMethod));
        if (it == byKey.end()) continue;
        Exchange& x = exchanges_[it->second];
        if (m.body && m.status < 300) {
          const SdpRole role = m.sdp != SdpRole::None ? m.sdp : (x.offerMsg ? SdpRole::Answer : SdpRole::Offer);
          setOffer(x, msg, role);
        }
        if (m.status >= 200 && !x.finalMsg) {
          x.finalMsg = msg;
          x.status = m.status;
          if (m.status < 300 && m.cseqMethod == "INVITE") callUp = true;
          if (!x.answerMsg) x.doneUs = m.us;
        }
      } else if (m.method == "ACK") {
        auto it = byKey.find(std::make_tuple(m.dir, m.cseq, std::string("INVITE")));
        if (it != byKey.end() && m.body) setOffer(exchanges_[it->second], msg, SdpRole::Answer);
      }
    }
  }

  void setOffer(Exchange& x, const Message& msg, SdpRole role) {
    if (role == SdpRole::Offer && !x.offerMsg) {
      x.offerMsg = msg;
      x.offer = readSdp(*msg.m->body);
      x.weOffered = msg.m->dir == Direction::Out;
    } else if (role == SdpRole::Answer && x.offerMsg && !x.answerMsg) {
      x.answerMsg = msg;
      x.answer = readSdp(*msg.m->body);
      x.doneUs = msg.m->us;
    }
  }

  void buildPeriods() {
    for (std::size_t i = 0; i < exchanges_.size(); ++i) {
      const Exchange& x = exchanges_[i];
      if (x.status < 200 || x.status >= 300 || !x.offer || !x.answer) continue;
      Period p;
      p.exchange = i;
      p.fromUs = x.doneUs;
      p.ours = x.weOffered ? &*x.offer : &*x.answer;
      p.theirs = x.weOffered ? &*x.answer : &*x.offer;
      const SdpMediaLine* ourText = p.ours->active("text");
      const SdpMediaLine* theirText = p.theirs->active("text");
      p.textActive = ourText && theirText;
      if (ourText) {
        p.redPt = ourText->ptOf("red");
        p.t140Pt = ourText->ptOf("t140");
        p.cps = cpsLimit(*ourText);
      }
      if (p.textActive) {
        const int a = redLevel(*ourText).value_or(0), b = redLevel(*theirText).value_or(0);
        p.level = a > 0 && b > 0 ? std::min(a, b) : 0;
      }
      for (const SessionDescription* s : {p.ours, p.theirs}) {
        if (const SdpMediaLine* audio = s->first("audio")) {
          p.hasAudio = true;
          p.audioHeld = p.audioHeld || audio->held();
        }
      }
      periods_.push_back(p);
    }
    std::stable_sort(periods_.begin(), periods_.end(), [](const Period& a, const Period& b) { return a.fromUs < b.fromUs; });
  }

  // The media in effect at a time (the first period's before any).
  const Period* periodAt(std::int64_t us) const {
    if (periods_.empty()) return nullptr;
    auto it = std::upper_bound(periods_.begin(), periods_.end(), us,
                               [](std::int64_t t, const Period& p) { return t < p.fromUs; });
    return it == periods_.begin() ? &periods_.front() : &*std::prev(it);
  }
  // The last period that began before a time, or nothing.
  const Period* periodBefore(std::int64_t us) const {
    auto it = std::lower_bound(periods_.begin(), periods_.end(), us,
                               [](const Period& p, std::int64_t t) { return p.fromUs < t; });
    return it == periods_.begin() ? nullptr : &*std::prev(it);
  }

  // ---- session descriptions ----------------------------------------------------------------------

  RuleResult sdpAnswer(const Rule& rule) {
    Outcome o;
    int checked = 0;
    for (const Exchange& x : exchanges_) {
      if (!x.weOffered || !x.answerMsg || !x.offer) continue;
      const std::string at = where(*x.answerMsg);
      if (!x.answer) {
        o.fail(at + ": the answer is not a readable session description");
        continue;
      }
      ++checked;
      if (x.answer->media.size() != x.offer->media.size()) {
        o.fail(at + ": the answer has " + std::to_string(x.answer->media.size()) + " media lines, the offer " +
               std::to_string(x.offer->media.size()));
        continue;
      }
      for (std::size_t i = 0; i < x.offer->media.size(); ++i) {
        const SdpMediaLine& off = x.offer->media[i];
        const SdpMediaLine& ans = x.answer->media[i];
        if (off.type != "text") continue;
        if (ans.type != "text") {
          o.fail(at + ": media line " + std::to_string(i + 1) + " is " + ans.type + " where the offer has text");
          continue;
        }
        if (ans.port == 0) continue;
        bool bad = false;
        for (int pt : ans.pts) {
          auto enc = ans.encodings.find(pt);
          if (enc == ans.encodings.end()) {
            o.fail(at + ": payload type " + std::to_string(pt) + " has no rtpmap");
            bad = true;
            continue;
          }
          const std::string name = enc->second.substr(0, enc->second.find('/', enc->second.find('/') + 1));
          int offeredPt = -1;
          for (int q : off.pts) {
            auto e = off.encodings.find(q);
            if (e != off.encodings.end() && e->second.substr(0, e->second.find('/', e->second.find('/') + 1)) == name)
              offeredPt = offeredPt < 0 || q == pt ? q : offeredPt;
          }
          if (offeredPt < 0) {
            o.fail(at + ": the answer names " + name + " (payload type " + std::to_string(pt) +
                   "), which the offer did not");
            bad = true;
          } else if (offeredPt != pt) {
            o.warn(at + ": " + name + " is payload type " + std::to_string(pt) + " in the answer, " +
                   std::to_string(offeredPt) + " in the offer");
          }
        }
        const auto answered = redLevel(ans);
        const auto offered = redLevel(off);
        if (answered && *answered < 0) {
          const auto fmtp = ans.fmtp.find(ans.ptOf("red"));
          o.fail(at + ": the answer's red format names blocks that are not its T.140 (fmtp \"" +
                 (fmtp != ans.fmtp.end() ? fmtp->second : std::string()) + "\")");
          bad = true;
        } else if (answered && offered && *offered >= 0 && *answered > *offered) {
          o.fail(at + ": the answer claims " + std::to_string(*answered) + " redundant generations, the offer " +
                 std::to_string(*offered));
          bad = true;
        }
        if (!bad) o.pass();
      }
    }
    if (checked == 0) return o.result(rule, "no answer of the far end to an offer of ours with text");
    return o.result(rule, counted(checked, "answer", "answers") + " of the far end to our offers");
  }

  // What the far end did with one offer of ours: nothing when its outcome says nothing of the media.
  struct Reply {
    bool accepted;
    std::string why;
  };
  std::optional<Reply> replyTo(const Exchange& x) const {
    if (!x.finalMsg) return std::nullopt;
    if (mediaRefusal(x.status))
      return Reply{false, "refused with " + std::to_string(x.status) + " " + x.finalMsg->m->reason + ": " +
                              where(*x.finalMsg)};
    if (x.status >= 300) return std::nullopt;  // busy, declined, authentication: not about the media
    const SdpMediaLine* text = x.answer ? x.answer->first("text") : nullptr;
    if (!x.answer) return Reply{false, "accepted without an answer we could read: " + where(*x.finalMsg)};
    if (!text || text->port == 0) return Reply{false, "text refused (port 0) in the answer: " + where(*x.answerMsg)};
    return Reply{true, {}};
  }

  // wholeRefusals: whether a refusal of the whole offer (415, 488, 606) is this rule's, or (an offer
  // beside other media) sdp.no-488's.
  RuleResult offersJudged(const Rule& rule, const std::function<bool(const Exchange&)>& which,
                          std::string_view one, std::string_view many, bool wholeRefusals) {
    Outcome o;
    int judged = 0, seen = 0;
    for (const Exchange& x : exchanges_) {
      if (!x.weOffered || !x.offer || !which(x)) continue;
      ++seen;
      if (!wholeRefusals && mediaRefusal(x.status)) continue;
      auto reply = replyTo(x);
      if (!reply) continue;
      ++judged;
      if (reply->accepted) o.pass();
      else o.fail(where(*x.offerMsg) + ": " + reply->why);
    }
    if (judged == 0 && seen)
      return o.result(rule, counted(seen, one, many) + ", none answered about its media");
    return o.result(rule, counted(judged, one, many));
  }

  RuleResult textOnly(const Rule& rule) {
    return offersJudged(
        rule, [](const Exchange& x) { return x.offer->active("text") && !x.offer->hasActiveNonText(); },
        "offer of text alone", "offers of text alone", true);
  }

  RuleResult no488(const Rule& rule) {
    Outcome o;
    int judged = 0;
    for (const Exchange& x : exchanges_) {
      if (!x.weOffered || !x.offer || !x.offer->active("text") || !x.offer->hasActiveNonText() || !x.finalMsg)
        continue;
      if (mediaRefusal(x.status)) {
        ++judged;
        o.fail(where(*x.offerMsg) + " offering text beside other media: " + std::to_string(x.status) + " " +
               x.finalMsg->m->reason + " (" + where(*x.finalMsg) + ")");
      } else if (x.status >= 200 && x.status < 300) {
        ++judged;
        o.pass();
      }
    }
    return o.result(rule, judged ? counted(judged, "offer", "offers") + " of text beside other media"
                                 : "no offer of text beside other media answered");
  }

  RuleResult addText(const Rule& rule) {
    return offersJudged(
        rule,
        [&](const Exchange& x) {
          if (x.initial || !x.offer->active("text")) return false;
          const Period* before = periodBefore(x.request.m->us);
          return !before || !before->textActive;
        },
        "re-INVITE adding text", "re-INVITEs adding text", false);
  }

  // ---- text goes on after a change of the session ------------------------------------------------

  // Whether the far end's text goes on after a change at fromUs, up to untilUs: its packets, the far
  // side's typing arriving, our text shown at the far side. Nothing when the trace cannot tell.
  std::optional<std::string> stoppedAfter(std::int64_t fromUs, std::int64_t untilUs, bool* told) const {
    *told = false;
    // Each list is in time order: the events in (fromUs, toUs] by binary search.
    auto within = [](const auto& list, std::int64_t from, std::int64_t to, auto time) {
      auto begin = std::upper_bound(list.begin(), list.end(), from, [&](std::int64_t t, const auto& e) { return t < time(e); });
      auto end = std::upper_bound(begin, list.end(), to, [&](std::int64_t t, const auto& e) { return t < time(e); });
      return std::make_pair(begin, end);
    };
    const auto farTime = [](const FarPacket& f) { return f.p->us; };
    const auto [farBegin, farEnd] = within(far_, fromUs, untilUs, farTime);
    const FarPacket* lastBefore = farBegin == far_.begin() ? nullptr : &*std::prev(farBegin);
    const FarPacket* firstAfter = farBegin == farEnd ? nullptr : &*farBegin;
    std::size_t textAfter = 0, typedAfter = 0, sentAfter = 0, shownAfter = 0;
    for (auto it = farBegin; it != farEnd; ++it)
      if (carriesText(*it->p)) textAfter += characters(it->p->text);
    const auto eventTime = [](const TextEvent* e) { return e->us; };
    for (auto [it, end] = within(farTyped_, fromUs, untilUs, eventTime); it != end; ++it)
      typedAfter += characters((*it)->text);
    for (auto [it, end] = within(farShown_, fromUs, untilUs + 2'000'000, eventTime); it != end; ++it)
      shownAfter += characters((*it)->text);
    for (auto [it, end] = within(ours_, fromUs, untilUs, [](const RtpPacket* p) { return p->us; }); it != end; ++it)
      if (carriesText(**it)) sentAfter += characters((*it)->text);
    if (typedAfter > 0 && textAfter == 0) {
      *told = true;
      return "the far side typed " + std::to_string(typedAfter) + " characters after it; none arrived";
    }
    if (sentAfter > 0 && !farShown_.empty() && shownAfter == 0) {
      *told = true;
      return "we sent " + std::to_string(sentAfter) + " characters after it; the far side showed none";
    }
    if (firstAfter) {
      *told = true;
      return std::nullopt;
    }
    const bool wasSending = lastBefore && fromUs - lastBefore->p->us <= kStreamGoesOnMs * 1000LL;
    if (wasSending && untilUs - fromUs >= kStreamGoesOnMs * 1000LL) {
      *told = true;
      return "the far end sent nothing in the " + secs(untilUs - fromUs) + " the call went on (its last packet: " +
             where(*lastBefore) + ")";
    }
    return std::nullopt;
  }

  RuleResult goesOn(const Rule& rule, bool hold) {
    Outcome o;
    int judged = 0, seen = 0;
    for (std::size_t k = 0; k < periods_.size(); ++k) {
      const Period& p = periods_[k];
      const Exchange& x = exchanges_[p.exchange];
      const Period* before = k > 0 ? &periods_[k - 1] : nullptr;
      if (!p.textActive) continue;
      const bool putOnHold = p.hasAudio && p.audioHeld && (!before || !before->audioHeld);
      if (hold ? !putOnHold : (x.initial || putOnHold || !before || !before->textActive)) continue;
      ++seen;
      const std::int64_t until = k + 1 < periods_.size() ? periods_[k + 1].fromUs : *callEndUs_;
      bool told = false;
      auto stopped = stoppedAfter(p.fromUs, until, &told);
      if (!told) continue;
      ++judged;
      const std::string at = x.answerMsg ? where(*x.answerMsg) : where(x.request);
      if (stopped) o.fail("after " + at + ": " + *stopped);
      else o.pass();
    }
    const std::string_view one = hold ? "change putting audio on hold with text on" : "re-INVITE keeping text";
    const std::string_view many = hold ? "changes putting audio on hold with text on" : "re-INVITEs keeping text";
    if (judged == 0 && seen)
      return o.result(rule, counted(seen, one, many) + "; the trace cannot tell what followed");
    return o.result(rule, counted(judged, one, many));
  }

  // ---- the far end's packets ---------------------------------------------------------------------

  RuleResult redSent(const Rule& rule) {
    Outcome o;
    struct Tally {
      int red = 0, plain = 0;
      const FarPacket* firstPlain = nullptr;
    };
    std::map<std::size_t, Tally> byPeriod;
    int negotiated = 0;
    for (const FarPacket& f : far_) {
      const Period* p = periodAt(f.p->us);
      if (!p || p->level == 0) continue;
      ++negotiated;
      Tally& t = byPeriod[p->exchange];
      if (f.p->kind == PayloadKind::Red) {
        ++t.red;
        if (static_cast<int>(f.p->generations.size()) < p->level)
          o.fail(where(f) + ": " + counted(f.p->generations.size(), "redundant generation", "redundant generations") + ", " +
                 std::to_string(p->level) + " negotiated");
        else o.pass();
      } else if (f.p->kind == PayloadKind::Bad) {
        o.fail(where(f) + ": a red payload that cannot be read (" + f.p->error + ")");
      } else if (f.p->kind == PayloadKind::T140) {
        ++t.plain;
        if (!t.firstPlain) t.firstPlain = &f;
      }
    }
    for (const auto& [exchange, t] : byPeriod) {
      if (t.red == 0 && t.plain > 0) {
        const Exchange& x = exchanges_[exchange];
        o.fail("redundancy negotiated (" + (x.answerMsg ? where(*x.answerMsg) : where(x.request)) + ") but none of the far end's " +
               std::to_string(t.plain) + " text packets is red, the first " + where(*t.firstPlain));
      }
    }
    if (negotiated == 0) return o.result(rule, "redundancy not negotiated, or no packet from the far end while it was");
    return o.result(rule, std::to_string(negotiated) + " packets of the far end while redundancy was negotiated");
  }

  // The far end's packets of one SSRC, by unwrapped sequence number (the first arrival of each).
  std::map<std::uint32_t, std::map<std::int64_t, const FarPacket*>> bySequence() const {
    std::map<std::uint32_t, std::map<std::int64_t, const FarPacket*>> out;
    std::map<std::uint32_t, std::pair<std::int64_t, std::uint16_t>> last;  // unwrapped, raw
    for (const FarPacket& f : far_) {
      auto it = last.find(f.p->ssrc);
      std::int64_t seq = f.p->seq;
      if (it != last.end()) seq = it->second.first + static_cast<std::int16_t>(f.p->seq - it->second.second);
      last[f.p->ssrc] = {seq, f.p->seq};
      out[f.p->ssrc].emplace(seq, &f);
    }
    return out;
  }

  RuleResult redEqual(const Rule& rule) {
    Outcome o;
    int compared = 0;
    for (const auto& [ssrc, packets] : bySequence()) {
      for (const auto& [seq, f] : packets) {
        if (f->p->kind != PayloadKind::Red) continue;
        const auto& gens = f->p->generations;
        const int n = static_cast<int>(gens.size());
        for (int k = 1; k <= n; ++k) {
          const Generation& g = gens[n - k];
          auto earlier = packets.find(seq - k);
          if (earlier == packets.end()) continue;
          const RtpPacket& e = *earlier->second->p;
          if (e.kind != PayloadKind::Red && e.kind != PayloadKind::T140) continue;
          ++compared;
          const bool same = g.text == e.text || (g.text.empty() && isBomOnly(e.text));
          if (!same) {
            o.fail(where(*f) + ": generation " + std::to_string(k) + " holds " + excerpt(g.text) + ", packet seq " +
                   std::to_string(e.seq) + " had " + excerpt(e.text));
            continue;
          }
          if (!g.text.empty() && g.offset != delta32(f->p->ts, e.ts)) {
            o.fail(where(*f) + ": generation " + std::to_string(k) + " is " + std::to_string(g.offset) +
                   " before it, packet seq " + std::to_string(e.seq) + " was " +
                   std::to_string(delta32(f->p->ts, e.ts)));
            continue;
          }
          if (g.pt != f->p->primaryPt) {
            o.fail(where(*f) + ": generation " + std::to_string(k) + " has payload type " + std::to_string(g.pt) +
                   ", the new text " + std::to_string(f->p->primaryPt));
            continue;
          }
          o.pass();
        }
      }
    }
    if (compared == 0) return o.result(rule, "no redundant generation whose original packet arrived");
    return o.result(rule, std::to_string(compared) + " redundant generations compared with their originals");
  }

  RuleResult singleStream(const Rule& rule) {
    Outcome o;
    if (far_.empty()) return o.result(rule, "no packet from the far end");
    // Formats: one kind of text packet per negotiated period, and only the negotiated types.
    std::map<std::size_t, std::pair<const FarPacket*, const FarPacket*>> kinds;  // first red, first plain
    for (const FarPacket& f : far_) {
      const Period* p = periodAt(f.p->us);
      if (p && f.p->pt != p->redPt && f.p->pt != p->t140Pt) {
        o.fail(where(f) + ": payload type " + std::to_string(f.p->pt) + " is not text's (red " +
               std::to_string(p->redPt) + ", t140 " + std::to_string(p->t140Pt) + ")");
        continue;
      }
      auto& k = kinds[p ? p->exchange : 0];
      if (f.p->kind == PayloadKind::Red || f.p->kind == PayloadKind::Bad) {
        if (!k.first) k.first = &f;
      } else if (f.p->kind == PayloadKind::T140) {
        if (!k.second) k.second = &f;
      }
    }
    for (const auto& [period, k] : kinds)
      if (k.first && k.second)
        o.fail("T.140 and red packets in one stream: " + where(*k.second) + " plain, " + where(*k.first) + " red");
    // SSRCs: one at a time. A change is a switch when the old one stops; declared when a session
    // change came just before it.
    struct Span {
      const FarPacket *first, *last;
    };
    std::vector<std::pair<std::uint32_t, Span>> spans;
    std::map<std::uint32_t, std::size_t> spanOf;
    for (const FarPacket& f : far_) {
      auto [it, fresh] = spanOf.emplace(f.p->ssrc, spans.size());
      if (fresh) spans.push_back({f.p->ssrc, {&f, &f}});
      else spans[it->second].second.last = &f;
    }
    std::vector<std::int64_t> changes;  // when the session changed after the call was set up
    for (const Period& p : periods_)
      if (!exchanges_[p.exchange].initial) changes.push_back(p.fromUs);
    char hex[16];
    auto name = [&](std::uint32_t ssrc) {
      std::snprintf(hex, sizeof hex, "%08x", ssrc);
      return std::string(hex);
    };
    for (std::size_t i = 1; i < spans.size(); ++i) {
      const Span& old = spans[i - 1].second;
      const Span& now = spans[i].second;
      if (old.last->p->us > now.first->p->us + 1'000'000) {
        o.fail("SSRC " + name(spans[i - 1].first) + " and SSRC " + name(spans[i].first) + " at once: " +
               where(*now.first) + " of the second, " + where(*old.last) + " of the first");
        continue;
      }
      const std::int64_t began = now.first->p->us;
      auto change = std::lower_bound(changes.begin(), changes.end(), began - 5'000'000);
      const bool declared = change != changes.end() && *change <= began;
      if (!declared)
        o.warn("SSRC " + name(spans[i - 1].first) + " changed to " + name(spans[i].first) + " at " +
               where(*now.first) + " with no session change before it");
    }
    o.pass();
    return o.result(rule, counted(far_.size(), "packet", "packets") + " of the far end, " +
                              counted(spans.size(), "SSRC", "SSRCs"));
  }

  // SSRCs whose packets came while an earlier SSRC of the far end was still sending (more than a
  // second after they began): a second stream beside the first, which a receiver cannot follow.
  std::set<std::uint32_t> interleaved() const {
    std::set<std::uint32_t> out;
    std::map<std::uint32_t, std::pair<std::int64_t, std::int64_t>> span;  // first, last arrival
    std::vector<std::uint32_t> order;
    for (const FarPacket& f : far_) {
      auto [it, fresh] = span.emplace(f.p->ssrc, std::make_pair(f.p->us, f.p->us));
      if (fresh) order.push_back(f.p->ssrc);
      it->second.second = f.p->us;
    }
    std::int64_t lastOfKept = std::numeric_limits<std::int64_t>::min();
    for (std::uint32_t ssrc : order) {
      const auto [first, last] = span[ssrc];
      if (lastOfKept > first + 1'000'000) {
        out.insert(ssrc);
      } else {
        lastOfKept = std::max(lastOfKept, last);
      }
    }
    return out;
  }

  // The far end's text as an ideal receiver puts it together: each SSRC in turn, packets in sequence
  // order, a lost one filled from a later one's redundancy, else a lost-text mark.
  Sourced reassembled() const {
    Sourced out;
    const std::set<std::uint32_t> left = interleaved();
    std::string mark;
    utf8::append(mark, utf8::kLostTextMark);
    for (const auto& [ssrc, packets] : bySequence()) {
      if (left.count(ssrc)) continue;
      std::map<std::int64_t, std::pair<std::string, const FarPacket*>> text;
      for (const auto& [seq, f] : packets) {
        if (f->p->kind != PayloadKind::Red && f->p->kind != PayloadKind::T140) continue;
        text[seq] = {f->p->text, f};
        const int n = static_cast<int>(f->p->generations.size());
        for (int k = 1; k <= n; ++k) text.emplace(seq - k, std::make_pair(f->p->generations[n - k].text, f));
      }
      std::optional<std::int64_t> prev;
      for (const auto& [seq, t] : text) {
        if (prev && seq != *prev + 1) out.add(mark, "a loss before " + where(*t.second));
        out.add(t.first, where(*t.second));
        prev = seq;
      }
    }
    return out;
  }

  RuleResult bom(const Rule& rule) {
    Outcome o;
    const std::string text = reassembled().text;
    std::size_t at = 0;
    while (at < text.size() && text.compare(at, 3, "\xEF\xBF\xBD") == 0) at += 3;  // a loss before anything
    if (at >= text.size()) return o.result(rule, "the far end sent no text");
    std::size_t probe = at;
    const auto first = utf8::next(text, probe);
    if (first && *first == utf8::kByteOrderMark) {
      o.pass();
      return o.result(rule, "the far end's stream opens with U+FEFF");
    }
    const FarPacket* carrier = nullptr;
    for (const FarPacket& f : far_)
      if (!carrier && (f.p->kind == PayloadKind::Red || f.p->kind == PayloadKind::T140) && !f.p->text.empty()) carrier = &f;
    o.fail("the far end's text opens with " + excerpt(std::string_view(text).substr(at), 12) +
           (carrier ? ", first sent in " + where(*carrier) : std::string()));
    return o.result(rule, "the far end's stream opens without a byte order mark");
  }

  RuleResult marker(const Rule& rule) {
    Outcome o;
    if (far_.empty()) return o.result(rule, "no packet from the far end");
    const FarPacket& first = far_.front();
    if (first.p->marker) o.pass();
    else o.fail(where(first) + ": the far end's first packet has no marker bit");
    std::map<std::uint32_t, const FarPacket*> last;
    int resumed = 0;
    for (const FarPacket& f : far_) {
      auto it = last.find(f.p->ssrc);
      if (it != last.end()) {
        const std::int64_t gapMs = (f.p->us - it->second->p->us) / 1000;
        const std::int64_t tsMs = delta32(f.p->ts, it->second->p->ts);
        // A silence is the far end's only when no packet of its was lost in it.
        const bool next = static_cast<std::uint16_t>(f.p->seq - it->second->p->seq) == 1;
        if (next && gapMs >= kIdleMs && (tsMs < 0 || tsMs >= kIdleMs)) {
          ++resumed;
          if (f.p->marker) o.pass();
          else o.fail(where(f) + ": follows " + ms(gapMs) + " of silence without the marker bit");
        }
      }
      last[f.p->ssrc] = &f;
    }
    return o.result(rule, "the first packet, and " + counted(resumed, "packet", "packets") + " after a silence of " +
                              ms(kIdleMs) + " or more");
  }

  RuleResult clock(const Rule& rule) {
    Outcome o;
    int judged = 0;
    std::map<std::uint32_t, std::vector<const FarPacket*>> bySsrc;
    for (const FarPacket& f : far_) bySsrc[f.p->ssrc].push_back(&f);
    char buf[200];
    const auto sequences = bySequence();
    for (const auto& [ssrc, ps] : bySsrc) {
      // Timestamps must never go back in sequence order.
      if (auto s = sequences.find(ssrc); s != sequences.end()) {
        const FarPacket* prev = nullptr;
        for (const auto& [seq, f] : s->second) {
          if (prev && delta32(f->p->ts, prev->p->ts) < 0)
            o.fail(where(*f) + ": its timestamp " + std::to_string(f->p->ts) + " is before the previous packet's " +
                   std::to_string(prev->p->ts));
          prev = f;
        }
      }
      const double spanMs = static_cast<double>(ps.back()->p->us - ps.front()->p->us) / 1000.0;
      if (ps.size() < 3 || spanMs < kClockMinSpanMs) continue;
      ++judged;
      // Least squares of the unwrapped timestamps against arrival, both in milliseconds.
      double sx = 0, sy = 0, sxx = 0, sxy = 0;
      std::int64_t ts = 0;
      for (std::size_t i = 0; i < ps.size(); ++i) {
        if (i) ts += delta32(ps[i]->p->ts, ps[i - 1]->p->ts);
        const double x = static_cast<double>(ps[i]->p->us - ps.front()->p->us) / 1000.0;
        const double y = static_cast<double>(ts);
        sx += x, sy += y, sxx += x * x, sxy += x * y;
      }
      const double n = static_cast<double>(ps.size());
      const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
      const double tolerance = std::max(kClockTolerance, 250.0 / spanMs);
      std::snprintf(buf, sizeof buf,
                    "SSRC %08x: timestamps advance %.3f a millisecond over %.1f s (%zu packets, %s to %s): a clock "
                    "of about %.0f Hz",
                    ssrc, slope, spanMs / 1000, ps.size(), where(*ps.front()).c_str(), where(*ps.back()).c_str(),
                    slope * 1000);
      if (!std::isfinite(slope) || std::abs(slope - 1.0) > tolerance) o.fail(buf);
      else o.pass();
    }
    if (judged == 0) return o.result(rule, "no SSRC of the far end sent 3 packets over " + ms(kClockMinSpanMs));
    return o.result(rule, counted(judged, "SSRC", "SSRCs") + " of the far end timed against arrival");
  }

  RuleResult interval(const Rule& rule) {
    Outcome o;
    int gaps = 0;
    std::int64_t longest = 0;
    std::map<std::uint32_t, const FarPacket*> last;
    for (const FarPacket& f : far_) {
      const FarPacket* previous = last.count(f.p->ssrc) ? last[f.p->ssrc] : nullptr;
      last[f.p->ssrc] = &f;
      if (!previous) continue;
      const RtpPacket& a = *previous->p;
      const RtpPacket& b = *f.p;
      const bool aBusy = carriesText(a) || carriesRedundancy(a);
      const bool bBusy = carriesText(b) || carriesRedundancy(b);
      const std::int64_t g = (b.us - a.us) / 1000;
      // Only packets next to each other in sequence: a loss between them is the network's gap.
      if (!aBusy || !bBusy || b.marker || g >= kIdleMs || static_cast<std::uint16_t>(b.seq - a.seq) != 1) continue;
      std::int64_t t = delta32(b.ts, a.ts);
      if (t < 0 || t > 60000) t = g;
      const std::int64_t slow = std::min(g, t), fast = std::max(g, t);
      ++gaps;
      longest = std::max(longest, slow);
      const std::string gap = ms(g) + (t != g ? " (" + std::to_string(t) + " by its timestamps)" : std::string());
      if (slow > kIntervalMaxMs + kIntervalToleranceMs) {
        o.fail(where(f) + ": " + gap + " after the previous packet while typing");
      } else if (carriesText(a) && carriesText(b) && fast < kIntervalMinMs - kIntervalToleranceMs) {
        o.fail(where(f) + ": only " + gap + " after the previous one");
      } else if (slow > kIntervalWarnMs) {
        o.warn(where(f) + ": " + gap + " after the previous packet");
      } else {
        o.pass();
      }
    }
    if (gaps == 0) return o.result(rule, "the far end never sent two packets in a row while typing");
    std::string summary = std::to_string(gaps) + " intervals while typing, the longest " + ms(longest);
    if (o.failCount) summary += ", " + std::to_string(o.failCount) + " outside 300-500 ms";
    if (o.warnCount) summary += ", " + std::to_string(o.warnCount) + " over 330 ms";
    return o.result(rule, summary);
  }

  RuleResult cps(const Rule& rule) {
    Outcome o;
    struct Chars {
      const FarPacket* f;
      std::size_t n;
    };
    std::vector<Chars> chars;
    std::set<std::pair<std::uint32_t, std::uint16_t>> seen;
    for (const FarPacket& f : far_) {
      if (!carriesText(*f.p) || !seen.insert({f.p->ssrc, f.p->seq}).second) continue;
      chars.push_back({&f, characters(f.p->text)});
    }
    if (chars.empty()) return o.result(rule, "the far end sent no text");
    // Each SSRC is a stream of its own (two at once are stream.single's concern).
    std::size_t best = 0;
    const FarPacket* bestAt = chars.front().f;
    std::map<std::uint32_t, std::vector<Chars>> bySsrc;
    for (const Chars& c : chars) bySsrc[c.f->p->ssrc].push_back(c);
    for (const auto& [ssrc, cs] : bySsrc) {
      std::size_t sum = 0, j = 0;
      for (std::size_t i = 0; i < cs.size(); ++i) {
        while (j < cs.size() && cs[j].f->p->us < cs[i].f->p->us + kCpsWindowMs * 1000LL) sum += cs[j++].n;
        if (sum > best) best = sum, bestAt = cs[i].f;
        sum -= cs[i].n;
      }
    }
    const Period* p = periodAt(bestAt->p->us);
    const int limit = p ? p->cps : 30;
    const double allowed = limit * (kCpsWindowMs / 1000) * kCpsTolerance;
    const std::string peak = std::to_string(best) + " characters in the 10 s from " + where(*bestAt) +
                             " (cps " + std::to_string(limit) + ": " + std::to_string(limit * kCpsWindowMs / 1000) +
                             ")";
    if (static_cast<double>(best) > allowed) {
      o.fail(peak);
      return o.result(rule, "the far end sends faster than the cps we declared");
    }
    if (best * 2 < static_cast<std::size_t>(limit * kCpsWindowMs / 1000))
      return o.result(rule, "the far end's busiest 10 s held " + std::to_string(best) + " characters, under half of " +
                                std::to_string(limit * kCpsWindowMs / 1000));
    o.pass();
    return o.result(rule, "at most " + peak);
  }

  RuleResult wellFormed(const Rule& rule) {
    Outcome o;
    std::size_t total = 0;
    for (const FarPacket& f : far_) {
      if (f.p->kind != PayloadKind::Red && f.p->kind != PayloadKind::T140) continue;
      auto check = [&](const std::string& text, const std::string& what) {
        total += text.size();
        const std::size_t bad = utf8::firstInvalid(text);
        if (bad == std::string::npos) return;
        char b[8];
        std::snprintf(b, sizeof b, "0x%02X", static_cast<unsigned char>(text[bad]));
        o.fail(where(f) + ": " + what + " byte " + std::to_string(bad + 1) + " (" + b + ") is not UTF-8 in " +
               quote(text.substr(0, 40)));
      };
      check(f.p->text, "its new text,");
      for (std::size_t k = 0; k < f.p->generations.size(); ++k)
        check(f.p->generations[k].text, "its redundant block " + std::to_string(k + 1) + ",");
    }
    if (total == 0) return o.result(rule, "the far end sent no text");
    o.pass();
    return o.result(rule, std::to_string(total) + " bytes of the far end's text");
  }

  RuleResult delivery(const Rule& rule) {
    Outcome o;
    int sides = 0;
    std::vector<std::string> notes;
    auto compare = [&](const std::string& sent, const Sourced& got, const std::string& what) {
      ++sides;
      std::vector<int> sources;
      const std::u32string arrived = normalise(got.text, &got.from, &sources);
      std::size_t cutAt;
      const auto found = departures(normalise(sent), arrived, &cutAt);
      if (cutAt != std::u32string::npos)
        notes.push_back(what + " compared up to character " + std::to_string(cutAt) + " of " +
                        std::to_string(arrived.size()));
      for (const Departure& d : found) {
        const std::string at = got.place(d.at < sources.size() ? sources[d.at] : -1);
        switch (d.kind) {
          case Departure::Duplicated: o.fail(what + ": " + quote(d.text) + " arrived twice, in " + at); break;
          case Departure::Reordered: o.fail(what + ": " + quote(d.text) + " arrived out of order, in " + at); break;
          case Departure::LostUnmarked:
            o.fail(what + ": " + quote(d.text) + " went missing with no mark, before " + at);
            break;
        }
      }
      if (found.empty()) o.pass();
    };
    if (!farTyped_.empty()) {
      std::string typed;
      for (const TextEvent* e : farTyped_) typed += e->text;
      compare(typed, reassembled(), "typed at the far side, sent by the far end");
    }
    if (!farShown_.empty()) {
      std::string sent;
      Sourced shown;
      std::set<std::pair<std::uint32_t, std::uint16_t>> seen;
      for (const RtpPacket* p : ours_)
        if ((p->kind == PayloadKind::Red || p->kind == PayloadKind::T140) && seen.insert({p->ssrc, p->seq}).second)
          sent += p->text;
      for (const TextEvent* e : farShown_) shown.add(e->text, "the far side's display at " + secs(e->us));
      compare(sent, shown, "sent by us, shown at the far side");
    }
    if (sides == 0) return o.result(rule, "the trace shows nothing typed or shown at the far side");
    std::string summary = sides == 2 ? "both directions" : farTyped_.empty() ? "our text as the far side showed it"
                                                                            : "the far side's typing as it arrived";
    for (const std::string& n : notes) summary += "; " + n;
    return o.result(rule, summary);
  }

  std::vector<FarPacket> far_;
  std::vector<const RtpPacket*> ours_;
  std::vector<Message> sip_;
  std::vector<const TextEvent*> farTyped_, farShown_;
  std::vector<Exchange> exchanges_;
  std::vector<Period> periods_;
  std::int64_t endUs_ = 0;
  std::optional<std::int64_t> byeUs_, callEndUs_;
};

}  // namespace

std::vector<RuleResult> judge(const Trace& trace) { return Judge(trace).all(); }

}  // namespace rttmodem::trace
