// SPDX-License-Identifier: Apache-2.0
#include "trace_sdp.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace rttmodem::trace {
namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool toInt(std::string_view s, int* out) {
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && end == s.data() + s.size();
}

std::vector<std::string_view> words(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    std::size_t j = i;
    while (j < s.size() && s[j] != ' ' && s[j] != '\t') ++j;
    if (j > i) out.push_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

bool isDirection(std::string_view a) {
  return a == "sendrecv" || a == "sendonly" || a == "recvonly" || a == "inactive";
}

}  // namespace

int SdpMediaLine::ptOf(std::string_view name, int rate) const {
  const std::string want = lower(name) + "/" + std::to_string(rate);
  for (int pt : pts) {
    auto it = encodings.find(pt);
    if (it != encodings.end() && (it->second == want || it->second.rfind(want + "/", 0) == 0)) return pt;
  }
  return -1;
}

bool SdpMediaLine::held() const {
  return port == 0 || direction != "sendrecv" || address == "0.0.0.0";
}

const SdpMediaLine* SessionDescription::active(std::string_view type) const {
  for (const SdpMediaLine& m : media)
    if (m.type == type && m.port != 0) return &m;
  return nullptr;
}

const SdpMediaLine* SessionDescription::first(std::string_view type) const {
  for (const SdpMediaLine& m : media)
    if (m.type == type) return &m;
  return nullptr;
}

bool SessionDescription::hasActiveNonText() const {
  for (const SdpMediaLine& m : media)
    if (m.type != "text" && m.port != 0) return true;
  return false;
}

std::optional<SessionDescription> readSdp(std::string_view text) {
  SessionDescription sdp;
  std::string sessionAddress, sessionDirection;
  bool sawVersion = false, past = false;  // past: beyond the media lines read
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() < 2 || line[1] != '=') continue;
    const char type = line[0];
    const std::string_view value = line.substr(2);
    if (type == 'v') sawVersion = true;
    if (past) continue;
    if (type == 'c') {
      auto w = words(value);
      if (w.size() < 3) continue;
      std::string address(w[2].substr(0, w[2].find('/')));
      (sdp.media.empty() ? sessionAddress : sdp.media.back().address) = address;
    } else if (type == 'm') {
      if (sdp.media.size() == kMaxMediaLines) {
        past = true;
        continue;
      }
      auto w = words(value);
      SdpMediaLine m;
      if (w.size() < 3 || !toInt(w[1].substr(0, w[1].find('/')), &m.port)) continue;
      m.type = lower(w[0]);
      m.proto = w[2];
      for (std::size_t i = 3; i < w.size(); ++i) {
        int pt;
        if (!toInt(w[i], &pt) || pt < 0 || pt > 127 || std::find(m.pts.begin(), m.pts.end(), pt) != m.pts.end())
          continue;
        m.pts.push_back(pt);
        if (pt == 0) m.encodings[pt] = "pcmu/8000";
        if (pt == 8) m.encodings[pt] = "pcma/8000";
      }
      m.direction.clear();
      sdp.media.push_back(std::move(m));
    } else if (type == 'a') {
      const std::size_t colon = value.find(':');
      const std::string_view name = value.substr(0, colon);
      const std::string_view rest = colon == std::string_view::npos ? std::string_view() : value.substr(colon + 1);
      if (isDirection(name)) {
        (sdp.media.empty() ? sessionDirection : sdp.media.back().direction) = std::string(name);
        continue;
      }
      if (sdp.media.empty() || (name != "rtpmap" && name != "fmtp")) continue;
      const std::size_t space = rest.find_first_of(" \t");
      int pt;
      if (space == std::string_view::npos || !toInt(rest.substr(0, space), &pt)) continue;
      std::string_view desc = rest.substr(space + 1);
      while (!desc.empty() && (desc.front() == ' ' || desc.front() == '\t')) desc.remove_prefix(1);
      if (name == "rtpmap") sdp.media.back().encodings[pt] = lower(desc);
      else sdp.media.back().fmtp[pt] = std::string(desc);
    }
  }
  if (!sawVersion || sdp.media.empty()) return std::nullopt;
  for (SdpMediaLine& m : sdp.media) {
    if (m.address.empty()) m.address = sessionAddress;
    if (m.direction.empty()) m.direction = sessionDirection.empty() ? "sendrecv" : sessionDirection;
  }
  return sdp;
}

std::optional<int> redLevel(const SdpMediaLine& text) {
  const int red = text.ptOf("red"), t140 = text.ptOf("t140");
  if (red < 0) return std::nullopt;
  auto it = text.fmtp.find(red);
  if (it == text.fmtp.end() || it->second.empty()) return 2;  // no fmtp: the usual two generations
  int blocks = 0;
  std::string_view s = it->second;
  while (!s.empty()) {
    const std::size_t slash = s.find('/');
    int pt;
    if (!toInt(s.substr(0, slash), &pt) || pt != t140) return -1;
    ++blocks;
    s = slash == std::string_view::npos ? std::string_view() : s.substr(slash + 1);
  }
  return blocks - 1;
}

int cpsLimit(const SdpMediaLine& text) {
  const int t140 = text.ptOf("t140");
  auto it = text.fmtp.find(t140);
  if (it == text.fmtp.end()) return 30;
  const std::string f = lower(it->second);
  const std::size_t at = f.find("cps=");
  if (at == std::string::npos || (at > 0 && f[at - 1] != ' ' && f[at - 1] != ';')) return 30;
  std::size_t end = at + 4;
  while (end < f.size() && std::isdigit(static_cast<unsigned char>(f[end]))) ++end;
  int cps;
  if (!toInt(std::string_view(f).substr(at + 4, end - at - 4), &cps) || cps <= 0) return 30;
  return cps;
}

}  // namespace rttmodem::trace
