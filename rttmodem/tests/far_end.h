// SPDX-License-Identifier: Apache-2.0
#pragma once
// A hostile far end for rttmodem's tests: a small SIP user agent, registrar and RTP text peer of
// its own, on plain UDP sockets on loopback, that behaves as real phones, gateways and SBCs do
// (and as broken ones do). It shares no code with rttmodem, so that it judges rttmodem rather
// than agreeing with it.
//
// It runs a thread of its own, which answers SIP as the Config says and records everything it
// receives: the SIP messages in order (sipLog), the RTP packets, and the text they carry, decoded
// with the redundancy and with U+FFFD for each run of packets lost beyond it.
//
//   FarEnd far({.answer = FarEnd::Answer::TextPortZero});
//   port.command("ATD" + far.uri(), "NO CARRIER");      // rttmodem calls it
//   EXPECT_TRUE(far.waitSip("<- BYE"));
//
//   far.call(modemUri);                                 // it calls rttmodem
//   far.sendText("hello");                              // a T.140 packet, with its redundancy
//   far.reinvite(far.offer({.textPort = other}));       // moves the text elsewhere
//
// To add a behaviour: a value of Answer (how a call from rttmodem is answered), a field of
// Config (how requests are treated), or a method that sends what the test builds (sendRtp and
// sendRaw send anything at all). Each is documented where it is declared.
#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace rttmodem::testing {

using Ms = std::chrono::milliseconds;

// One RTP packet to send; every field may be set wrong on purpose.
struct RtpOut {
  std::uint8_t pt = 0;
  bool marker = false;
  std::uint16_t seq = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t ssrc = 0x0FA4E4D0;
  std::string payload;
  std::uint8_t padding = 0;  // bytes of RTP padding after the payload (the last one counts them)
};

// One RTP packet received.
struct RtpIn {
  std::uint8_t pt = 0;
  bool marker = false;
  std::uint16_t seq = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t ssrc = 0;
  std::string payload;
  std::size_t size = 0;  // the whole datagram
  std::chrono::steady_clock::time_point at;
};

// What an SDP says about its text and audio, read by the far end's own small parser.
struct MediaOffer {
  std::string address = "127.0.0.1";
  int audioPort = 0;  // 0: no audio line
  int textPort = 0;
  int t140Pt = 98, redPt = 100;  // redPt < 0: plain T.140 only
  int generations = 2;
  std::string direction = "sendrecv";
  bool textFirst = false;  // the text line before the audio line
  bool withT140 = true;    // false: the text line has no t140 format
  int cps = 0;             // the characters a second it takes (a=fmtp:T140 cps=N); 0: not given (30)
};

class FarEnd {
 public:
  // How a call from rttmodem (an INVITE it sends) is answered.
  enum class Answer {
    Normal,           // 180, then 200 with audio and text (red and t140)
    TextPortZero,     // 200, the text line refused with port 0 (a voice-only phone's answer)
    AudioOnly,        // 200 with the audio line only
    TextBeforeAudio,  // 200 with the text line before the audio line
    NoT140,           // 200, the text line without t140
    Unparseable,      // 200 with a body that is not SDP
    NoBody,           // 200 with no body
    UnusableAddress,  // 200 whose connection address is not an address (host.invalid)
    Busy,             // 486 Busy Here
    EarlyText,        // 183 with SDP, then text before the 200 (early media)
    Silent,           // nothing at all: the INVITE is only recorded
  };
  struct Config {
    Answer answer = Answer::Normal;
    MediaOffer media;  // what it offers and answers (its ports are filled in)
    // An INVITE outside the dialog while a call is up gets 486, as a phone's does.
    bool busyWhileInCall = true;
    // REGISTERs: 0 challenges once and takes the credentials; 401 challenges every one (a wrong
    // password); 403 forbids every one.
    int refuseRegister = 0;
    // The far end's own text: percent of its packets withheld (their sequence numbers used),
    // drawn from seed; 0: none.
    double lossPercent = 0;
    std::uint64_t seed = 1;
  };

  explicit FarEnd(Config config);
  FarEnd() : FarEnd(Config{}) {}
  ~FarEnd();
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;

  int sipPort() const { return sipPort_; }
  int textPort() const { return textPort_; }
  std::string uri(const std::string& user = "far") const;
  void setAnswer(Answer a);

