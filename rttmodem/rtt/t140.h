// SPDX-License-Identifier: Apache-2.0
#pragma once
// Real-time text in RTP: T.140 blocks, sent every transmission interval, with earlier blocks
// repeated as redundant generations in RTP payload for redundant audio data (the "red" format).
// The receiver finds lost packets by their sequence numbers, fills them from the redundancy when
// it can, and otherwise shows the loss as a lost-text mark: text never goes missing silently.
// Pure logic: times come in as milliseconds, packets go out as values.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rttmodem::rtt {

inline constexpr int kIntervalMs = 300;         // transmission interval
// The largest text packet, RTP header included, that we send or take.
inline constexpr std::size_t kMaxPacket = 4096;
inline constexpr std::size_t kRtpHeader = 12;
inline constexpr std::size_t kMaxBlock = 1000;  // bytes of new text in one packet (a red block holds 1023)
inline constexpr int kMaxGenerations = 5;
// Keep-alives: one at the start, one this long after the text stops (so that the loss of a
// turn's last packets shows within a second), then one every kKeepAliveMs.
inline constexpr int kFirstKeepAliveMs = 1000;
inline constexpr int kKeepAliveMs = 10000;

// One block of a red payload.
struct RedBlock {
  std::uint8_t pt = 0;
  std::uint16_t tsOffset = 0;  // how much older than the packet's timestamp
  std::string data;
};

struct RedPayload {
  std::vector<RedBlock> redundant;  // oldest first
  std::uint8_t primaryPt = 0;
  std::string primary;
};

// Nothing when the payload is not a well-formed red payload; error says why.
std::optional<RedPayload> parseRed(std::string_view payload, std::string* error);
std::string buildRed(const RedPayload& red);

struct OutPacket {
  std::uint8_t pt = 0;
  bool marker = false;
  std::uint32_t timestamp = 0;
  std::string payload;
  std::size_t characters = 0;  // new characters in it
};

struct SenderConfig {
  int generations = 2;  // 0: plain T.140 packets
  std::uint8_t t140Pt = 98;
  std::uint8_t redPt = 100;  // used only with generations > 0
  std::uint32_t timestampBase = 0;
  bool keepAlives = true;
  // The payload never exceeds this: new text in one packet is cut so that it fits with all its
  // redundant generations.
  std::size_t maxPayload = kMaxPacket - kRtpHeader;
  // Characters a second the far end takes (0: no limit): a packet carries at most what that
  // rate allows in one interval, so that a paste goes out over as many packets as it needs.
  int cps = 0;
};

class Sender {
 public:
  explicit Sender(SenderConfig config);
  // New payload type numbers or generations (a renegotiated call); queued text stays.
  void renegotiate(std::uint8_t t140Pt, std::uint8_t redPt, int generations);
  void setCps(int cps) { config_.cps = cps; }
  // Packets the text queued now needs, at the most a packet may carry (its bytes and the cps).
  std::size_t packetsPending() const;
  // Bytes of new text one packet carries at most.
  std::size_t blockLimit() const;
  // Bytes queued and not yet sent.
  std::size_t pending() const { return pending_.size(); }
  const std::string& pendingText() const { return pending_; }
  // Whole UTF-8 characters to send.
  void queue(std::string_view utf8Text);
  // The packet due at nowMs, if one is.
  std::optional<OutPacket> poll(std::uint64_t nowMs);
  // When poll next has something to send; nothing while idle.
  std::optional<std::uint64_t> nextDue() const;
  // Everything queued has been sent, with all its redundant generations (keep-alives may follow).
  bool idle() const { return pending_.empty() && redundancyLeft_ == 0; }
  // Idle, and a keep-alive has followed the text: the far end can tell whether all of it came.
  bool settled() const { return idle() && lastWasKeepAlive_; }

 private:
  struct Sent {
    std::uint32_t timestamp;
    std::string data;
  };
  SenderConfig config_;
  std::string pending_;
  std::deque<Sent> history_;  // the last primaries, oldest first
  int redundancyLeft_ = 0;    // packets still owed to carry the last text as redundancy
  std::optional<std::uint64_t> lastSentMs_;
  bool lastWasKeepAlive_ = false;
};

struct Received {
  std::string text;        // UTF-8 to show, lost-text marks included
  int lost = 0;            // packets found missing
  int recovered = 0;       // of those, filled from redundancy
  int marks = 0;           // lost-text marks put in the text
  bool duplicate = false;  // an old or repeated packet, ignored
  bool restarted = false;  // a new stream (another SSRC, or a sequence that jumped back far)
  std::string error;       // a malformed packet, dropped
};

class Receiver {
 public:
  // t140Pt and redPt: the numbers negotiated for this end to receive (redPt < 0: none).
  Receiver(int t140Pt, int redPt);
  // New numbers for a renegotiated call; the stream goes on.
  void renegotiate(int t140Pt, int redPt);
  // ssrc: the packet's synchronisation source. A new one starts a new stream: its sequence
  // numbers are its own, and what its first packet's redundancy holds is recovered. A packet of
  // the stream just replaced goes on with that stream's numbers.
  Received onPacket(std::uint16_t seq, bool marker, std::uint8_t pt, std::string_view payload,
                    std::optional<std::uint32_t> ssrc = std::nullopt);

 private:
  int t140Pt_, redPt_;
  std::optional<std::uint16_t> lastSeq_;
  std::optional<std::uint32_t> ssrc_;
  // The stream the present one replaced: its latecomers (sent before the switch, delayed on the
  // way) go on from where it stopped, neither repeated as a new stream's first packet nor lost.
  struct Stream {
    std::uint32_t ssrc;
    std::optional<std::uint16_t> lastSeq;
  };
  std::optional<Stream> previous_;
};

// Packets this far behind the last one are repeats or latecomers; further back, the sender
// started its sequence again.
inline constexpr int kReorderWindow = 3000;

}  // namespace rttmodem::rtt
