// SPDX-License-Identifier: Apache-2.0
#include "sdp.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <sstream>

namespace rttmodem::sip {
namespace {

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool toInt(std::string_view s, int* out) {
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && p == s.data() + s.size();
}

std::vector<std::string_view> words(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == ' ') ++i;
    std::size_t j = i;
    while (j < s.size() && s[j] != ' ') ++j;
    if (j > i) out.push_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

SdpFormat* formatFor(SdpMedia& m, int pt) {
  for (SdpFormat& f : m.formats)
    if (f.pt == pt) return &f;
  return nullptr;
}

// Static payload types that need no rtpmap.
void addStaticNames(SdpMedia& m) {
  for (SdpFormat& f : m.formats) {
    if (!f.name.empty()) continue;
    if (f.pt == 0) f.name = "PCMU", f.rate = 8000;
    if (f.pt == 8) f.name = "PCMA", f.rate = 8000;
  }
}

}  // namespace

int cpsOf(const SdpFormat& t140) {
  const std::string& f = t140.fmtp;
  for (std::size_t at = f.find("cps="); at != std::string::npos; at = f.find("cps=", at + 1)) {
    if (at > 0 && f[at - 1] != ' ' && f[at - 1] != ';') continue;
    int cps = 0;
    const char* end = f.data() + f.size();
    auto [p, ec] = std::from_chars(f.data() + at + 4, end, cps);
    if (ec == std::errc() && cps > 0 && (p == end || *p == ';' || *p == ' ')) return cps;
  }
  return 30;
}

namespace {

// The red fmtp names the generations by payload type ("98/98/98"): they must all be T.140's.
int redGenerations(const SdpFormat& red, int t140Pt) {
  if (red.fmtp.empty()) return 2;  // no fmtp: the usual offer
  int n = 0;
  std::string_view s = red.fmtp;
  while (!s.empty()) {
    const std::size_t slash = s.find('/');
    int pt;
    if (!toInt(s.substr(0, slash), &pt) || pt != t140Pt) return -1;
    ++n;
    s = slash == std::string_view::npos ? std::string_view() : s.substr(slash + 1);
  }
  return n - 1;
}

std::string redFmtp(int t140Pt, int generations) {
  std::string s = std::to_string(t140Pt);
  for (int i = 0; i < generations; ++i) s += "/" + std::to_string(t140Pt);
  return s;
}

std::string originLines(const LocalMedia& local) {
  const std::string ipv = local.address.find(':') != std::string::npos ? "IP6" : "IP4";
  std::ostringstream o;
  o << "v=0\r\n"
    << "o=rttmodem " << local.sessionId << " " << local.sessionId << " IN " << ipv << " " << local.address
    << "\r\n"
    << "s=rttmodem\r\n"
    << "c=IN " << ipv << " " << local.address << "\r\n"
    << "t=0 0\r\n";
  return o.str();
}

bool isAddress(const std::string& family, const std::string& addr) {
  unsigned char buf[16];
  return inet_pton(family == "IP6" ? AF_INET6 : AF_INET, addr.c_str(), buf) == 1;
}

std::optional<Direction> directionOf(std::string_view name) {
  if (name == "sendrecv") return Direction::SendRecv;
  if (name == "sendonly") return Direction::SendOnly;
  if (name == "recvonly") return Direction::RecvOnly;
  if (name == "inactive") return Direction::Inactive;
  return std::nullopt;
}

const char* directionLine(Direction d) {
  switch (d) {
    case Direction::SendOnly:
      return "a=sendonly\r\n";
    case Direction::RecvOnly:
      return "a=recvonly\r\n";
    case Direction::Inactive:
      return "a=inactive\r\n";
    case Direction::SendRecv:
      break;
  }
  return "a=sendrecv\r\n";
}

// Our direction in answer to theirs: what they only send we only receive, and so on.
Direction answering(Direction theirs) {
  switch (theirs) {
    case Direction::SendOnly:
      return Direction::RecvOnly;
    case Direction::RecvOnly:
      return Direction::SendOnly;
    case Direction::Inactive:
      return Direction::Inactive;
    case Direction::SendRecv:
      break;
  }
  return Direction::SendRecv;
}

// The unspecified address (the old way of putting a call on hold): nothing is sent there.
bool unspecified(const std::string& addr) {
  return addr == "0.0.0.0" || addr == "::";
}

std::string textLines(int port, int t140Pt, int redPt, int generations, Direction d = Direction::SendRecv) {
  std::ostringstream o;
  if (generations > 0) {
    o << "m=text " << port << " RTP/AVP " << redPt << " " << t140Pt << "\r\n"
      << "a=rtpmap:" << redPt << " red/1000\r\n"
      << "a=fmtp:" << redPt << " " << redFmtp(t140Pt, generations) << "\r\n";
  } else {
    o << "m=text " << port << " RTP/AVP " << t140Pt << "\r\n";
  }
  o << "a=rtpmap:" << t140Pt << " t140/1000\r\n" << directionLine(d);
  return o.str();
}

std::string refusedLine(const SdpMedia& m) {
  std::string s = "m=" + m.type + " 0 " + m.proto;
  for (const std::string& f : m.fmts) s += " " + f;
  return s + "\r\n";
}

// The audio format we send silence in: PCMU, else PCMA.
const SdpFormat* audioFormat(const SdpMedia& m) {
  if (const SdpFormat* f = m.find("PCMU", 8000)) return f;
  return m.find("PCMA", 8000);
}

}  // namespace

const SdpFormat* SdpMedia::find(std::string_view name, int rate) const {
  for (const SdpFormat& f : formats)
    if (equalsNoCase(f.name, name) && f.rate == rate) return &f;
  return nullptr;
}

std::optional<Sdp> parseSdp(std::string_view text, std::string* error) {
  Sdp sdp;
  std::string sessionAddress;
  Direction sessionDirection = Direction::SendRecv;
  std::vector<bool> ownDirection;  // the media line has its own direction attribute
  bool sawVersion = false;
  int lineNo = 0;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if (line.size() < 2 || line[1] != '=') {
      *error = "SDP line " + std::to_string(lineNo) + " is not type=value";
      return std::nullopt;
    }
    const char type = line[0];
    std::string_view value = line.substr(2);
    if (!sawVersion) {
      if (type != 'v' || value != "0") {
        *error = "SDP does not start with v=0";
        return std::nullopt;
      }
      sawVersion = true;
      continue;
    }
    if (type == 'c') {
      auto w = words(value);
      if (w.size() < 3 || w[0] != "IN" || (w[1] != "IP4" && w[1] != "IP6")) {
        *error = "SDP connection line is malformed: " + std::string(value);
        return std::nullopt;
      }
      std::string addr(w[2].substr(0, w[2].find('/')));
      if (!isAddress(std::string(w[1]), addr)) {
        *error = "SDP connection address is not an " + std::string(w[1]) + " address: " + addr;
        return std::nullopt;
      }
      if (sdp.media.empty()) {
        sessionAddress = addr;
      } else {
        sdp.media.back().address = addr;
      }
    } else if (type == 'm') {
      auto w = words(value);
      SdpMedia m;
      std::string_view port = w.size() >= 3 ? w[1].substr(0, w[1].find('/')) : std::string_view();
      if (w.size() < 3 || !toInt(port, &m.port) || m.port < 0 || m.port > 65535) {
        *error = "SDP media line is malformed: " + std::string(value);
        return std::nullopt;
      }
      m.type = w[0];
      m.proto = w[2];
      for (std::size_t i = 3; i < w.size(); ++i) {
        m.fmts.emplace_back(w[i]);
        int pt;
        if (toInt(w[i], &pt) && pt >= 0 && pt <= 127) m.formats.push_back({pt, {}, 0, {}});
      }
      sdp.media.push_back(std::move(m));
      ownDirection.push_back(false);
    } else if (type == 'a' && sdp.media.empty()) {
      if (auto d = directionOf(value)) sessionDirection = *d;
    } else if (type == 'a' && !sdp.media.empty()) {
      SdpMedia& m = sdp.media.back();
      const std::size_t colon = value.find(':');
      std::string_view name = value.substr(0, colon);
      std::string_view rest = colon == std::string_view::npos ? std::string_view() : value.substr(colon + 1);
      if (auto d = directionOf(name); d && colon == std::string_view::npos) {
        m.direction = *d;
        ownDirection.back() = true;
      }
      if (name == "rtpmap" || name == "fmtp") {
        const std::size_t space = rest.find(' ');
        int pt;
        if (space == std::string_view::npos || !toInt(rest.substr(0, space), &pt)) {
          *error = "SDP attribute is malformed: " + std::string(value);
          return std::nullopt;
        }
        SdpFormat* f = formatFor(m, pt);
        if (!f) continue;  // describes a format the media line does not list
        std::string_view desc = rest.substr(space + 1);
        if (name == "fmtp") {
          f->fmtp = desc;
        } else {
          const std::size_t slash = desc.find('/');
          f->name = desc.substr(0, slash);
          std::string_view rate =
              slash == std::string_view::npos ? std::string_view() : desc.substr(slash + 1);
          rate = rate.substr(0, rate.find('/'));
          if (!toInt(rate, &f->rate)) {
            *error = "SDP rtpmap has no clock rate: " + std::string(value);
            return std::nullopt;
          }
        }
      }
    }
  }
  if (!sawVersion) {
    *error = "SDP is empty";
    return std::nullopt;
  }
  for (std::size_t i = 0; i < sdp.media.size(); ++i) {
    SdpMedia& m = sdp.media[i];
    if (!ownDirection[i]) m.direction = sessionDirection;
    if (m.address.empty()) m.address = sessionAddress;
    addStaticNames(m);
    if (m.port != 0 && m.address.empty()) {
      *error = "SDP gives no connection address for its " + m.type + " media";
      return std::nullopt;
    }
  }
  return sdp;
}

