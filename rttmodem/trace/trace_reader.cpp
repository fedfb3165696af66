// SPDX-License-Identifier: Apache-2.0
#include "trace_reader.h"

#include <charconv>
#include <fstream>
#include <map>

#include "trace_utf8.h"

namespace rttmodem::trace {
namespace {

// One word of a line: positional ("in", "\"text\"") or keyed ("seq=12", "gen=98/300:\"ab\"").
struct Token {
  bool keyed = false;
  std::string key;
  std::string bare;  // the unquoted part (all of a bare word; what precedes the quotes of a value)
  bool quoted = false;
  std::string text;  // the quoted part, unescaped
};

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The inside of a quoted string from s[at] (just past the opening quote) to its closing quote;
// at ends past the closing quote. untilEnd: a body line, which runs to the end with no quote.
bool unquote(std::string_view s, std::size_t& at, std::string& out, bool untilEnd, std::string* error) {
  for (;;) {
    if (at >= s.size()) {
      if (untilEnd) return true;
      *error = "a quoted text has no closing quote";
      return false;
    }
    const char c = s[at++];
    if (c == '"' && !untilEnd) return true;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (at >= s.size()) {
      *error = "a quoted text ends in a lone backslash";
      return false;
    }
    const char e = s[at++];
    switch (e) {
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x': {
        const int hi = at < s.size() ? hexDigit(s[at]) : -1;
        const int lo = at + 1 < s.size() ? hexDigit(s[at + 1]) : -1;
        if (hi < 0 || lo < 0) {
          *error = "\\x is not followed by two hexadecimal digits";
          return false;
        }
        out += static_cast<char>(hi * 16 + lo);
        at += 2;
        break;
      }
      case 'u': {
        if (at >= s.size() || s[at] != '{') {
          *error = "\\u is not followed by {";
          return false;
        }
        ++at;
        char32_t c32 = 0;
        int digits = 0;
        while (at < s.size() && s[at] != '}') {
          const int d = hexDigit(s[at++]);
          if (d < 0 || ++digits > 6) {
            *error = "\\u{...} holds no hexadecimal code point";
            return false;
          }
          c32 = c32 * 16 + static_cast<char32_t>(d);
        }
        if (at >= s.size() || digits == 0 || c32 > 0x10FFFF || (c32 >= 0xD800 && c32 <= 0xDFFF)) {
          *error = "\\u{...} holds no character";
          return false;
        }
        ++at;
        utf8::append(out, c32);
        break;
      }
      default:
        *error = std::string("unknown escape \\") + e;
        return false;
    }
  }
}

bool tokenize(std::string_view line, std::vector<Token>& out, std::string* error) {
  std::size_t at = 0;
  for (;;) {
    while (at < line.size() && line[at] == ' ') ++at;
    if (at >= line.size()) return true;
    Token t;
    while (at < line.size() && line[at] != ' ' && line[at] != '"') {
      if (line[at] == '=' && !t.keyed) {
        t.keyed = true;
        t.key = t.bare;
        t.bare.clear();
        if (t.key.empty()) {
          *error = "a word starts with '='";
          return false;
        }
      } else {
        t.bare += line[at];
      }
      ++at;
    }
    if (at < line.size() && line[at] == '"') {
      if (!t.keyed && !t.bare.empty()) {
        *error = "a quote in the middle of a word";
        return false;
      }
      ++at;
      t.quoted = true;
      if (!unquote(line, at, t.text, false, error)) return false;
      if (at < line.size() && line[at] != ' ') {
        *error = "text right after a closing quote";
        return false;
      }
    }
    out.push_back(std::move(t));
  }
}

template <typename T>
bool number(std::string_view s, T max, T* out, int base = 10) {
  if (s.empty() || s.size() > 20) return false;
  T v{};
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (ec != std::errc() || end != s.data() + s.size() || v > max) return false;
  *out = v;
  return true;
}

// Seconds with up to six decimals, as microseconds.
bool time(std::string_view s, std::int64_t* us) {
  bool negative = false;
  if (!s.empty() && s[0] == '-') {
    negative = true;
    s.remove_prefix(1);
  }
  const std::size_t dot = s.find('.');
  std::uint64_t whole = 0, frac = 0;
  if (!number<std::uint64_t>(s.substr(0, dot), 9'000'000'000'000ull, &whole)) return false;
  if (dot != std::string_view::npos) {
    const std::string_view f = s.substr(dot + 1);
    if (f.empty() || f.size() > 6 || !number<std::uint64_t>(f, 999999, &frac)) return false;
    for (std::size_t i = f.size(); i < 6; ++i) frac *= 10;
  }
  const auto v = static_cast<std::int64_t>(whole * 1000000 + frac);
  *us = negative ? -v : v;
  return true;
}

bool unhex(std::string_view s, std::string* out) {
  if (s.size() % 2) return false;
  out->clear();
  for (std::size_t i = 0; i < s.size(); i += 2) {
    const int hi = hexDigit(s[i]), lo = hexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    *out += static_cast<char>(hi * 16 + lo);
  }
  return true;
}

// A line's words: the positional ones in order, the keyed ones by key (gen may repeat).
struct Words {
  std::vector<Token> positional;
  std::map<std::string, Token> keyed;
  std::vector<Token> generations;
};

class LineReader {
 public:
  explicit LineReader(std::string* error) : error_(error) {}

