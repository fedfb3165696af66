// SPDX-License-Identifier: Apache-2.0
#pragma once
// One RTT phone line: places, receives and ends calls and carries their text, behind a narrow
// interface for whatever presents it (the console program now, the AT modem front later).
//
//   dial(uri)  -> Ringing, then Connected, or Busy / NoAnswer / Failed
//   incoming   -> Incoming; answer() -> Connected; hangUp() refuses it
//   hangUp()   -> Ended (byUs) once what was typed has gone, with its redundancy; then the BYE
//                 leaves, and only then may the next call start (a dial meanwhile waits)
//   the far end hanging up -> Ended
//   sendText(bytes) and the text callback: Windows-1252 on this side, T.140 on the network.
//   Text belongs to the call it was typed in: given while a call is being hung up, or (for the
//   modem) with no call at all, it is discarded and counted, never sent to the next call.
//
// Every event has a result line for the modem (call/result.h) and a log line; every call's end
// logs its counts. All of it runs on the net::Loop's thread.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "call_trace.h"
#include "charset.h"
#include "impair.h"
#include "libre.h"
#include "loss.h"
#include "result.h"
#include "sdp.h"
#include "t140.h"

namespace rttmodem::call {

enum class Event { Incoming, Ringing, Connected, Busy, NoAnswer, Failed, Ended };
std::string eventName(Event e);

struct CallInfo {
  std::string peer;  // the far end's URI
  int status = 0;    // the SIP status behind Busy, NoAnswer or Failed; 0 when there was none
  std::string reason;
  ModemResult result = ModemResult::NoCarrier;
  bool byUs = false;  // Ended: this side hung up
};

struct Counts {
  std::uint64_t sent = 0;             // characters sent
  std::uint64_t received = 0;         // characters received (lost-text marks not included)
  std::uint64_t lost = 0;             // text packets found missing
  std::uint64_t recovered = 0;        // of those, filled from redundancy
  std::uint64_t marks = 0;            // lost-text marks shown
  std::uint64_t unrepresentable = 0;  // characters written as '?' for want of a Windows-1252 form
  std::uint64_t invalid = 0;          // bytes of invalid UTF-8 received
  std::uint64_t dropped = 0;   // packets refused (unknown source or payload type, malformed, oversized)
  std::uint64_t withheld = 0;  // packets we did not send, to simulate loss
  std::uint64_t discarded = 0;  // characters given after the call's hang-up, never sent
};
std::string countsLine(const Counts& c);

// name=value for a log line, the value quoted when it has spaces or quotes.
std::string field(std::string_view name, std::string_view value);

// How long --hold keeps the call's audio on hold.
inline constexpr int kHoldSeconds = 5;

struct ControllerConfig {
  std::string host = "127.0.0.1";  // SIP and RTP listen here
  int sipPort = 0;                 // 0: a free one
  std::string user = "rttmodem";
  int generations = 2;  // redundant generations we offer and send
  std::optional<rtt::LossPattern> loss;
  rtt::Impairments impair;  // on the text we send
  int reinviteSeconds = 0;   // a re-INVITE with our offer this long into each call; 0: none
  // Audio put on hold (a re-INVITE with audio sendonly) this long into each call, and taken off
  // hold kHoldSeconds later; 0: never. The text goes on meanwhile.
  int holdSeconds = 0;
  bool textOnly = false;  // the calls we place offer text alone
  // The calls we place offer audio alone, and add text by a re-INVITE this long into the call;
  // 0: text from the start. What is typed before waits for the text stream.
  int addTextSeconds = 0;
  std::uint64_t seed = 1;
  int answerTimeoutSeconds = 60;  // a call we placed that is not answered by then ends: NO ANSWER
  // Registration (empty registrar: none), and the account's credentials.
  std::string registrar, aor;
  net::SipAgent::Credentials credentials;
  int refuseStatus = 0;  // a test far end: refuse every incoming call with this status
  // Text given with no call (before the first one) waits for the next call (the console), or
  // is discarded and counted (the modem, whose program types only while online).
  bool holdEarlyText = true;
  // With a registrar: take calls that come straight to us rather than through it.
  bool acceptDirect = false;
  bool tcp = true;
  int registrationRetrySeconds = 30;
  std::string traceDir;  // a wire trace of each call goes here; empty: none
};

class Controller {
 public:
  // Closing: hung up here, the last text and then the BYE on their way; the line is not free.
  enum class State { Idle, Calling, Ringing, Incoming, Connected, Closing };
  struct Callbacks {
    std::function<void(Event, const CallInfo&)> event;
    std::function<void(std::string_view bytes)> text;
    std::function<void(const std::string& line)> log;
    std::function<void(bool ok, int status, const std::string& reason)> registration;
    // An incoming call refused before it rang (busy, unusable offer, refuseStatus).
    std::function<void(int status)> refused;
    // The line is free again after a hang-up here (its BYE has gone).
    std::function<void()> idle;
  };

