// SPDX-License-Identifier: Apache-2.0
#include "controller.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "uri.h"

namespace rttmodem::call {
namespace {

constexpr std::size_t kMaxTextPacket = rtt::kMaxPacket;
// After our BYE (or CANCEL) the line stays busy this long, so that the far end has it (and has
// answered it) before our next INVITE.
constexpr std::uint64_t kByeGraceMs = 300;
// A hang-up waits at most this long for the last text to go out.
constexpr std::uint64_t kMaxFlushMs = 60000;
// The far end's text before the call is up, kept for the program.
constexpr std::size_t kMaxEarlyReceived = 65536;

// The numeric addresses of a host (the registrar's), for telling its requests from others'.
std::vector<std::string> addressesOf(const std::string& host) {
  std::vector<std::string> out;
  addrinfo hints{};
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0) return out;
  for (addrinfo* a = res; a; a = a->ai_next) {
    char name[NI_MAXHOST];
    if (getnameinfo(a->ai_addr, a->ai_addrlen, name, sizeof name, nullptr, 0, NI_NUMERICHOST) == 0)
      out.emplace_back(name);
  }
  freeaddrinfo(res);
  return out;
}
constexpr int kAudioFrameMs = 20;
constexpr std::size_t kAudioFrameBytes = 160;  // 20 ms at 8000 samples a second

std::size_t textCharacters(std::string_view utf8Text) {
  // Keep-alive byte order marks carry no text.
  std::size_t n = text::countCodePoints(utf8Text);
  const std::string bom = text::utf8(text::kByteOrderMark);
  for (std::size_t at = utf8Text.find(bom); at != std::string_view::npos; at = utf8Text.find(bom, at + 1))
    --n;
  return n;
}

}  // namespace

std::string eventName(Event e) {
  switch (e) {
    case Event::Incoming:
      return "incoming";
    case Event::Ringing:
      return "ringing";
    case Event::Connected:
      return "connected";
    case Event::Busy:
      return "busy";
    case Event::NoAnswer:
      return "no-answer";
    case Event::Failed:
      return "failed";
    case Event::Ended:
      return "ended";
  }
  return "?";
}

