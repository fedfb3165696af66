// SPDX-License-Identifier: Apache-2.0
#include "wire_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <system_error>

#include "trace_utf8.h"

namespace rttmodem::trace {
namespace {

// Characters that would hide, join or move text on a terminal or in an editor: written as \u{H}.
bool hidden(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
         (c >= 0x2060 && c <= 0x2069) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB);
}

bool isTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("-._!%*+`'~").find(c) != std::string_view::npos;
}

bool allDigits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// A word of the format: bare when it is a token (and cannot be taken for a number), else quoted.
std::string word(std::string_view s) {
  bool token = !s.empty() && !allDigits(s);
  for (char c : s) token = token && isTokenChar(c);
  return token ? std::string(s) : quote(s);
}

const char* direction(Direction d) { return d == Direction::In ? "in" : "out"; }

std::string hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char b : bytes) {
    out += digits[static_cast<unsigned char>(b) >> 4];
    out += digits[static_cast<unsigned char>(b) & 0xF];
  }
  return out;
}

std::string formatSip(const SipMessage& m) {
  std::string line = "sip " + seconds(m.us) + " " + direction(m.dir) + " ";
  if (m.isRequest()) {
    line += word(m.method) + " cseq=" + std::to_string(m.cseq);
  } else {
    line += std::to_string(m.status) + " cseq=" + std::to_string(m.cseq) + " method=" + word(m.cseqMethod) +
            " reason=" + quote(m.reason);
  }
  if (m.sdp != SdpRole::None) line += m.sdp == SdpRole::Offer ? " sdp=offer" : " sdp=answer";
  if (!m.body) return line + "\n";
  line += " bytes=" + std::to_string(m.body->size()) + "\n";
  // The body's lines, split at CR LF, each behind "| "; a final CR LF is implied by the length.
  std::string_view body = *m.body;
  if (body.empty()) return line;
  if (body.size() >= 2 && body.substr(body.size() - 2) == "\r\n") body.remove_suffix(2);
  std::size_t from = 0;
  for (;;) {
    const std::size_t crlf = body.find("\r\n", from);
    const std::string_view piece = body.substr(from, crlf == std::string_view::npos ? std::string_view::npos : crlf - from);
    const std::string q = quote(piece);
    line += "| " + q.substr(1, q.size() - 2) + "\n";
    if (crlf == std::string_view::npos) break;
    from = crlf + 2;
  }
  return line;
}

std::string formatRtp(const RtpPacket& p) {
  char head[160];
  std::snprintf(head, sizeof head, " ssrc=%08" PRIx32 " seq=%u ts=%" PRIu32 " m=%d pt=%d len=%zu", p.ssrc,
                static_cast<unsigned>(p.seq), p.ts, p.marker ? 1 : 0, p.pt, p.length);
  std::string line = "rtp " + seconds(p.us) + " " + direction(p.dir) + head;
  switch (p.kind) {
    case PayloadKind::T140:
      line += " t140 new=" + quote(p.text);
      break;
    case PayloadKind::Red:
      line += " red";
      for (const Generation& g : p.generations)
        line += " gen=" + std::to_string(g.pt) + "/" + std::to_string(g.offset) + ":" + quote(g.text);
      line += " new=" + std::to_string(p.primaryPt) + ":" + quote(p.text);
      break;
    case PayloadKind::Other:
      line += " other raw=" + hex(p.raw);
      break;
    case PayloadKind::Bad:
      line += " bad raw=" + hex(p.raw) + " error=" + quote(p.error);
      break;
  }
  return line + "\n";
}

}  // namespace

std::int64_t eventTime(const Event& e) {
  return std::visit([](const auto& v) { return v.us; }, e);
}

std::string quote(std::string_view s) {
  std::string out = "\"";
  std::size_t at = 0;
  char buf[16];
  while (at < s.size()) {
    const char b = s[at];
    const auto u = static_cast<unsigned char>(b);
    if (u < 0x80) {
      ++at;
      if (b == '"' || b == '\\') {
        out += '\\';
        out += b;
      } else if (b == '\n') {
        out += "\\n";
      } else if (b == '\r') {
        out += "\\r";
      } else if (b == '\t') {
        out += "\\t";
      } else if (u < 0x20 || u == 0x7F) {
        std::snprintf(buf, sizeof buf, "\\x%02X", u);
        out += buf;
      } else {
        out += b;
      }
      continue;
    }
    const std::size_t start = at;
    const auto c = utf8::next(s, at);
    if (!c) {
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      out += buf;
      ++at;
    } else if (hidden(*c)) {
      std::snprintf(buf, sizeof buf, "\\u{%X}", static_cast<unsigned>(*c));
      out += buf;
    } else {
      out.append(s, start, at - start);
    }
  }
  return out + "\"";
}