  // ---- calls
  // A call from rttmodem has been answered and acknowledged (or, with EarlyText, is up).
  bool waitCall(Ms limit = Ms(20000));
  // Calls target (rttmodem's SIP URI) with offer (default: offer(config.media)); true once the
  // 2xx came and was acknowledged. *status: the final status.
  bool call(const std::string& target, int* status = nullptr, const std::string& offer = {},
            Ms limit = Ms(20000));
  // A re-INVITE in the call with this body (empty: none, so that rttmodem offers and the ACK
  // answers with answerSdp, default our media). The final status, 0 when none came.
  int reinvite(const std::string& sdp, const std::string& answerSdp = {}, Ms limit = Ms(10000));
  // rttmodem's description in the last exchange (its offer or answer).
  std::string remoteSdp();
  void bye();
  bool inCall();
  // The SDP this far end sends for a given media description.
  std::string offer(const MediaOffer& m) const;
  std::string offer() const { return offer(config_.media); }
  int audioPort() const { return audioPort_; }
  // A second text port, for re-INVITEs that move the text; its packets are received too.
  int otherTextPort() const { return textPort2_; }
  // Describes and sends from the second text port (true) or the first; offer() says so next.
  void moveText(bool toOther);
  // What had arrived when the last request of this method came: the text, and the packets.
  struct Snapshot {
    std::string text;
    std::size_t packets = 0;
  };
  Snapshot atRequest(const std::string& method);

  // ---- text
  // One T.140 packet with the far end's redundancy (its own history), to rttmodem's text port.
  void sendText(const std::string& utf8);
  // Empty packets that carry the last text's redundancy (and show a loss of the last packet).
  void sendRedundancy();
  // Exactly this packet.
  void sendRtp(const RtpOut& p);
  // The next packet sendText would send (its sequence number taken), for a test to alter.
  RtpOut nextPacket(const std::string& utf8);
  std::string received();  // UTF-8, U+FFFD for each run of packets lost beyond the redundancy
  bool waitText(const std::string& text, Ms limit = Ms(20000));
  std::vector<RtpIn> packets();
  std::uint32_t ssrc() const { return ssrc_; }
  void setSsrc(std::uint32_t ssrc, std::uint16_t nextSeq);

  // ---- SIP
  // What came and went, in order: "<- INVITE", "-> 200 INVITE", "<- BYE", "-> 486 INVITE"...
  std::vector<std::string> sipLog();
  bool waitSip(const std::string& entry, Ms limit = Ms(20000), std::size_t occurrence = 1);
  int requests(const std::string& method);
  // The raw text of the last request of this method received.
  std::string lastRequest(const std::string& method);
  // A hand-written message to rttmodem's SIP port, and the responses to a given Call-ID.
  void sendRaw(const std::string& message, int port);
  std::string waitResponse(const std::string& callId, Ms limit = Ms(10000));

 private:
  struct Dialog {
    std::string callId, localTag, remoteTag, remoteUri;  // remoteUri: its Contact
    std::string vias;                                     // an incoming INVITE's Via lines
    std::string fromLine, toLine;                         // as they go in our requests
    std::uint32_t localCseq = 1, inviteCseq = 0;
    sockaddr_in peer{};
    bool up = false, outgoing = false;
    std::string remoteSdp;
    std::string pendingAnswer;  // a delayed-offer re-INVITE: the ACK's body
  };
  void run();
  void onSip(const std::string& msg, const sockaddr_in& from);
  void onRequest(const std::string& msg, const sockaddr_in& from);
  void onResponse(const std::string& msg, const sockaddr_in& from);
  void answerInvite(const std::string& msg, const sockaddr_in& from);
  void onRtp(const std::string& d);
  void sendSip(const std::string& msg, const sockaddr_in& to, const std::string& logEntry);
  std::string response(const std::string& request, int status, const std::string& reason,
                       const std::string& body = {}, const std::string& extra = {});
  std::string request(const std::string& method, const std::string& body, const std::string& extra = {});
  void useRemoteSdp(const std::string& sdp);
  void sendPacket(const RtpOut& p);
  bool waitFor(const std::function<bool()>& done, Ms limit);

  Config config_;
  int sipFd_ = -1, textFd_ = -1, audioFd_ = -1, textFd2_ = -1, wakeFd_[2] = {-1, -1};
  int sipPort_ = 0, textPort_ = 0, audioPort_ = 0, textPort2_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  std::vector<std::string> log_;
  std::map<std::string, std::string> lastRequests_;
  std::map<std::string, int> requestCounts_;
  std::map<std::string, Snapshot> snapshots_;
  bool sendFromOther_ = false;
  std::map<std::string, std::string> responses_;  // by Call-ID
  std::optional<Dialog> dialog_;
  int lastStatus_ = 0;   // of our last INVITE
  int tagCounter_ = 0;
  // rttmodem's text port, as its description says.
  sockaddr_in remoteText_{};
  int remoteT140_ = 98, remoteRed_ = 100;
  // Our sending state.
  std::uint32_t ssrc_ = 0x0FA4E4D0;
  std::uint16_t seq_ = 1000;
  bool sentFirst_ = false;
  std::vector<std::string> history_;  // our last primaries, oldest first
  std::uint64_t lossState_;
  // Receiving state.
  std::vector<RtpIn> packets_;
  std::string received_;
  std::optional<std::uint16_t> lastSeq_;
  std::optional<std::uint32_t> lastSsrc_;
};

}  // namespace rttmodem::testing