std::vector<std::string> defaultLayout() {
  return {"audio", "text"};
}

std::string buildOffer(const LocalMedia& local, const std::vector<std::string>& layout) {
  std::ostringstream o;
  o << originLines(local);
  bool audio = false, text = false;
  for (const std::string& type : layout) {
    if (type == "audio" && !audio) {
      audio = true;
      o << "m=audio " << local.audioPort << " RTP/AVP 0 8\r\n"
        << "a=rtpmap:0 PCMU/8000\r\n"
        << "a=rtpmap:8 PCMA/8000\r\n"
        << directionLine(local.audioDirection);
    } else if (type == "text" && !text) {
      text = true;
      o << textLines(local.textPort, local.t140Pt, local.redPt, local.generations);
    } else {
      o << "m=" << type << " 0 RTP/AVP 0\r\n";
    }
  }
  return o.str();
}

std::optional<Negotiated> answerOffer(const Sdp& offer, const LocalMedia& local, std::string* answer,
                                      std::string* error) {
  Negotiated n;
  std::string body;
  bool haveText = false, haveAudio = false;
  std::string textRefusal = "the far end offers no text";
  for (const SdpMedia& m : offer.media) {
    n.layout.push_back(m.type == "audio" || m.type == "text" ? m.type : m.type.empty() ? "-" : m.type);
    const bool rtp = m.proto == "RTP/AVP" || m.proto == "RTP/AVPF";
    if (m.type == "text" && !haveText && m.port != 0 && rtp) {
      const SdpFormat* t140 = m.find("t140", 1000);
      if (!t140) {
        textRefusal = "the far end offers text without T.140";
        body += refusedLine(m);
        continue;
      }
      const SdpFormat* red = m.find("red", 1000);
      int offeredGenerations = red ? redGenerations(*red, t140->pt) : -1;
      haveText = true;
      n.textAddress = m.address;
      n.textPort = m.port;
      n.sendT140Pt = n.recvT140Pt = t140->pt;
      n.sendCps = cpsOf(*t140);
      // We answer with the offer's own numbers, so each direction uses the same ones.
      if (red && offeredGenerations >= 0 && local.generations > 0) {
        n.sendRedPt = n.recvRedPt = red->pt;
        n.generations = local.generations;
      }
      const Direction ours = answering(m.direction);
      n.sendText = (ours == Direction::SendRecv || ours == Direction::SendOnly) && !unspecified(m.address);
      n.receiveText = ours == Direction::SendRecv || ours == Direction::RecvOnly;
      body += textLines(local.textPort, t140->pt, n.sendRedPt, n.generations, ours);
    } else if (m.type == "audio" && !haveAudio && m.port != 0 && rtp && audioFormat(m)) {
      const SdpFormat* f = audioFormat(m);
      haveAudio = true;
      n.audioAddress = m.address;
      n.audioPort = m.port;
      n.audioPt = f->pt;
      const Direction ours = answering(m.direction);
      n.sendAudio = (ours == Direction::SendRecv || ours == Direction::SendOnly) && !unspecified(m.address);
      body += "m=audio " + std::to_string(local.audioPort) + " RTP/AVP " + std::to_string(f->pt) + "\r\n";
      body += "a=rtpmap:" + std::to_string(f->pt) + " " + f->name + "/8000\r\n" + directionLine(ours);
    } else {
      body += refusedLine(m);
    }
  }
  if (!haveText) {
    *error = textRefusal;
    return std::nullopt;
  }
  *answer = originLines(local) + body;
  return n;
}