  Controller(ControllerConfig config, Callbacks callbacks);
  ~Controller();
  bool start(std::string* error);
  int sipPort() const { return agent_.port(); }
  // Where to call this line directly.
  std::string contact() const;

  // A dial while a hang-up is under way waits for it.
  bool dial(const std::string& uri);
  bool answer();
  // Sends what was typed (with its redundancy), then ends the call.
  void hangUp();
  void sendText(std::string_view bytes);
  // Hangs up once all text given so far has been sent with its redundancy.
  void hangUpWhenSent();

  State state() const { return state_; }
  // The last registration was refused (or failed): its reason; empty otherwise.
  const std::string& registrationRefused() const { return registrationRefused_; }
  // This call's counts so far (the last call's once it has ended, until the next one starts).
  Counts counts() const;

 private:
  void log(const std::string& line);
  void emit(Event e, CallInfo info);
  // Ends the call: with grace, the line stays busy a moment for the BYE (or CANCEL) to leave.
  void endCall(Event e, CallInfo info, bool grace = false);
  void becomeIdle();
  void finishHangUp();
  void discard(std::size_t characters, const std::string& why);
  bool onReoffer(int call, const std::string& sdp, std::string* reply);
  void applyMedia(const sip::Negotiated& n);
  void onProgress(int call, int status, const std::string& sdp, const net::Endpoint& source);
  void startMedia();
  void startSending();
  void stopMedia();
  void pumpText();
  // A text packet made now: withheld, sent, or queued to leave as the impairments say.
  void sendTextPacket(const rtt::OutPacket& pkt, bool withhold);
  void traceSent(const std::string& datagram);
  void queueDepartures(std::vector<rtt::Impairer::Departure> departures);
  void sendDue();
  // A re-INVITE with our offer, for the reason given (the option that asked for it); false when
  // none can go now (no call up, or an offer of ours still waits for its answer).
  bool sendReinvite(const std::string& reason = "--reinvite", const std::vector<std::string>& layout = {});
  // --add-text: the text stream added to a call placed without one.
  void addText();
  // Text typed before the call could carry it, into the stream once it has one.
  void sendEarlyText();
  // Audio on hold (or off it) by a re-INVITE; tried again shortly when an offer is pending.
  void holdAudio(bool hold);
  void sendSilence();
  void onText(const net::RtpPort::Packet& p);
  void onIncoming(int call, const std::string& from, const std::string& sdp, const net::Endpoint& source);
  bool onAnswered(int call, const std::string& sdp, const net::Endpoint& source);
  void onEstablished(int call);
  void onClosed(int call, int status, const std::string& reason, bool byFarEnd);
  sip::LocalMedia localMedia() const;

  ControllerConfig config_;
  Callbacks callbacks_;
  net::SipAgent agent_;
  net::RtpPort textPort_, audioPort_;
  net::Timer textTimer_, audioTimer_, answerTimer_;
  State state_ = State::Idle;
  int call_ = -1;
  std::string peer_;
  std::string signalHost_;  // where the far end's SIP came from
  bool latched_ = false;
  std::string answerSdp_;
  std::optional<sip::Negotiated> media_;
  std::unique_ptr<rtt::Sender> sender_;
  std::unique_ptr<rtt::Receiver> receiver_;
  rtt::LossModel loss_;
  std::optional<rtt::Impairer> impairer_;
  std::multimap<std::uint64_t, std::string> departures_;  // impaired packets by when they leave
  net::Timer departTimer_, holdTimer_, reinviteTimer_, audioHoldTimer_, addTextTimer_;
  bool audioHeld_ = false;  // our audio is on hold (--hold): our offers say sendonly
  std::optional<std::uint64_t> ssrcChangeAtMs_;  // this call's stream restarts then
  text::ToNetwork toNet_;
  text::FromNetwork fromNet_;
  std::string early_;          // text given before the call was up
  std::string earlyReceived_;  // the far end's text before the call was up (early media)
  bool hangUpWhenSent_ = false;
  bool hungUpHere_ = false;     // hangUp() was asked for this call
  bool answered_ = false;       // an incoming call: our 2xx has gone
  bool flushing_ = false;       // Closing: the last text still going out
  bool reofferPending_ = false;  // our offer in a re-INVITE's 2xx awaits its answer in the ACK
  std::vector<std::string> offerLayout_;
  std::optional<std::string> pendingDial_;
  std::string registrationRefused_;
  net::Timer flushTimer_, graceTimer_;
  std::set<std::string> reported_;  // refusals already logged this call
  Counts counts_;
  std::uint32_t audioTimestamp_ = 0;
  bool audioStarted_ = false;
  unsigned long long sessionId_;
  CallTrace trace_;
  std::string traceEnd_;  // why the traced call ended
};

}  // namespace rttmodem::call