  bool fail(const std::string& why) {
    *error_ = why;
    return false;
  }

  bool split(std::string_view line, Words& w) {
    std::vector<Token> tokens;
    if (!tokenize(line, tokens, error_)) return false;
    for (Token& t : tokens) {
      if (!t.keyed) {
        w.positional.push_back(std::move(t));
      } else if (t.key == "gen") {
        w.generations.push_back(std::move(t));
      } else if (!w.keyed.emplace(t.key, t).second) {
        return fail(t.key + "= is given twice");
      }
    }
    return true;
  }

  // A word's value as text: quoted, or bare.
  static std::string text(const Token& t) { return t.quoted ? t.text : t.bare; }

  bool positionalTime(const Words& w, std::size_t i, std::int64_t* us) {
    if (w.positional.size() <= i || w.positional[i].quoted || !time(w.positional[i].bare, us))
      return fail("no time in seconds where one belongs");
    return true;
  }

  bool direction(const Words& w, std::size_t i, Direction* d) {
    const std::string v = w.positional.size() > i ? w.positional[i].bare : "";
    if (v == "in") *d = Direction::In;
    else if (v == "out") *d = Direction::Out;
    else return fail("no direction (in or out) where one belongs");
    return true;
  }

  template <typename T>
  bool keyNumber(const Words& w, const std::string& key, T max, T* out, bool required = true, int base = 10) {
    auto it = w.keyed.find(key);
    if (it == w.keyed.end()) return required ? fail(key + "= is missing") : true;
    if (it->second.quoted || !number(it->second.bare, max, out, base))
      return fail(key + "=" + it->second.bare + " is not a number up to " + std::to_string(max));
    return true;
  }

  bool keyText(const Words& w, const std::string& key, std::string* out, bool required = false) {
    auto it = w.keyed.find(key);
    if (it == w.keyed.end()) return required ? fail(key + "= is missing") : true;
    *out = text(it->second);
    return true;
  }

