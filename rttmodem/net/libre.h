// SPDX-License-Identifier: Apache-2.0
#pragma once
// The thin adapter over libre (SIP, RTP, timers and the poll loop). Nothing outside this adapter
// includes libre's headers, so a change of libre's API touches only libre.cpp.
//
// libre keeps its state per thread: a Loop and everything made while it exists belong to the
// thread that made them, and every call into them comes from that thread (from the loop's own
// callbacks, or before run()).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rttmodem::net {

class Loop {
 public:
  Loop();  // fails with std::runtime_error when libre cannot start
  ~Loop();
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;
  // Runs until stop().
  void run();
  void stop();
  // Milliseconds of the loop's clock.
  static std::uint64_t nowMs();
  // Where libre's own warnings go, one line each (by default, standard error as libre writes
  // them). libre 1.1.0 writes a few messages, such as undecodable SIP, straight to standard error.
  static void setLog(std::function<void(const std::string&)> log);
};

class Timer {
 public:
  Timer();
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  void start(std::uint64_t delayMs, std::function<void()> fire);
  void cancel();
  bool active() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Calls readable whenever fd has data (or its end).
class FdWatch {
 public:
  FdWatch(int fd, std::function<void()> readable);
  ~FdWatch();
  FdWatch(const FdWatch&) = delete;
  FdWatch& operator=(const FdWatch&) = delete;
  bool ok() const { return ok_; }
  // Stops watching; safe from inside readable.
  void close();

 private:
  int fd_;
  bool ok_ = false;
  std::function<void()> readable_;
};

struct Endpoint {
  std::string host;
  int port = 0;
  bool operator==(const Endpoint&) const = default;
  std::string text() const;
};

// One UDP port for RTP (with RTCP beside it, which is read and ignored).
class RtpPort {
 public:
  struct Packet {
    Endpoint source;
    std::uint8_t pt;
    bool marker;
    std::uint16_t seq;
    std::uint32_t timestamp;
    std::uint32_t ssrc;
    std::string payload;  // without the padding
    std::size_t size;     // the whole datagram
    std::string error;    // a malformed packet (its padding longer than its payload)
    std::string datagram;  // the packet as it came, header and all (for the wire trace)
  };
  RtpPort();
  ~RtpPort();
  RtpPort(const RtpPort&) = delete;
  RtpPort& operator=(const RtpPort&) = delete;
  // Listens on host at a free port.
  bool open(const std::string& host, std::function<void(const Packet&)> received, std::string* error);
  int port() const;
  // Builds the next packet (its sequence number taken) and sends it to dst unless withheld.
  bool send(const Endpoint& dst, std::uint8_t pt, bool marker, std::uint32_t timestamp,
            const std::string& payload, bool withhold);
  // The next packet as a datagram (its sequence number taken), to send later with sendDatagram.
  std::string build(std::uint8_t pt, bool marker, std::uint32_t timestamp, const std::string& payload);
  bool sendDatagram(const Endpoint& dst, const std::string& datagram);
  // Starts a new stream: another SSRC, and sequence numbers and timestamps from new random
  // points (timestamps given afterwards are shifted by one random amount). Returns the SSRC.
  std::uint32_t restartStream();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A SIP user agent on one port, UDP and TCP: placed and received calls (one session each), and
// an optional registration with digest authentication.
//
// Requests that are not well formed (a Content-Length that is not the body's length, a CSeq
// method that is not the request's) are refused with 400 before they reach a session.
class SipAgent {
 public:
  struct Config {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: a free one
    std::string user = "rttmodem";
    std::string displayName;
    std::string software = "rttmodem";
    bool tcp = true;  // also listen on TCP, on the same port
    // When not empty, a new call (an INVITE outside any dialog) is taken only from these
    // addresses (port 0: any port of the host); others are refused with 403.
    std::vector<Endpoint> acceptFrom;
    // A refused or failed registration is tried again after this, doubled after each failure
    // (at most an hour).
    int registrationRetrySeconds = 30;
  };
  struct Credentials {
    std::string user, password;
  };
  struct Handlers {
    // An INVITE: the call's id, who calls, the offer's body. The handler answers it with ring(),
    // reject() (or later accept()).
    // source: where the INVITE came from.
    std::function<void(int call, const std::string& from, const std::string& sdp, const Endpoint& source)>
        incoming;
    // A provisional response to our INVITE; sdp: its session description (early media), if any.
    std::function<void(int call, int status, const std::string& reason, const std::string& sdp,
                       const Endpoint& source)>
        progress;
    // The answer to our offer (from the 2xx, which came from source); returning false ends the call.
    std::function<bool(int call, const std::string& sdp, const Endpoint& source)> answered;
    // The call is up (2xx sent and acknowledged, or 2xx received).
    std::function<void(int call)> established;
    // A re-INVITE in a call. With an offer (sdp not empty): our answer goes in *reply, or the
    // handler returns false to refuse it (the call goes on as it was). Without one: our offer
    // goes in *reply, and the far end's answer, in its ACK, comes to answered().
    std::function<bool(int call, const std::string& sdp, std::string* reply)> reoffer;
    // The call is over: status of a failure response (0 when none), its reason or what happened,
    // and whether the far end ended it with a request of its own (a BYE, or a CANCEL).
    std::function<void(int call, int status, const std::string& reason, bool byFarEnd)> closed;
    // Each registration's outcome: a 2xx, or a refusal or failure (status 0: no response);
    // retrySeconds: when it is tried again (0 after a success).
    std::function<void(int status, const std::string& reason, int retrySeconds)> registration;
    std::function<void(const std::string& line)> log;
    // Every SIP message as it leaves (sent) or arrives, retransmissions included (the wire trace).
    std::function<void(bool sent, const std::string& message)> message;
  };

  SipAgent();
  ~SipAgent();
  SipAgent(const SipAgent&) = delete;
  SipAgent& operator=(const SipAgent&) = delete;

  bool open(const Config& config, Handlers handlers, std::string* error);
  int port() const;
  std::string host() const;
  // Registers aor with registrar (its URI, e.g. sip:host:port) and keeps the registration fresh;
  // calls placed afterwards go through the registrar as outbound proxy, from aor. A challenge is
  // answered once; a second one, or any refusal, ends the attempt until the retry.
  bool registerAt(const std::string& registrar, const std::string& aor, Credentials credentials,
                  std::string* error);
  // Places a call; returns its id, or -1 and an error.
  int invite(const std::string& to, const std::string& sdp, std::string* error);
  bool ring(int call);  // 180 Ringing to an incoming call
  bool accept(int call, const std::string& sdp, std::string* error);
  void reject(int call, int status, const std::string& reason);
  // A re-INVITE in an established call with our offer; the answer comes to answered().
  bool reinvite(int call, const std::string& sdp, std::string* error);
  // Ends a call in whatever state: CANCEL, BYE or a refusal. No closed() follows; the request
  // leaves from a clean stack, at once after the present callback.
  void hangUp(int call);
  void unregister();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rttmodem::net