namespace {

// The audio line of an answer, at audioAt of the offer's layout (none when the layout has none).
void readAudio(const Sdp& answer, std::size_t audioAt, const std::vector<std::string>& layout, Negotiated& n) {
  if (audioAt >= layout.size() || answer.media[audioAt].port == 0) return;
  const SdpMedia& audio = answer.media[audioAt];
  if (const SdpFormat* f = audioFormat(audio)) {
    n.audioAddress = audio.address;
    n.audioPort = audio.port;
    n.audioPt = f->pt;
    n.sendAudio = (audio.direction == Direction::SendRecv || audio.direction == Direction::RecvOnly) &&
                  !unspecified(audio.address);
  }
}

}  // namespace

std::optional<Negotiated> readAnswer(const Sdp& answer, const LocalMedia& local, std::string* error,
                                     const std::vector<std::string>& layout) {
  // The answer's media lines match our offer's by position.
  std::size_t textAt = layout.size(), audioAt = layout.size();
  bool matches = answer.media.size() == layout.size();
  for (std::size_t i = 0; matches && i < layout.size(); ++i) {
    matches = answer.media[i].type == layout[i] || (layout[i] != "audio" && layout[i] != "text");
    if (layout[i] == "text" && textAt == layout.size()) textAt = i;
    if (layout[i] == "audio" && audioAt == layout.size()) audioAt = i;
  }
  if (!matches) {
    *error = "the far end's answer does not match the offer's media lines";
    return std::nullopt;
  }
  Negotiated n;
  n.layout = layout;
  if (textAt == layout.size()) {
    // An offer without text (a call that adds text later): the call has none until then.
    n.sendText = n.receiveText = false;
    readAudio(answer, audioAt, layout, n);
    return n;
  }
  const SdpMedia& text = answer.media[textAt];
  const SdpFormat* t140 = text.find("t140", 1000);
  if (text.port == 0 || !t140) {
    *error = "the far end refused text";
    return std::nullopt;
  }
  n.textAddress = text.address;
  n.textPort = text.port;
  n.sendT140Pt = t140->pt;
  n.sendCps = cpsOf(*t140);
  n.recvT140Pt = local.t140Pt;
  const SdpFormat* red = text.find("red", 1000);
  if (red && local.generations > 0) {
    const int theirs = redGenerations(*red, t140->pt);
    if (theirs >= 0) {
      n.sendRedPt = red->pt;
      n.recvRedPt = local.redPt;
      n.generations = local.generations;
    }
  }
  // Their direction as they answered: what they only receive, we only send.
  n.sendText = (text.direction == Direction::SendRecv || text.direction == Direction::RecvOnly) &&
               !unspecified(text.address);
  n.receiveText = text.direction == Direction::SendRecv || text.direction == Direction::SendOnly;
  readAudio(answer, audioAt, layout, n);
  return n;
}

}  // namespace rttmodem::sip