 private:
  std::string* error_;
};

bool readCall(LineReader& r, const Words& w, CallHeader* c) {
  if (!r.keyText(w, "id", &c->id) || !r.keyText(w, "role", &c->role) || !r.keyText(w, "local", &c->local) ||
      !r.keyText(w, "peer", &c->peer) || !r.keyText(w, "started", &c->started))
    return false;
  auto it = w.keyed.find("origin");
  if (it != w.keyed.end() && (it->second.quoted || !time(it->second.bare, &c->originUs)))
    return r.fail("origin= is not a time in seconds");
  return true;
}

bool readSip(LineReader& r, const Words& w, SipMessage* m, std::size_t* bodyBytes, bool* hasBody) {
  if (!r.positionalTime(w, 0, &m->us) || !r.direction(w, 1, &m->dir)) return false;
  if (w.positional.size() != 3) return r.fail("a SIP line names one method or status after its direction");
  const Token& what = w.positional[2];
  int status = 0;
  if (!what.quoted && what.bare.size() == 3 && number(what.bare, 699, &status)) {
    if (status < 100) return r.fail("SIP status " + what.bare + " is below 100");
    m->status = status;
    if (!r.keyText(w, "method", &m->cseqMethod, true) || !r.keyText(w, "reason", &m->reason)) return false;
  } else {
    m->method = LineReader::text(what);
    if (m->method.empty()) return r.fail("a SIP request without a method");
  }
  if (!r.keyNumber<std::uint32_t>(w, "cseq", 0xFFFFFFFFu, &m->cseq)) return false;
  std::string sdp;
  if (!r.keyText(w, "sdp", &sdp)) return false;
  if (sdp == "offer") m->sdp = SdpRole::Offer;
  else if (sdp == "answer") m->sdp = SdpRole::Answer;
  else if (!sdp.empty()) return r.fail("sdp=" + sdp + " is neither offer nor answer");
  *hasBody = w.keyed.count("bytes") > 0;
  return !*hasBody || r.keyNumber<std::size_t>(w, "bytes", kMaxTraceBytes, bodyBytes);
}

bool readRtp(LineReader& r, const Words& w, RtpPacket* p) {
  if (!r.positionalTime(w, 0, &p->us) || !r.direction(w, 1, &p->dir)) return false;
  if (w.positional.size() != 3) return r.fail("an RTP line names one payload kind after its direction");
  unsigned marker = 0;
  if (!r.keyNumber<std::uint32_t>(w, "ssrc", 0xFFFFFFFFu, &p->ssrc, true, 16) ||
      !r.keyNumber<std::uint16_t>(w, "seq", 0xFFFF, &p->seq) ||
      !r.keyNumber<std::uint32_t>(w, "ts", 0xFFFFFFFFu, &p->ts) || !r.keyNumber<unsigned>(w, "m", 1, &marker) ||
      !r.keyNumber<int>(w, "pt", 127, &p->pt) || !r.keyNumber<std::size_t>(w, "len", 1u << 20, &p->length))
    return false;
  p->marker = marker == 1;
  const std::string kind = w.positional[2].quoted ? "" : w.positional[2].bare;
  auto newText = w.keyed.find("new");
  if (kind == "t140" || kind == "red") {
    if (newText == w.keyed.end() || !newText->second.quoted) return r.fail("the packet's new= text is missing");
  } else if (newText != w.keyed.end()) {
    return r.fail("new= on a packet that is not text");
  }
  if (kind != "red" && !w.generations.empty()) return r.fail("gen= on a packet that is not red");
  if (kind == "t140") {
    p->kind = PayloadKind::T140;
    if (!newText->second.bare.empty()) return r.fail("a t140 packet's new= text has a payload type");
    p->text = newText->second.text;
  } else if (kind == "red") {
    p->kind = PayloadKind::Red;
    const std::string& head = newText->second.bare;  // "98:"
    if (head.size() < 2 || head.back() != ':' || !number<int>(std::string_view(head).substr(0, head.size() - 1), 127, &p->primaryPt))
      return r.fail("a red packet's new= does not start with its payload type and ':'");
    p->text = newText->second.text;
    for (const Token& g : w.generations) {
      const std::string& h = g.bare;  // "98/300:"
      const std::size_t slash = h.find('/');
      Generation gen;
      if (!g.quoted || slash == std::string::npos || h.back() != ':' ||
          !number<int>(std::string_view(h).substr(0, slash), 127, &gen.pt) ||
          !number<int>(std::string_view(h).substr(slash + 1, h.size() - slash - 2), 0x3FFF, &gen.offset))
        return r.fail("gen=" + h + " is not PT/OFFSET:\"TEXT\"");
      gen.text = g.text;
      p->generations.push_back(std::move(gen));
    }
  } else if (kind == "other" || kind == "bad") {
    p->kind = kind == "other" ? PayloadKind::Other : PayloadKind::Bad;
    auto raw = w.keyed.find("raw");
    if (raw == w.keyed.end() || raw->second.quoted || !unhex(raw->second.bare, &p->raw))
      return r.fail("raw= holds no hexadecimal bytes");
    if (p->kind == PayloadKind::Bad && !r.keyText(w, "error", &p->error)) return false;
  } else {
    return r.fail("unknown payload kind '" + kind + "' (t140, red, other, bad)");
  }
  return true;
}

bool readText(LineReader& r, const Words& w, TextEvent* t) {
  if (!r.positionalTime(w, 0, &t->us)) return false;
  if (w.positional.size() != 3 || !w.positional[2].quoted) return r.fail("a text line is TIME SIDE \"TEXT\"");
  t->side = LineReader::text(w.positional[1]);
  t->text = w.positional[2].text;
  return true;
}

}  // namespace

