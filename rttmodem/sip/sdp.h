// SPDX-License-Identifier: Apache-2.0
#pragma once
// The session descriptions of a text call: what we offer (audio first, as mobile networks order
// them, then text with T.140 and its redundant form), how we answer a far end's offer, and what
// a far end's answer settles. Parsing is strict about the lines we use and lenient about the rest.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rttmodem::sip {

struct SdpFormat {
  int pt = -1;
  std::string name;  // encoding name as written ("t140", "red", "PCMU")
  int rate = 0;
  std::string fmtp;
};

struct SdpMedia {
  std::string type;   // "audio", "text", ...
  int port = 0;       // 0: refused
  std::string proto;  // "RTP/AVP", ...
  std::vector<std::string> fmts;
  std::vector<SdpFormat> formats;  // those with a number, rtpmap or not
  std::string address;             // the media's connection address, or the session's
  bool inactive = false;
  const SdpFormat* find(std::string_view name, int rate) const;
};

struct Sdp {
  std::vector<SdpMedia> media;
};

std::optional<Sdp> parseSdp(std::string_view text, std::string* error);

// Our side of a call's media.
struct LocalMedia {
  std::string address;  // where our RTP sockets listen
  int audioPort = 0;
  int textPort = 0;
  int generations = 2;  // redundant generations we send; 0: no red offered
  int t140Pt = 98;
  int redPt = 100;
  unsigned long long sessionId = 1;
};

// What both sides agreed on.
struct Negotiated {
  std::string textAddress;
  int textPort = 0;
  // Numbers the far end expects (we send with them) and the ones we receive with.
  int sendT140Pt = -1, sendRedPt = -1;
  int recvT140Pt = -1, recvRedPt = -1;
  std::string audioAddress;
  int audioPort = 0;  // 0: no audio
  int audioPt = -1;
  // Our redundant generations, limited by what the far end accepts (0 without red).
  int generations = 0;
};

std::string buildOffer(const LocalMedia& local);
// Our answer to a far end's offer, or nothing and an error when it offers no text we can take.
std::optional<Negotiated> answerOffer(const Sdp& offer, const LocalMedia& local, std::string* answer,
                                      std::string* error);
// What the far end's answer to buildOffer(local) settles.
std::optional<Negotiated> readAnswer(const Sdp& answer, const LocalMedia& local, std::string* error);

}  // namespace rttmodem::sip