std::string seconds(std::int64_t us) {
  char buf[40];
  const bool negative = us < 0;
  const std::uint64_t a = negative ? 0 - static_cast<std::uint64_t>(us) : static_cast<std::uint64_t>(us);
  std::snprintf(buf, sizeof buf, "%s%" PRIu64 ".%06" PRIu64, negative ? "-" : "", a / 1000000, a % 1000000);
  return buf;
}

std::string formatHeader(const CallHeader& c) {
  std::string s = std::string(kMagic) + " " + std::to_string(kFormatVersion) + "\n";
  s += "call id=" + quote(c.id) + " role=" + quote(c.role) + " local=" + quote(c.local) +
       " peer=" + quote(c.peer) + " started=" + quote(c.started) + " origin=" + seconds(c.originUs) + "\n";
  return s;
}

std::string formatEvent(const Event& e) {
  struct {
    std::string operator()(const SipMessage& m) const { return formatSip(m); }
    std::string operator()(const RtpPacket& p) const { return formatRtp(p); }
    std::string operator()(const TextEvent& t) const {
      return std::string(t.kind == TextEvent::Kind::Typed ? "typed " : "shown ") + seconds(t.us) + " " +
             word(t.side) + " " + quote(t.text) + "\n";
    }
    std::string operator()(const Note& n) const { return "note " + seconds(n.us) + " " + quote(n.text) + "\n"; }
    std::string operator()(const End& e) const {
      return "end " + seconds(e.us) + " reason=" + quote(e.reason) + "\n";
    }
  } visitor;
  return std::visit(visitor, e);
}

std::string formatTrace(const Trace& t) {
  std::string s = formatHeader(t.call);
  for (const Event& e : t.events) s += formatEvent(e);
  return s;
}

TraceWriter::TraceWriter(std::ostream& out, const CallHeader& call) : out_(out) {
  out_ << formatHeader(call) << std::flush;
}

void TraceWriter::write(const Event& e) {
  if (ended_) return;
  out_ << formatEvent(e) << std::flush;
}

void TraceWriter::end(std::int64_t us, const std::string& reason) {
  if (ended_) return;
  write(End{us, reason});
  ended_ = true;
}

namespace {

// NAME, then NAME-2, NAME-3, ... before the extension: another program writing traces into the same
// folder (the other end of a gateway, started in the same second) gets names of its own.
std::string nthName(const std::string& name, int n) {
  if (n == 1) return name;
  const std::size_t dot = name.ends_with(kFileExtension) ? name.size() - kFileExtension.size() : name.size();
  return name.substr(0, dot) + "-" + std::to_string(n) + name.substr(dot);
}

constexpr int kMaxNames = 1000;

// Renames without replacing a file already there: false with errno EEXIST when there is one.
bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without renameat2's flags: a hard link fails on a name already there too.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return true;
  }
  if (errno != EPERM && errno != ENOTSUP) return false;
  // Nor hard links: the name is checked first, which leaves a moment for a race, and no more.
  if (::access(to.c_str(), F_OK) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

std::unique_ptr<TraceFile> TraceFile::open(const std::filesystem::path& dir, const std::string& name,
                                           CallHeader call, std::string* error) {
  std::unique_ptr<TraceFile> f(new TraceFile);
  f->dir_ = dir;
  f->name_ = name;
  // The first name with neither a trace nor a trace in progress: the .part is made here, exclusively,
  // so two programs never write into one file.
  int fd = -1;
  for (int n = 1; n <= kMaxNames && fd < 0; ++n) {
    f->path_ = dir / nthName(name, n);
    f->partPath_ = dir / (nthName(name, n) + ".part");
    std::error_code ec;
    if (std::filesystem::exists(f->path_, ec)) continue;
    fd = ::open(f->partPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) {
      *error = "cannot write the trace " + f->partPath_.string() + ": " + std::strerror(errno);
      return nullptr;
    }
  }
  if (fd < 0) {
    *error = "cannot write the trace " + (dir / name).string() + ": " + std::to_string(kMaxNames) +
             " traces of that name are there already";
    return nullptr;
  }
  ::close(fd);
  f->file_.open(f->partPath_, std::ios::binary | std::ios::trunc);
  if (!f->file_) {
    *error = "cannot write the trace " + f->partPath_.string();
    return nullptr;
  }
  f->origin_ = std::chrono::steady_clock::now();
  call.originUs =
      std::chrono::duration_cast<std::chrono::microseconds>(f->origin_.time_since_epoch()).count();
  f->writer_ = std::make_unique<TraceWriter>(f->file_, call);
  return f;
}

TraceFile::~TraceFile() {
  if (writer_ && !finished_) {
    std::string ignored;
    finish("trace closed", &ignored);
  }
}

std::int64_t TraceFile::now() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - origin_)
      .count();
}