ReadResult readTrace(std::string_view text) {
  ReadResult result;
  Trace trace;
  std::string error;
  LineReader reader(&error);
  int lineNo = 0;
  bool sawHeader = false, sawCall = false;
  // The body of the last SIP message, while its lines are being read.
  struct PendingBody {
    std::size_t event;
    std::size_t bytes;
    std::string joined;
    int pieces = 0;
  };
  std::optional<PendingBody> body;

  auto finishBody = [&](bool atEnd) -> bool {
    if (!body) return true;
    PendingBody b = std::move(*body);
    body.reset();
    if (b.joined.size() + 2 == b.bytes) b.joined += "\r\n";
    if (b.joined.size() != b.bytes) {
      if (atEnd && !result.ended) {  // cut short inside the body: the message is dropped
        result.warnings.push_back("the trace ends inside a message body: the message is left out");
        trace.events.erase(trace.events.begin() + static_cast<std::ptrdiff_t>(b.event));
        trace.lines.erase(trace.lines.begin() + static_cast<std::ptrdiff_t>(b.event));
        return true;
      }
      error = "line " + std::to_string(trace.lines[b.event]) + ": the message body holds " +
              std::to_string(b.joined.size()) + " bytes, not the " + std::to_string(b.bytes) + " its bytes= says";
      return false;
    }
    std::get<SipMessage>(trace.events[b.event]).body = std::move(b.joined);
    return true;
  };

  auto refuse = [&](const std::string& why) {
    result.error = "line " + std::to_string(lineNo) + ": " + why;
    return result;
  };

  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t nl = text.find('\n', from);
    ++lineNo;
    if (nl == std::string_view::npos) {
      result.warnings.push_back("line " + std::to_string(lineNo) +
                                " is cut short (no line end): it is left out");
      break;
    }
    std::string_view line = text.substr(from, nl - from);
    from = nl + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (!line.empty() && line[0] == '|') {
      if (!body) return refuse("a body line belongs to no message with bytes=");
      std::string_view rest = line.substr(1);
      if (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
      std::string piece;
      std::size_t at = 0;
      if (!unquote(rest, at, piece, true, &error)) return refuse(error);
      if (body->pieces++) body->joined += "\r\n";
      body->joined += piece;
      if (body->joined.size() > body->bytes) return refuse("the message body is longer than its bytes= says");
      continue;
    }
    if (!finishBody(false)) {
      result.error = error;
      return result;
    }
    if (line.empty() || line[0] == '#') continue;
    if (result.ended) return refuse("an event after the trace's end line");

    if (!sawHeader) {
      if (line.substr(0, kMagic.size()) != kMagic || line.size() < kMagic.size() + 2 || line[kMagic.size()] != ' ')
        return refuse("not an RTT wire trace (it does not begin with \"rtt-trace 1\")");
      int version = 0;
      if (!number(line.substr(kMagic.size() + 1), 1000000, &version) || version < 1)
        return refuse("the trace's format version is not a number");
      if (version > kFormatVersion)
        return refuse("the trace's format version " + std::to_string(version) + " is newer than this reader's (" +
                      std::to_string(kFormatVersion) + ")");
      sawHeader = true;
      continue;
    }

    const std::size_t space = line.find(' ');
    const std::string kind(line.substr(0, space));
    Words w;
    if (!reader.split(space == std::string_view::npos ? std::string_view() : line.substr(space + 1), w))
      return refuse(error);

    if (kind == "call") {
      if (sawCall) return refuse("a second call line");
      if (!trace.events.empty()) return refuse("the call line comes after events");
      if (!readCall(reader, w, &trace.call)) return refuse(error);
      sawCall = true;
      continue;
    }
    Event event;
    if (kind == "sip") {
      SipMessage m;
      std::size_t bytes = 0;
      bool hasBody = false;
      if (!readSip(reader, w, &m, &bytes, &hasBody)) return refuse(error);
      if (hasBody) body = PendingBody{trace.events.size(), bytes, {}, 0};
      event = std::move(m);
    } else if (kind == "rtp") {
      RtpPacket p;
      if (!readRtp(reader, w, &p)) return refuse(error);
      event = std::move(p);
    } else if (kind == "typed" || kind == "shown") {
      TextEvent t;
      t.kind = kind == "typed" ? TextEvent::Kind::Typed : TextEvent::Kind::Shown;
      if (!readText(reader, w, &t)) return refuse(error);
      event = std::move(t);
    } else if (kind == "note") {
      Note n;
      if (!reader.positionalTime(w, 0, &n.us)) return refuse(error);
      if (w.positional.size() != 2 || !w.positional[1].quoted) return refuse("a note is TIME \"TEXT\"");
      n.text = w.positional[1].text;
      event = std::move(n);
    } else if (kind == "end") {
      End e;
      if (!reader.positionalTime(w, 0, &e.us) || !reader.keyText(w, "reason", &e.reason)) return refuse(error);
      event = std::move(e);
      result.ended = true;
    } else {
      result.warnings.push_back("line " + std::to_string(lineNo) + ": unknown event '" + kind + "' left out");
      continue;
    }
    trace.events.push_back(std::move(event));
    trace.lines.push_back(lineNo);
  }
  if (!finishBody(true)) {
    result.error = error;
    return result;
  }
  if (!sawHeader) {
    result.error = "the trace is empty";
    return result;
  }
  if (!sawCall) result.warnings.push_back("the trace has no call line");
  if (!result.ended) result.warnings.push_back("the trace has no end line: the call was cut short");
  result.trace = std::move(trace);
  return result;
}

ReadResult readTraceFile(const std::filesystem::path& path) {
  ReadResult result;
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) {
    result.error = "cannot read it: " + ec.message();
    return result;
  }
  if (size > kMaxTraceBytes) {
    result.error = "it is larger than " + std::to_string(kMaxTraceBytes >> 20) + " MB";
    return result;
  }
  std::ifstream in(path, std::ios::binary);
  std::string text(static_cast<std::size_t>(size), '\0');
  if (!in.read(text.data(), static_cast<std::streamsize>(size))) {
    result.error = "cannot read it";
    return result;
  }
  return readTrace(text);
}

}  // namespace rttmodem::trace
