// SPDX-License-Identifier: Apache-2.0
#pragma once
// The wire trace of each call (--trace-dir): one file a call in a folder, holding the call's SIP
// messages as they went over the wire, every text packet both ways as it left or arrived (decoded
// by the trace's own decoder, not by our receiver), and the text typed and shown here.
//
// A trace begins with the INVITE that starts a dialog (sent: we call; received: we are called)
// and takes the messages of that dialog only; it ends when the line is free again. A trace that
// cannot be written is logged once, and the call goes on without it.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "wire_trace.h"

namespace rttmodem::call {

// A SIP message's parts a trace keeps: its first line, CSeq, and body.
struct SipParts {
  bool ok = false;
  std::string method;  // a request's
  int status = 0;      // a response's
  std::string reason;
  std::uint32_t cseq = 0;
  std::string cseqMethod;
  std::string callId;
  bool toTag = false;  // the To header has a tag: the message belongs to a dialog
  std::string from, to;
  std::string body;
};
// Nothing ok when the first line or the CSeq cannot be read.
SipParts parseSip(std::string_view message);

class CallTrace {
 public:
  using Log = std::function<void(const std::string& line)>;
  // dir empty: no traces.
  CallTrace(std::string dir, Log log);
  bool on() const { return !dir_.empty(); }
  bool open() const { return file_ != nullptr; }

  void sip(bool sent, std::string_view message, const std::string& local);
  void rtp(bool sent, std::string_view datagram, int t140Pt, int redPt);
  void typed(std::string_view utf8);
  void shown(std::string_view utf8);
  void note(const std::string& text);
  // The call is over: the trace is ended and renamed to its final name.
  void finish(const std::string& reason);

 private:
  void write(const trace::Event& e);
  void failed(const std::string& why);

  std::string dir_;
  Log log_;
  std::chrono::system_clock::time_point started_;
  int calls_ = 0;
  std::unique_ptr<trace::TraceFile> file_;
  std::string callId_;
  bool failed_ = false;  // this call's trace failed (and was logged)
  bool calledHere_ = false;      // the opening INVITE came from us
  std::uint32_t openingCseq_ = 0;
  // The INVITEs of this call that carried an offer, by who sent them (true: we) and CSeq.
  std::map<std::pair<bool, std::uint32_t>, bool> inviteOffered_;
};

}  // namespace rttmodem::call