bool TraceFile::finish(const std::string& reason, std::string* error) {
  if (finished_ || !writer_) return true;
  finished_ = true;
  writer_->end(now(), reason);
  file_.close();
  if (!file_) {
    *error = "writing the trace " + partPath_.string() + " failed";
    return false;
  }
  // Its name, or the next free one when another program has finished a trace of that name since.
  for (int n = 1; n <= kMaxNames; ++n) {
    const std::filesystem::path to = n == 1 ? path_ : dir_ / nthName(name_, n);
    if (renameNoReplace(partPath_, to)) {
      path_ = to;
      return true;
    }
    if (errno != EEXIST) break;
  }
  *error = "cannot rename the trace to " + path_.string() + ": " + std::strerror(errno);
  return false;
}

std::string isoTime(std::chrono::system_clock::time_point t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  return buf;
}

std::string traceFileName(std::chrono::system_clock::time_point started, int callNumber) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(started);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[128];
  std::snprintf(buf, sizeof buf, "call-%04d%02d%02d-%02d%02d%02d-%d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, callNumber);
  return buf + std::string(kFileExtension);
}

bool decodeRed(std::string_view p, RtpPacket* packet, std::string* error) {
  std::size_t at = 0;
  std::vector<std::size_t> lengths;
  packet->generations.clear();
  // A 4-byte header for each redundant block (F bit set), then one byte for the primary block.
  for (;;) {
    if (at >= p.size()) {
      *error = "red payload ends inside its headers";
      return false;
    }
    const auto b0 = static_cast<unsigned char>(p[at]);
    if (!(b0 & 0x80)) {
      packet->primaryPt = b0 & 0x7F;
      ++at;
      break;
    }
    if (p.size() - at < 4) {
      *error = "red payload ends inside its headers";
      return false;
    }
    const auto b1 = static_cast<unsigned char>(p[at + 1]), b2 = static_cast<unsigned char>(p[at + 2]),
               b3 = static_cast<unsigned char>(p[at + 3]);
    packet->generations.push_back({b0 & 0x7F, (b1 << 6) | (b2 >> 2), {}});
    lengths.push_back(((b2 & 0x03u) << 8) | b3);
    at += 4;
  }
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    if (lengths[i] > p.size() - at) {
      *error = "red block " + std::to_string(i + 1) + " is longer than the payload";
      packet->generations.clear();
      return false;
    }
    packet->generations[i].text.assign(p.substr(at, lengths[i]));
    at += lengths[i];
  }
  packet->text.assign(p.substr(at));
  return true;
}

std::optional<RtpPacket> decodeRtp(std::string_view d, int t140Pt, int redPt, std::int64_t us, Direction dir,
                                   std::string* error) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(d[i]); };
  if (d.size() < 12) {
    *error = "shorter than an RTP header";
    return std::nullopt;
  }
  if ((byte(0) >> 6) != 2) {
    *error = "not RTP version 2";
    return std::nullopt;
  }
  RtpPacket p;
  p.us = us;
  p.dir = dir;
  p.marker = byte(1) & 0x80;
  p.pt = byte(1) & 0x7F;
  p.seq = static_cast<std::uint16_t>((byte(2) << 8) | byte(3));
  p.ts = (std::uint32_t{byte(4)} << 24) | (std::uint32_t{byte(5)} << 16) | (std::uint32_t{byte(6)} << 8) | byte(7);
  p.ssrc = (std::uint32_t{byte(8)} << 24) | (std::uint32_t{byte(9)} << 16) | (std::uint32_t{byte(10)} << 8) |
           byte(11);
  std::size_t at = 12 + 4 * static_cast<std::size_t>(byte(0) & 0x0F);
  std::size_t end = d.size();
  if (at > end) {
    *error = "RTP header's CSRC list is longer than the packet";
    return std::nullopt;
  }
  if (byte(0) & 0x10) {  // a header extension: 4 bytes, then its length in 32-bit words
    if (end - at < 4) {
      *error = "RTP header extension is cut short";
      return std::nullopt;
    }
    const std::size_t words = (std::size_t{byte(at + 2)} << 8) | byte(at + 3);
    if (end - at - 4 < words * 4) {
      *error = "RTP header extension is longer than the packet";
      return std::nullopt;
    }
    at += 4 + words * 4;
  }
  if (byte(0) & 0x20) {  // padding: its length is the last byte
    const std::size_t pad = byte(end - 1);
    if (pad == 0 || pad > end - at) {
      *error = "RTP padding is longer than the payload";
      return std::nullopt;
    }
    end -= pad;
  }
  const std::string_view payload = d.substr(at, end - at);
  p.length = payload.size();
  if (redPt >= 0 && p.pt == redPt) {
    p.kind = PayloadKind::Red;
    std::string why;
    if (!decodeRed(payload, &p, &why)) {
      p.kind = PayloadKind::Bad;
      p.raw.assign(payload);
      p.text.clear();
      p.primaryPt = 0;
      p.error = why;
    }
  } else if (p.pt == t140Pt) {
    p.kind = PayloadKind::T140;
    p.text.assign(payload);
  } else {
    p.kind = PayloadKind::Other;
    p.raw.assign(payload);
  }
  return p;
}

}  // namespace rttmodem::trace
