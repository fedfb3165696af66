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

// Which way a media stream flows, as its side says it (a=sendrecv, sendonly, recvonly, inactive).
enum class Direction { SendRecv, SendOnly, RecvOnly, Inactive };

struct SdpMedia {
  std::string type;   // "audio", "text", ...
  int port = 0;       // 0: refused
  std::string proto;  // "RTP/AVP", ...
  std::vector<std::string> fmts;
  std::vector<SdpFormat> formats;  // those with a number, rtpmap or not
  std::string address;             // the media's connection address, or the session's
  Direction direction = Direction::SendRecv;  // the media's own, or the session's
  const SdpFormat* find(std::string_view name, int rate) const;
};

struct Sdp {
  std::vector<SdpMedia> media;
};

// Connection addresses must be IPv4 or IPv6 literals: media go to an address, never to a name.
std::optional<Sdp> parseSdp(std::string_view text, std::string* error);

// The characters a second a T.140 format's fmtp allows ("cps=N"; 30 when it gives none).
int cpsOf(const SdpFormat& t140);

// Our side of a call's media.
struct LocalMedia {
  std::string address;  // where our RTP sockets listen
  int audioPort = 0;
  int textPort = 0;
  int generations = 2;  // redundant generations we send; 0: no red offered
  int t140Pt = 98;
  int redPt = 100;
  unsigned long long sessionId = 1;
  Direction audioDirection = Direction::SendRecv;  // SendOnly: our audio on hold
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
  // Whether we send text and whether the far end does (a call on hold sends one way or none).
  bool sendText = true, receiveText = true;
  bool sendAudio = true;
  // Characters a second the far end takes (its T.140 format's cps, 30 when it gives none): our
  // text never goes faster.
  int sendCps = 30;
  // The media lines of the exchange, in order ("audio", "text", or another type refused): a new
  // offer in the same session must keep them.
  std::vector<std::string> layout;
};

// The media lines of a first offer: audio, then text.
std::vector<std::string> defaultLayout();
// Our offer, its media lines as layout says (types other than audio and text offered refused).
std::string buildOffer(const LocalMedia& local, const std::vector<std::string>& layout = defaultLayout());
// Our answer to a far end's offer, or nothing and an error when it offers no text we can take.
std::optional<Negotiated> answerOffer(const Sdp& offer, const LocalMedia& local, std::string* answer,
                                      std::string* error);
// What the far end's answer to buildOffer(local, layout) settles: its media lines must match the
// offer's one for one.
std::optional<Negotiated> readAnswer(const Sdp& answer, const LocalMedia& local, std::string* error,
                                     const std::vector<std::string>& layout = defaultLayout());

}  // namespace rttmodem::sip
