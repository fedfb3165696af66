// SPDX-License-Identifier: Apache-2.0
#pragma once
// The wire trace of one real-time text call: its SIP messages with their session descriptions,
// every RTP packet of the text stream both ways (decoded down to the redundant generations and
// the new text), what was typed and shown where the kit could see it, and notes. One text file a
// call, one line an event (a session description's lines follow its message, each behind "| "),
// times in microseconds on the monotonic clock since the trace began. docs/rtt-conformance.md
// describes the format; this file is the model, the writer and the RTP decoding behind it.
//
// The trace is made from what went over the wire, decoded here on its own: the rules that judge a
// far end from it must not share a fault with the receiver they would then fail to see.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace rttmodem::trace {

inline constexpr int kFormatVersion = 1;
inline constexpr std::string_view kMagic = "rtt-trace";
inline constexpr std::string_view kFileExtension = ".rtttrace";

// Who an event came from: In is the far end's, Out ours.
enum class Direction { In, Out };

struct CallHeader {
  std::string id;        // the call's number or name in its program
  std::string role;      // "caller", "callee" (or empty: not known)
  std::string local;     // our SIP address
  std::string peer;      // the far end's
  std::string started;   // wall clock at the trace's start, ISO 8601 UTC, for people
  std::int64_t originUs = 0;  // the monotonic clock at the trace's start (aligns two traces of one machine)
  bool operator==(const CallHeader&) const = default;
};

enum class SdpRole { None, Offer, Answer };

struct SipMessage {
  std::int64_t us = 0;
  Direction dir = Direction::In;
  std::string method;  // a request's method; empty for a response
  int status = 0;      // a response's status; 0 for a request
  std::string reason;  // a response's reason phrase
  std::uint32_t cseq = 0;
  std::string cseqMethod;  // a response: the method of its request
  SdpRole sdp = SdpRole::None;
  std::optional<std::string> body;  // the message body as it was (a session description)
  bool isRequest() const { return status == 0; }
  bool operator==(const SipMessage&) const = default;
};

enum class PayloadKind { T140, Red, Other, Bad };

struct Generation {
  int pt = 0;
  int offset = 0;  // timestamp units before the packet's own (14 bits)
  std::string text;
  bool operator==(const Generation&) const = default;
};

struct RtpPacket {
  std::int64_t us = 0;
  Direction dir = Direction::In;
  std::uint32_t ssrc = 0;
  std::uint16_t seq = 0;
  std::uint32_t ts = 0;
  bool marker = false;
  int pt = 0;
  std::size_t length = 0;  // payload bytes (after the RTP header, without padding)
  PayloadKind kind = PayloadKind::T140;
  std::vector<Generation> generations;  // Red: the redundant blocks, oldest first
  int primaryPt = 0;                    // Red: the primary block's payload type
  std::string text;                     // T140, Red: the new text (the primary block)
  std::string raw;                      // Other, Bad: the payload's bytes
  std::string error;                    // Bad: why it could not be decoded
  bool operator==(const RtpPacket&) const = default;
};

// Text entered or displayed at a point the kit observes: "local" is this side's user or program,
// "far" the far end's user side when the kit sees it too (a TTY behind a gateway, the other kit
// endpoint of a network path).
struct TextEvent {
  enum class Kind { Typed, Shown };
  std::int64_t us = 0;
  Kind kind = Kind::Typed;
  std::string side;
  std::string text;
  bool operator==(const TextEvent&) const = default;
};

struct Note {
  std::int64_t us = 0;
  std::string text;
  bool operator==(const Note&) const = default;
};

struct End {
  std::int64_t us = 0;
  std::string reason;
  bool operator==(const End&) const = default;
};

using Event = std::variant<SipMessage, RtpPacket, TextEvent, Note, End>;
std::int64_t eventTime(const Event& e);

struct Trace {
  CallHeader call;
  std::vector<Event> events;
  std::vector<int> lines;  // the line of each event in the file it was read from (0: not read)
  bool operator==(const Trace& other) const { return call == other.call && events == other.events; }
};

// ---- the format ---------------------------------------------------------------------------------

// A quoted string of the format: "..." with \\ \" \n \r \t, \xHH for bytes that are controls or not
// UTF-8, and \u{H} for characters that would hide or move text on a terminal (U+FEFF, U+2028, ...).
std::string quote(std::string_view bytes);
// Seconds with six decimals: 12.345678.
std::string seconds(std::int64_t us);

std::string formatHeader(const CallHeader& call);  // the first two lines
std::string formatEvent(const Event& e);           // its line (and body lines), each ending in '\n'
std::string formatTrace(const Trace& t);

// Writes a trace as its events come: the header first, then each event at once (flushed, so that
// what was written survives the program). The caller gives the times.
class TraceWriter {
 public:
  TraceWriter(std::ostream& out, const CallHeader& call);
  void write(const Event& e);
  // The last line; nothing more is written after it.
  void end(std::int64_t us, const std::string& reason);
  bool good() const { return out_.good(); }

 private:
  std::ostream& out_;
  bool ended_ = false;
};

// A trace file in a folder: written under NAME.part while the call goes on, renamed to NAME when it
// ends, so that a finished trace is never half-written and one cut short by a crash is still there
// (and still readable) as .part. Times come from the monotonic clock since open(). A trace never
// shares a file with another nor replaces one: when NAME is taken (another program writing traces
// into the same folder), the trace is NAME-2 (then -3, ...) before the extension.
class TraceFile {
 public:
  // Nothing, and an error, when the file cannot be made.
  static std::unique_ptr<TraceFile> open(const std::filesystem::path& dir, const std::string& name,
                                         CallHeader call, std::string* error);
  ~TraceFile();  // ends the trace ("trace closed") if finish() was not called
  std::int64_t now() const;
  void write(const Event& e) { writer_->write(e); }
  // Everything written so far has reached the file (its .part).
  bool good() const { return writer_ && writer_->good(); }
  // Ends the trace and gives it its name; false and an error when that fails.
  bool finish(const std::string& reason, std::string* error);
  // The trace's name (the one it has once finished).
  const std::filesystem::path& path() const { return path_; }

 private:
  TraceFile() = default;
  std::chrono::steady_clock::time_point origin_;
  std::filesystem::path dir_, path_, partPath_;
  std::string name_;
  std::ofstream file_;
  std::unique_ptr<TraceWriter> writer_;
  bool finished_ = false;
};

// "call-20250601-120000-3.rtttrace": a file name for the n-th call of a program started at the
// given wall clock time.
std::string traceFileName(std::chrono::system_clock::time_point started, int callNumber);
// The wall clock as ISO 8601 UTC with milliseconds, for CallHeader::started.
std::string isoTime(std::chrono::system_clock::time_point t);

// ---- decoding RTP -------------------------------------------------------------------------------

// An RTP datagram of the text stream as a trace's packet: its header, and its payload decoded as
// red when its type is redPt (Bad when that fails), as T.140 when it is t140Pt, else kept raw.
// Padding and a header extension are taken off. Nothing, and an error, when it is not RTP.
std::optional<RtpPacket> decodeRtp(std::string_view datagram, int t140Pt, int redPt, std::int64_t us,
                                   Direction dir, std::string* error);

// A red payload (RTP payload for redundant audio data) into its blocks; false and an error when its
// headers or blocks do not fit.
bool decodeRed(std::string_view payload, RtpPacket* packet, std::string* error);

}  // namespace rttmodem::trace
