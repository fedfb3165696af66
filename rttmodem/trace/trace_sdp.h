// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the rules need to know of a session description: its media lines with their formats,
// directions and addresses, and for text the T.140 and red payload types, the redundancy level
// and the character rate. Lenient: a line it does not understand is skipped, never refused, since
// the rules judge what a far end meant as far as it can be read.
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rttmodem::trace {

struct SdpMediaLine {
  std::string type;  // "audio", "text", ...
  int port = 0;      // 0: refused or removed
  std::string proto;
  std::vector<int> pts;                      // the payload types listed, in order
  std::map<int, std::string> encodings;      // pt -> "t140/1000", lowercase, from rtpmap (or static)
  std::map<int, std::string> fmtp;           // pt -> its format parameters
  std::string direction = "sendrecv";        // sendrecv, sendonly, recvonly, inactive
  std::string address;                       // the media's connection address, or the session's

  // The payload type of an encoding ("t140", "red") at the clock rate, or -1.
  int ptOf(std::string_view name, int rate = 1000) const;
  // Held or off: refused, inactive, one-way, or at the "on hold" address 0.0.0.0.
  bool held() const;
};

struct SessionDescription {
  std::vector<SdpMediaLine> media;
  // The first media line of a type that is not refused, or nothing.
  const SdpMediaLine* active(std::string_view type) const;
  // The first media line of a type, refused or not.
  const SdpMediaLine* first(std::string_view type) const;
  // Media other than text that is offered (port not 0).
  bool hasActiveNonText() const;
};

// Media lines read of a description (a real one has a handful; what follows is passed over).
inline constexpr std::size_t kMaxMediaLines = 64;

// Nothing when the text is no session description (no "v=" line, no media line read).
std::optional<SessionDescription> readSdp(std::string_view text);

// The redundancy level of a text media line: the red format's generations (its fmtp "98/98/98"
// is 2), or nothing when it has no red. A red fmtp whose blocks are not all T.140 gives -1.
std::optional<int> redLevel(const SdpMediaLine& text);
// The characters a second the T.140 format's cps parameter allows (30 when not given).
int cpsLimit(const SdpMediaLine& text);

}  // namespace rttmodem::trace