std::string field(std::string_view name, std::string_view value) {
  const bool quote = value.empty() || value.find_first_of(" \"\\") != std::string_view::npos;
  std::string out(name);
  out += '=';
  if (!quote) return out += value;
  out += '"';
  for (char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out += '"';
}

std::string countsLine(const Counts& c) {
  return "counts sent=" + std::to_string(c.sent) + " received=" + std::to_string(c.received) +
         " lost=" + std::to_string(c.lost) + " recovered=" + std::to_string(c.recovered) +
         " marks=" + std::to_string(c.marks) + " unrepresentable=" + std::to_string(c.unrepresentable) +
         " invalid=" + std::to_string(c.invalid) + " dropped=" + std::to_string(c.dropped) +
         " withheld=" + std::to_string(c.withheld) + " discarded=" + std::to_string(c.discarded);
}

Controller::Controller(ControllerConfig config, Callbacks callbacks)
    : config_(std::move(config)),
      callbacks_(std::move(callbacks)),
      loss_(config_.loss.value_or(rtt::LossPattern{}), config_.seed),
      sessionId_(static_cast<unsigned long long>(std::chrono::system_clock::now().time_since_epoch() /
                                                 std::chrono::seconds(1))),
      trace_(config_.traceDir, [this](const std::string& line) { log(line); }) {}

Controller::~Controller() {
  if (call_ >= 0) agent_.hangUp(call_);
}

void Controller::log(const std::string& line) {
  if (callbacks_.log) callbacks_.log(line);
}

Counts Controller::counts() const {
  Counts c = counts_;
  c.unrepresentable = toNet_.unrepresentable() + fromNet_.unrepresentable();
  c.invalid = fromNet_.invalid();
  return c;
}

std::string Controller::contact() const {
  return "sip:" + config_.user + "@" + net::Endpoint{config_.host, agent_.port()}.text();
}

bool Controller::start(std::string* error) {
  if (!textPort_.open(
          config_.host, [this](const net::RtpPort::Packet& p) { onText(p); }, error))
    return false;
  if (!audioPort_.open(
          config_.host, [](const net::RtpPort::Packet&) {}, error))
    return false;  // heard, not listened to
  net::SipAgent::Handlers h;
  h.incoming = [this](int call, const std::string& from, const std::string& sdp,
                      const net::Endpoint& source) { onIncoming(call, from, sdp, source); };
  h.progress = [this](int call, int status, const std::string&, const std::string& sdp,
                      const net::Endpoint& source) { onProgress(call, status, sdp, source); };
  h.answered = [this](int call, const std::string& sdp, const net::Endpoint& source) {
    return onAnswered(call, sdp, source);
  };
  h.established = [this](int call) { onEstablished(call); };
  h.reoffer = [this](int call, const std::string& sdp, std::string* reply) { return onReoffer(call, sdp, reply); };
  h.closed = [this](int call, int status, const std::string& reason, bool byFarEnd) {
    onClosed(call, status, reason, byFarEnd);
  };
  h.registration = [this](int status, const std::string& reason, int retry) {
    const bool ok = status >= 200 && status < 300;
    registrationRefused_ = ok ? "" : (status ? std::to_string(status) + " " : std::string()) + reason;
    log(std::string(ok ? "registered" : "registration-failed") + " " +
        field("status", std::to_string(status)) + " " + field("reason", reason) +
        (ok ? "" : " " + field("retry-in", std::to_string(retry) + "s")));
    if (callbacks_.registration) callbacks_.registration(ok, status, reason);
  };
  h.log = [this](const std::string& line) { log("sip " + line); };
  if (trace_.on()) {
    std::error_code ec;
    if (!std::filesystem::is_directory(config_.traceDir, ec)) {
      *error = "cannot write traces to '" + config_.traceDir + "': not a folder";
      return false;
    }
    h.message = [this](bool sent, const std::string& message) { trace_.sip(sent, message, contact()); };
  }
  net::SipAgent::Config sc;
  sc.host = config_.host;
  sc.port = config_.sipPort;
  sc.user = config_.user;
  sc.displayName = config_.user;
  sc.tcp = config_.tcp;
  sc.registrationRetrySeconds = config_.registrationRetrySeconds;
  if (!config_.registrar.empty() && !config_.acceptDirect) {
    // Registered, we take calls only through the registrar: a stranger who knows our address
    // cannot ring the line.
    const std::string host = sip::hostOf(config_.registrar);
    const int port = sip::portOf(config_.registrar);
    for (const std::string& a : addressesOf(host)) sc.acceptFrom.push_back({a, port});
    if (sc.acceptFrom.empty()) {
      *error = "cannot resolve the registrar's host '" + host + "'";
      return false;
    }
  }
  if (!agent_.open(sc, std::move(h), error)) return false;
  if (!config_.registrar.empty()) {
    log("registering " + field("registrar", config_.registrar) + " " + field("aor", config_.aor));
    if (!agent_.registerAt(config_.registrar, config_.aor, config_.credentials, error)) return false;
  }
  return true;
}

sip::LocalMedia Controller::localMedia() const {
  sip::LocalMedia m;
  m.address = config_.host;
  m.audioPort = audioPort_.port();
  m.textPort = textPort_.port();
  m.generations = config_.generations;
  m.sessionId = sessionId_;
  m.audioDirection = audioHeld_ ? sip::Direction::SendOnly : sip::Direction::SendRecv;
  // A new offer in a call keeps the numbers its formats have in it (the far end's, when it placed
  // the call): renumbering them is allowed, but makes some phones start their text stream again
  // and drop the text they had to repeat.
  if (media_ && media_->recvT140Pt >= 0) m.t140Pt = media_->recvT140Pt;
  if (media_ && media_->recvRedPt >= 0) m.redPt = media_->recvRedPt;
  for (int pt = 96; m.redPt == m.t140Pt && pt <= 127; ++pt) m.redPt = pt;  // their T.140 took red's number
  return m;
}

void Controller::emit(Event e, CallInfo info) {
  std::string line = eventName(e);
  if (e == Event::Incoming || e == Event::Ringing) line += " " + field("peer", info.peer);
  if (e == Event::Connected) {
    line += " " + field("peer", info.peer) + " " +
            field("text", media_->textPort ? net::Endpoint{media_->textAddress, media_->textPort}.text()
                                           : std::string("none")) +
            " " + field("redundancy", std::to_string(media_->generations)) + " " +
            field("audio", media_->audioPort ? "yes" : "no");
  }
  if (e == Event::Busy || e == Event::NoAnswer || e == Event::Failed || e == Event::Ended) {
    if (info.status) line += " " + field("status", std::to_string(info.status));
    line += " " + field("reason", info.reason) + " " + field("result", resultLine(info.result));
  }
  log(line);
  if (callbacks_.event) callbacks_.event(e, info);
}

void Controller::endCall(Event e, CallInfo info, bool grace) {
  const bool hadCall = state_ != State::Idle && !(state_ == State::Closing && call_ < 0);
  stopMedia();
  answerTimer_.cancel();
  flushTimer_.cancel();
  call_ = -1;
  hangUpWhenSent_ = false;
  flushing_ = false;
  reofferPending_ = false;
  // Text typed for a call that never carried it (it did not come up, or never had a text stream).
  discard(text::countCodePoints(early_), "the call ended before it could carry the text");
  early_.clear();
  earlyReceived_.clear();
  info.peer = peer_;
  if (grace) {
    state_ = State::Closing;
    graceTimer_.start(kByeGraceMs, [this] { becomeIdle(); });
  } else if (state_ != State::Closing || !graceTimer_.active()) {
    state_ = State::Idle;
  }
  traceEnd_ = eventName(e) + ": " + info.reason;
  if (hadCall) {
    emit(e, info);
    log(countsLine(counts()));
  }
  if (state_ == State::Idle) becomeIdle();
}

void Controller::becomeIdle() {
  graceTimer_.cancel();
  state_ = State::Idle;
  trace_.finish(traceEnd_);
  if (pendingDial_) {
    const std::string uri = *pendingDial_;
    pendingDial_.reset();
    dial(uri);
    return;
  }
  if (callbacks_.idle) callbacks_.idle();
}

void Controller::discard(std::size_t characters, const std::string& why) {
  if (characters == 0) return;
  counts_.discarded += characters;
  log("text-discarded " + field("chars", std::to_string(characters)) + " " + field("reason", why));
}

bool Controller::dial(const std::string& uri) {
  if (state_ == State::Closing && !pendingDial_) {
    // The call before is still being hung up: its BYE goes first.
    pendingDial_ = uri;
    log("dial-waits " + field("peer", uri) + " " + field("reason", "the last call's hang-up"));
    return true;
  }
  if (state_ != State::Idle) {
    log("dial refused: a call is in progress");
    return false;
  }
  counts_ = {};
  toNet_ = {};
  fromNet_ = {};
  peer_ = uri;
  media_.reset();
  hungUpHere_ = false;
  std::string why;
  if (!sip::checkDialUri(uri, &why)) {
    log("dial-refused " + field("peer", uri) + " " + field("reason", why));
    state_ = State::Calling;
    endCall(Event::Failed, {uri, 0, "not an address we call: " + why, ModemResult::NoCarrier, false});
    return false;
  }
  if (!registrationRefused_.empty()) {
    log("dial-refused " + field("peer", uri) + " " + field("reason", "registration refused: " + registrationRefused_));
    state_ = State::Calling;
    endCall(Event::Failed, {uri, 0, "registration refused: " + registrationRefused_, ModemResult::NoCarrier, false});
    return false;
  }
  std::string error;
  offerLayout_ = config_.textOnly        ? std::vector<std::string>{"text"}
                 : config_.addTextSeconds ? std::vector<std::string>{"audio"}
                                          : sip::defaultLayout();
  const int call = agent_.invite(uri, sip::buildOffer(localMedia(), offerLayout_), &error);
  state_ = State::Calling;
  log("dialing " + field("peer", uri));
  if (call < 0) {
    endCall(Event::Failed, {uri, 0, error, ModemResult::NoCarrier, false});
    return false;
  }
  call_ = call;
  answerTimer_.start(static_cast<std::uint64_t>(config_.answerTimeoutSeconds) * 1000, [this] {
    agent_.hangUp(call_);
    endCall(Event::NoAnswer,
            {peer_, 0, "no answer in " + std::to_string(config_.answerTimeoutSeconds) + " s", ModemResult::NoAnswer,
             false},
            true);
  });
  return true;
}

void Controller::onIncoming(int call, const std::string& from, const std::string& sdpText,
                            const net::Endpoint& source) {
  auto refuse = [&](int status, const std::string& phrase, const std::string& why) {
    log("incoming-refused " + field("peer", from) + " " + field("status", std::to_string(status)) + " " +
        field("reason", why));
    agent_.reject(call, status, phrase);
    if (state_ == State::Idle) trace_.finish("refused: " + why);  // the refused call's own trace
    if (callbacks_.refused) callbacks_.refused(status);
  };
  if (state_ != State::Idle) return refuse(486, "Busy Here", "busy with another call");
  if (config_.refuseStatus) {
    const int s = config_.refuseStatus;
    const char* phrase = s == 486   ? "Busy Here"
                         : s == 480 ? "Temporarily Unavailable"
                         : s == 600 ? "Busy Everywhere"
                         : s == 603 ? "Decline"
                         : s == 404 ? "Not Found"
                                    : "Refused";
    return refuse(s, phrase, "refusing every call");
  }
  std::string error, answer;
  auto offer = sip::parseSdp(sdpText, &error);
  std::optional<sip::Negotiated> media;
  if (sdpText.empty()) error = "the INVITE carries no offer";
  if (offer && !sdpText.empty()) media = sip::answerOffer(*offer, localMedia(), &answer, &error);
  if (!media) return refuse(488, "Not Acceptable Here", error);
  counts_ = {};
  toNet_ = {};
  fromNet_ = {};
  if (!agent_.ring(call)) return;  // the agent refuses the INVITE itself
  call_ = call;
  peer_ = from;
  signalHost_ = source.host;
  latched_ = false;
  hungUpHere_ = false;
  answered_ = false;
  media_ = media;
  answerSdp_ = answer;
  state_ = State::Incoming;
  emit(Event::Incoming, {from, 0, {}, ModemResult::NoCarrier, false});
}

bool Controller::answer() {
  if (state_ != State::Incoming) return false;
  std::string error;
  if (!agent_.accept(call_, answerSdp_, &error)) {
    agent_.hangUp(call_);
    endCall(Event::Failed, {peer_, 0, error, ModemResult::NoCarrier, false}, true);
    return false;
  }
  answered_ = true;
  log("answering " + field("peer", peer_));
  startMedia();  // the caller may send text as soon as it has our answer
  return true;
}

void Controller::onProgress(int call, int status, const std::string& sdpText, const net::Endpoint& source) {
  if (call != call_ || (state_ != State::Calling && state_ != State::Ringing)) return;
  if (state_ == State::Calling && (status == 180 || status == 183)) {
    state_ = State::Ringing;
    emit(Event::Ringing, {peer_, status, {}, ModemResult::NoCarrier, false});
  }
  if (sdpText.empty() || media_) return;
  // Early media: the far end may send text before it answers; it is kept for the program until
  // the call is up.
  std::string error;
  auto answer = sip::parseSdp(sdpText, &error);
  std::optional<sip::Negotiated> media;
  if (answer) media = sip::readAnswer(*answer, localMedia(), &error, offerLayout_);
  if (!media) {
    log("early-media-refused " + field("reason", error));
    return;
  }
  signalHost_ = source.host;
  latched_ = false;
  media_ = media;
  log("early-media " + field("text", net::Endpoint{media_->textAddress, media_->textPort}.text()));
  startMedia();
}

bool Controller::onAnswered(int call, const std::string& sdpText, const net::Endpoint& source) {
  if (call != call_) return true;
  const bool renegotiating = state_ == State::Connected || state_ == State::Closing;
  std::string error;
  std::optional<sip::Negotiated> media;
  if (sdpText.empty()) {
    error = "the answer carries no session description";
  } else if (auto answer = sip::parseSdp(sdpText, &error)) {
    media = sip::readAnswer(*answer, localMedia(), &error, offerLayout_);
  }
  if (renegotiating) {
    if (!reofferPending_) return true;  // an ACK with nothing to settle
    reofferPending_ = false;
    if (!media) {
      // Our offer in the re-INVITE's answer got no usable answer: the call cannot go on.
      log("bad-answer " + field("reason", error));
      agent_.hangUp(call_);
      endCall(Event::Ended, {peer_, 0, error, ModemResult::NoCarrier, hungUpHere_}, true);
      return false;
    }
    applyMedia(*media);
    return true;
  }
  if (!media) {
    // The call cannot carry text: it ends with a BYE (sent once libre is done with the 2xx).
    log("bad-answer " + field("reason", error));
    agent_.hangUp(call_);
    endCall(Event::Failed, {peer_, 0, error, ModemResult::NoCarrier, false}, true);
    return false;
  }
  signalHost_ = source.host;
  latched_ = false;
  if (receiver_) {
    receiver_->renegotiate(media->recvT140Pt, media->recvRedPt);  // early media's receiver goes on
  }
  media_ = media;
  startMedia();
  return true;
}

bool Controller::onReoffer(int call, const std::string& sdpText, std::string* reply) {
  if (call != call_ || state_ != State::Connected || !media_) return false;
  if (sdpText.empty()) {
    // A re-INVITE without an offer: ours, with the call's media lines; the answer comes in the ACK.
    offerLayout_ = media_->layout.empty() ? sip::defaultLayout() : media_->layout;
    *reply = sip::buildOffer(localMedia(), offerLayout_);
    reofferPending_ = true;
    log("re-invite " + field("offer", "none") + " " + field("reason", "we offer, the ACK answers"));
    return true;
  }
  std::string error, answer;
  std::optional<sip::Negotiated> media;
  if (auto offer = sip::parseSdp(sdpText, &error)) media = sip::answerOffer(*offer, localMedia(), &answer, &error);
  if (!media) {
    log("re-invite-refused " + field("reason", error) + " " + field("result", "the call goes on as it was"));
    return false;
  }
  applyMedia(*media);
  *reply = answer;
  return true;
}

bool Controller::sendReinvite(const std::string& reason, const std::vector<std::string>& layout) {
  // Only in a call that is up and settled: not while an offer of ours awaits its answer.
  if (state_ != State::Connected || !media_ || reofferPending_) return false;
  offerLayout_ = !layout.empty() ? layout : media_->layout.empty() ? sip::defaultLayout() : media_->layout;
  std::string error;
  if (!agent_.reinvite(call_, sip::buildOffer(localMedia(), offerLayout_), &error)) {
    log("re-invite-failed " + field("reason", error));
    return true;  // not to be tried again
  }
  reofferPending_ = true;
  log("re-invite-sent " + field("reason", reason));
  return true;
}

void Controller::addText() {
  if (state_ != State::Connected || !media_ || media_->textPort) return;
  std::vector<std::string> layout = media_->layout;
  layout.push_back("text");  // a new media line goes after the call's others
  if (!sendReinvite("--add-text", layout)) addTextTimer_.start(500, [this] { addText(); });
}

void Controller::holdAudio(bool hold) {
  if (state_ != State::Connected || !media_) return;
  if (!media_->audioPort) {
    log("hold-skipped " + field("reason", "the call has no audio"));
    return;
  }
  audioHeld_ = hold;
  if (!sendReinvite(hold ? "--hold" : "--hold resume")) {
    audioHeld_ = !hold;
    audioHoldTimer_.start(500, [this, hold] { holdAudio(hold); });  // after the pending answer
    return;
  }
  if (hold) audioHoldTimer_.start(static_cast<std::uint64_t>(kHoldSeconds) * 1000, [this] { holdAudio(false); });
}

void Controller::applyMedia(const sip::Negotiated& n) {
  const bool wasSending = media_ && media_->sendText;
  const bool textAdded = media_ && !media_->textPort && n.textPort;
  const bool audioWas = media_ && media_->audioPort && media_->sendAudio;
  media_ = n;
  latched_ = false;
  if (receiver_) receiver_->renegotiate(n.recvT140Pt, n.recvRedPt);
  if (sender_) {
    sender_->renegotiate(static_cast<std::uint8_t>(n.sendT140Pt),
                         static_cast<std::uint8_t>(n.sendRedPt < 0 ? 0 : n.sendRedPt), n.generations);
    sender_->setCps(n.sendCps);
  }
  log("re-negotiated " + field("text", net::Endpoint{n.textAddress, n.textPort}.text()) + " " +
      field("t140", std::to_string(n.sendT140Pt)) + " " + field("red", std::to_string(n.sendRedPt)) + " " +
      field("send", n.sendText ? "yes" : "no") + " " + field("receive", n.receiveText ? "yes" : "no"));
  if (!n.sendText) textTimer_.cancel();
  if (n.sendText && !wasSending) pumpText();
  if (textAdded) sendEarlyText();  // after the mark that opens the stream, in a packet of its own
  if (!(n.audioPort && n.sendAudio)) {
    audioTimer_.cancel();
  } else if (!audioWas && sender_) {
    sendSilence();
  }
  if (hangUpWhenSent_) pumpText();  // an end of input that waited for this exchange
}

void Controller::onEstablished(int call) {
  if (call != call_ || state_ == State::Connected || !media_) return;
  answerTimer_.cancel();
  state_ = State::Connected;
  emit(Event::Connected, {peer_, 200, {}, ModemResult::NoCarrier, false});
  if (!earlyReceived_.empty() && callbacks_.text) {
    std::string held;
    held.swap(earlyReceived_);
    callbacks_.text(held);
  }
  if (state_ != State::Connected) return;  // the program hung up on the CONNECT
  startSending();
  // The stream opens with a byte order mark, alone in its packet before any text, as T.140 has a
  // session begin: a far end that is still starting its stream when the first packet arrives
  // (liblinphone does) loses nothing but that, and the mark comes again as redundancy.
  if (sender_) sender_->queue(text::utf8(text::kByteOrderMark));
  pumpText();
  sendEarlyText();
}

void Controller::sendEarlyText() {
  // Text typed before the stream could carry it; with no text stream yet (--add-text) it waits on,
  // so that the stream still opens with its mark alone.
  if (early_.empty() || !sender_ || !media_ || !media_->textPort) return;
  counts_.sent += text::countCodePoints(early_);
  trace_.typed(early_);
  sender_->queue(early_);
  early_.clear();
  pumpText();
}

void Controller::onClosed(int call, int status, const std::string& reason, bool byFarEnd) {
  if (call != call_) return;
  if (state_ == State::Incoming && answered_ && byFarEnd) {
    // A BYE after our 2xx, before its ACK: the caller had our answer (its BYE is in our dialog),
    // and only the ACK is late or lost. The call was up: it is connected, its text is shown, and
    // then it ends as the far end hung up.
    log("ack-missing " + field("reason", "the caller hung up before its ACK came"));
    answerTimer_.cancel();
    state_ = State::Connected;
    emit(Event::Connected, {peer_, 200, {}, ModemResult::NoCarrier, false});
    if (state_ == State::Connected && !earlyReceived_.empty() && callbacks_.text) {
      std::string held;
      held.swap(earlyReceived_);
      callbacks_.text(held);
    }
    if (call_ != call || state_ != State::Connected) return;  // the program hung up on the CONNECT
  }
  if (state_ == State::Connected || state_ == State::Closing) {
    endCall(Event::Ended, {peer_, status, reason, ModemResult::NoCarrier, hungUpHere_});
  } else if (state_ == State::Incoming) {
    endCall(Event::Ended,
            {peer_, status, status ? reason : "the caller gave up", ModemResult::NoCarrier, false});
  } else {
    const ModemResult r = resultForFailure(status);
    const Event e = r == ModemResult::Busy       ? Event::Busy
                    : r == ModemResult::NoAnswer ? Event::NoAnswer
                                                 : Event::Failed;
    endCall(e, {peer_, status, reason, r, false});
  }
}

void Controller::hangUp() {
  hungUpHere_ = true;
  if (state_ == State::Idle || (state_ == State::Closing && (call_ < 0 || flushing_))) {
    pendingDial_.reset();
    return;
  }
  const bool inFlight = !departures_.empty() || (impairer_ && impairer_->heldUntil());
  if (state_ == State::Connected && sender_ && media_ && media_->sendText && (!sender_->idle() || inFlight)) {
    // What was typed goes first, with its redundancy; the BYE after it.
    state_ = State::Closing;
    flushing_ = true;
    const std::uint64_t packets =
        sender_->packetsPending() + 1 + static_cast<std::uint64_t>(media_->generations);
    const std::uint64_t latency = impairer_ ? impairer_->maxLatencyMs() : 0;
    flushTimer_.start(std::min(kMaxFlushMs, (packets + 2) * rtt::kIntervalMs + 1000 + latency), [this] {
      log("hang-up-flush-cut " + field("bytes", std::to_string(sender_ ? sender_->pending() : 0)));
      finishHangUp();
    });
    pumpText();
    return;
  }
  finishHangUp();
}

void Controller::finishHangUp() {
  if (call_ < 0) return;
  if (sender_ && sender_->pending())
    discard(text::countCodePoints(sender_->pendingText()), "the hang-up could not wait for it");
  agent_.hangUp(call_);
  endCall(Event::Ended, {peer_, 0, "hung up here", ModemResult::NoCarrier, true}, true);
}

void Controller::hangUpWhenSent() {
  hangUpWhenSent_ = true;
  pumpText();
}

void Controller::sendText(std::string_view bytes) {
  std::string utf8Text = toNet_.convert(bytes);
  if (utf8Text.empty()) return;
  if (state_ == State::Connected && sender_ && media_ && media_->textPort) {
    counts_.sent += text::countCodePoints(utf8Text);
    trace_.typed(utf8Text);
    sender_->queue(utf8Text);
    pumpText();
  } else if (state_ == State::Closing) {
    discard(text::countCodePoints(utf8Text), "typed after the hang-up");
  } else if (state_ != State::Idle || config_.holdEarlyText) {
    early_ += utf8Text;  // sent once the call is up
  } else {
    discard(text::countCodePoints(utf8Text), "no call");
  }
}

void Controller::startMedia() {
  // Receiving starts with the answer (the far end may send as soon as it has ours); sending, with
  // the keep-alive that opens the stream and the audio's silence, once the call is up.
  if (receiver_ || !media_) return;
  receiver_ = std::make_unique<rtt::Receiver>(media_->recvT140Pt, media_->recvRedPt);
  reported_.clear();
}

void Controller::startSending() {
  if (sender_ || !media_) return;
  rtt::SenderConfig sc;
  sc.generations = media_->generations;
  sc.t140Pt = static_cast<std::uint8_t>(media_->sendT140Pt);
  sc.redPt = static_cast<std::uint8_t>(media_->sendRedPt < 0 ? 0 : media_->sendRedPt);
  sc.timestampBase = static_cast<std::uint32_t>(sessionId_ * 2654435761u);
  sc.maxPayload = kMaxTextPacket - rtt::kRtpHeader;
  sc.cps = media_->sendCps;
  sender_ = std::make_unique<rtt::Sender>(sc);
  if (config_.impair.delays()) impairer_.emplace(config_.impair, config_.seed);
  departures_.clear();
  ssrcChangeAtMs_.reset();
  if (config_.impair.ssrcChangeSeconds > 0)
    ssrcChangeAtMs_ = net::Loop::nowMs() + static_cast<std::uint64_t>(config_.impair.ssrcChangeSeconds) * 1000;
  if (config_.reinviteSeconds > 0)
    reinviteTimer_.start(static_cast<std::uint64_t>(config_.reinviteSeconds) * 1000, [this] { sendReinvite(); });
  if (config_.holdSeconds > 0)
    audioHoldTimer_.start(static_cast<std::uint64_t>(config_.holdSeconds) * 1000, [this] { holdAudio(true); });
  if (config_.addTextSeconds > 0 && !media_->textPort)
    addTextTimer_.start(static_cast<std::uint64_t>(config_.addTextSeconds) * 1000, [this] { addText(); });
  audioStarted_ = false;
  if (media_->audioPort && media_->sendAudio) sendSilence();
}

void Controller::stopMedia() {
  textTimer_.cancel();
  departTimer_.cancel();
  holdTimer_.cancel();
  reinviteTimer_.cancel();
  audioHoldTimer_.cancel();
  addTextTimer_.cancel();
  audioHeld_ = false;
  departures_.clear();
  impairer_.reset();
  audioTimer_.cancel();
  sender_.reset();
  receiver_.reset();
  media_.reset();
}

void Controller::pumpText() {
  if (!sender_ || !media_ || !media_->sendText) {
    // A call with no text stream and none coming (--add-text neither waiting nor asked): an end of
    // input hangs up at once, and the hang-up says what it could not send. Text on hold waits.
    if (hangUpWhenSent_ && state_ == State::Connected && media_ && !media_->textPort && !addTextTimer_.active() &&
        !reofferPending_)
      hangUp();
    return;
  }
  const std::uint64_t now = net::Loop::nowMs();
  while (true) {
    // The stream restarts (--ssrc-change) in a pause of our text, so that the new stream's first
    // packet carries no redundancy of text the old one delivered.
    if (ssrcChangeAtMs_ && now >= *ssrcChangeAtMs_ && sender_->idle() && !(impairer_ && impairer_->heldUntil())) {
      ssrcChangeAtMs_.reset();
      char ssrc[16];
      std::snprintf(ssrc, sizeof ssrc, "%08x", static_cast<unsigned>(textPort_.restartStream()));
      log("stream-changed " + field("ssrc", ssrc));
    }
    auto pkt = sender_->poll(now);
    if (!pkt) break;
    // The simulated loss spares keep-alives: they carry no text, and the one after a turn is what
    // lets the far end see a loss of the turn's last packets. Withheld at the end of a call, the
    // loss would go unseen, and the far end's text would end short without a mark.
    const bool keepAlive = sender_->settled();
    const bool withhold = config_.loss && !keepAlive && loss_.drop();
    counts_.withheld += withhold;
    sendTextPacket(*pkt, withhold);
  }
  // A hang-up waits for the impaired packets still on their way, so that the BYE follows them.
  if (flushing_ && sender_->idle() && departures_.empty() && !(impairer_ && impairer_->heldUntil())) {
    finishHangUp();
    return;
  }
  if (hangUpWhenSent_ && state_ == State::Connected && early_.empty() && sender_->settled()) {
    hangUp();
    return;
  }
  if (auto due = sender_->nextDue()) textTimer_.start(*due > now ? *due - now : 0, [this] { pumpText(); });
}

void Controller::sendTextPacket(const rtt::OutPacket& pkt, bool withhold) {
  const net::Endpoint to{media_->textAddress, media_->textPort};
  // The packet takes its sequence number whether or not it leaves: a withheld one is a lost one.
  std::string datagram = textPort_.build(pkt.pt, pkt.marker, pkt.timestamp, pkt.payload);
  if (withhold) {
    trace_.note("a text packet withheld (--loss)");
    return;
  }
  if (!impairer_) {
    textPort_.sendDatagram(to, datagram);
    traceSent(datagram);
    return;
  }
  queueDepartures(impairer_->take(net::Loop::nowMs(), std::move(datagram)));
  if (auto until = impairer_->heldUntil()) {
    if (!holdTimer_.active()) {
      const std::uint64_t now = net::Loop::nowMs();
      holdTimer_.start(*until > now ? *until - now : 0, [this] {
        if (!impairer_) return;
        queueDepartures(impairer_->releaseHeld(net::Loop::nowMs()));
        if (flushing_) pumpText();
      });
    }
  } else {
    holdTimer_.cancel();
  }
}

void Controller::queueDepartures(std::vector<rtt::Impairer::Departure> departures) {
  for (auto& d : departures) departures_.emplace(d.atMs, std::move(d.datagram));
  sendDue();
}

void Controller::sendDue() {
  if (!media_) return;
  const std::uint64_t now = net::Loop::nowMs();
  const net::Endpoint to{media_->textAddress, media_->textPort};
  while (!departures_.empty() && departures_.begin()->first <= now) {
    textPort_.sendDatagram(to, departures_.begin()->second);
    traceSent(departures_.begin()->second);
    departures_.erase(departures_.begin());
  }
  if (!departures_.empty()) {
    departTimer_.start(departures_.begin()->first - now, [this] {
      sendDue();
      if (flushing_) pumpText();  // the last of them may have gone: the hang-up goes on
    });
  }
}

void Controller::traceSent(const std::string& datagram) {
  if (trace_.open() && media_) trace_.rtp(true, datagram, media_->sendT140Pt, media_->sendRedPt);
}

void Controller::sendSilence() {
  if (!media_ || !media_->audioPort || !media_->sendAudio) return;
  // Silence in the negotiated law: 0xFF in mu-law, 0xD5 in A-law.
  const std::string frame(kAudioFrameBytes, media_->audioPt == 8 ? '\xD5' : '\xFF');
  audioPort_.send({media_->audioAddress, media_->audioPort}, static_cast<std::uint8_t>(media_->audioPt),
                  !audioStarted_, audioTimestamp_, frame, false);
  audioStarted_ = true;
  audioTimestamp_ += kAudioFrameBytes;
  audioTimer_.start(kAudioFrameMs, [this] { sendSilence(); });
}

void Controller::onText(const net::RtpPort::Packet& p) {
  if (trace_.open())
    trace_.rtp(false, p.datagram, media_ ? media_->recvT140Pt : -1, media_ ? media_->recvRedPt : -1);
  auto refuse = [&](const std::string& key, const std::string& line) {
    ++counts_.dropped;
    if (reported_.insert(key).second) log(line);  // each kind once a call: a flood makes one line
  };
  if (!receiver_ || !media_) {
    refuse("idle " + p.source.text(),
           "text-refused " + field("source", p.source.text()) + " " + field("reason", "no call is up"));
    return;
  }
  const net::Endpoint expected{media_->textAddress, media_->textPort};
  if (!(p.source == expected) && !latched_ && p.source.port == expected.port &&
      p.source.host == signalHost_) {
    // A far end whose description names another of its addresses (a second interface) but that
    // sends from the one its SIP came from: its text is taken, and ours goes back there.
    latched_ = true;
    log("text-latched " + field("source", p.source.text()) + " " + field("described", expected.text()));
    if (media_->audioAddress == media_->textAddress) media_->audioAddress = p.source.host;
    media_->textAddress = p.source.host;
  } else if (!(p.source == expected)) {
    refuse("source " + p.source.text(), "text-refused " + field("source", p.source.text()) + " " +
                                            field("reason", "not the far end's address " + expected.text()));
    return;
  }
  if (!p.error.empty()) {
    refuse("bad " + p.error, "text-refused " + field("seq", std::to_string(p.seq)) + " " + field("reason", p.error));
    return;
  }
  if (p.size > kMaxTextPacket) {
    refuse("size",
           "text-refused " + field("size", std::to_string(p.size)) + " " +
               field("reason", "oversized packet (limit " + std::to_string(kMaxTextPacket) + " bytes)"));
    return;
  }
  if (p.pt != media_->recvT140Pt && (media_->recvRedPt < 0 || p.pt != media_->recvRedPt)) {
    refuse("pt " + std::to_string(p.pt), "text-refused " + field("pt", std::to_string(p.pt)) + " " +
                                             field("reason", "payload type not negotiated"));
    return;
  }
  rtt::Received r = receiver_->onPacket(p.seq, p.marker, p.pt, p.payload, p.ssrc);
  if (!r.error.empty()) {
    refuse("bad " + r.error,
           "text-refused " + field("seq", std::to_string(p.seq)) + " " + field("reason", r.error));
    return;
  }
  if (r.restarted) {
    char ssrc[16];
    std::snprintf(ssrc, sizeof ssrc, "%08x", static_cast<unsigned>(p.ssrc));
    log("stream-restarted " + field("ssrc", ssrc) + " " + field("seq", std::to_string(p.seq)));
  }
  counts_.lost += r.lost;
  counts_.recovered += r.recovered;
  counts_.marks += r.marks;
  if (r.lost > 0) {
    log("packets-lost " + field("count", std::to_string(r.lost)) + " " +
        field("recovered", std::to_string(r.recovered)) + " " + field("marks", std::to_string(r.marks)));
  }
  if (r.text.empty()) return;
  trace_.shown(r.text);
  counts_.received += textCharacters(r.text) - r.marks;
  const std::uint64_t invalidBefore = fromNet_.invalid();
  std::string bytes = fromNet_.convert(r.text);
  if (fromNet_.invalid() > invalidBefore) {
    log("invalid-text " + field("seq", std::to_string(p.seq)) + " " +
        field("bytes", std::to_string(fromNet_.invalid() - invalidBefore)) + " " +
        field("reason", "not UTF-8, shown as ?"));
  }
  if (bytes.empty()) return;
  if (state_ == State::Calling || state_ == State::Ringing || state_ == State::Incoming) {
    // Early text (or the caller's, answered but not yet acknowledged): the program has no call
    // to show it in yet.
    if (earlyReceived_.size() + bytes.size() <= kMaxEarlyReceived) {
      earlyReceived_ += bytes;
    } else {
      log("early-text-overflow " + field("bytes", std::to_string(bytes.size())));
      if (earlyReceived_.empty() || earlyReceived_.back() != '?') earlyReceived_ += '?';
    }
    return;
  }
  if (callbacks_.text) callbacks_.text(bytes);
}

}  // namespace rttmodem::call
