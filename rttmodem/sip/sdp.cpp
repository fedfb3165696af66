// SPDX-License-Identifier: Apache-2.0
#include "sdp.h"

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

std::string textLines(int port, int t140Pt, int redPt, int generations) {
  std::ostringstream o;
  if (generations > 0) {
    o << "m=text " << port << " RTP/AVP " << redPt << " " << t140Pt << "\r\n"
      << "a=rtpmap:" << redPt << " red/1000\r\n"
      << "a=fmtp:" << redPt << " " << redFmtp(t140Pt, generations) << "\r\n";
  } else {
    o << "m=text " << port << " RTP/AVP " << t140Pt << "\r\n";
  }
  o << "a=rtpmap:" << t140Pt << " t140/1000\r\n"
    << "a=sendrecv\r\n";
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
    } else if (type == 'a' && !sdp.media.empty()) {
      SdpMedia& m = sdp.media.back();
      const std::size_t colon = value.find(':');
      std::string_view name = value.substr(0, colon);
      std::string_view rest = colon == std::string_view::npos ? std::string_view() : value.substr(colon + 1);
      if (name == "inactive") m.inactive = true;
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
  for (SdpMedia& m : sdp.media) {
    if (m.address.empty()) m.address = sessionAddress;
    addStaticNames(m);
    if (m.port != 0 && m.address.empty()) {
      *error = "SDP gives no connection address for its " + m.type + " media";
      return std::nullopt;
    }
  }
  return sdp;
}

std::string buildOffer(const LocalMedia& local) {
  std::ostringstream o;
  o << originLines(local) << "m=audio " << local.audioPort << " RTP/AVP 0 8\r\n"
    << "a=rtpmap:0 PCMU/8000\r\n"
    << "a=rtpmap:8 PCMA/8000\r\n"
    << "a=sendrecv\r\n"
    << textLines(local.textPort, local.t140Pt, local.redPt, local.generations);
  return o.str();
}

std::optional<Negotiated> answerOffer(const Sdp& offer, const LocalMedia& local, std::string* answer,
                                      std::string* error) {
  Negotiated n;
  std::string body;
  bool haveText = false, haveAudio = false;
  std::string textRefusal = "the far end offers no text";
  for (const SdpMedia& m : offer.media) {
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
      // We answer with the offer's own numbers, so each direction uses the same ones.
      if (red && offeredGenerations >= 0 && local.generations > 0) {
        n.sendRedPt = n.recvRedPt = red->pt;
        n.generations = local.generations;
      }
      body += textLines(local.textPort, t140->pt, n.sendRedPt, n.generations);
    } else if (m.type == "audio" && !haveAudio && m.port != 0 && rtp && audioFormat(m)) {
      const SdpFormat* f = audioFormat(m);
      haveAudio = true;
      n.audioAddress = m.address;
      n.audioPort = m.port;
      n.audioPt = f->pt;
      body += "m=audio " + std::to_string(local.audioPort) + " RTP/AVP " + std::to_string(f->pt) + "\r\n";
      body += "a=rtpmap:" + std::to_string(f->pt) + " " + f->name + "/8000\r\na=sendrecv\r\n";
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

std::optional<Negotiated> readAnswer(const Sdp& answer, const LocalMedia& local, std::string* error) {
  // The answer's media lines match our offer's by position: audio, then text.
  if (answer.media.size() != 2 || answer.media[0].type != "audio" || answer.media[1].type != "text") {
    *error = "the far end's answer does not match the offer's audio and text media";
    return std::nullopt;
  }
  Negotiated n;
  const SdpMedia& text = answer.media[1];
  const SdpFormat* t140 = text.find("t140", 1000);
  if (text.port == 0 || !t140) {
    *error = "the far end refused text";
    return std::nullopt;
  }
  n.textAddress = text.address;
  n.textPort = text.port;
  n.sendT140Pt = t140->pt;
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
  const SdpMedia& audio = answer.media[0];
  if (audio.port != 0) {
    if (const SdpFormat* f = audioFormat(audio)) {
      n.audioAddress = audio.address;
      n.audioPort = audio.port;
      n.audioPt = f->pt;
    }
  }
  return n;
}

}  // namespace rttmodem::sip
