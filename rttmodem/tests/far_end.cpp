// SPDX-License-Identifier: Apache-2.0
#include "far_end.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace rttmodem::testing {
namespace {

const std::string kMark = "\xEF\xBF\xBD";  // U+FFFD

int udpSocket(int* port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  int big = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  return fd;
}

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A header's value (the first one), by its full or compact name.
std::string header(const std::string& msg, const std::string& name, const std::string& compact = {}) {
  const std::size_t end = msg.find("\r\n\r\n");
  std::size_t at = msg.find("\r\n");
  while (at != std::string::npos && at < end) {
    const std::size_t next = msg.find("\r\n", at + 2);
    const std::string line = msg.substr(at + 2, next - at - 2);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string n = lower(line.substr(0, colon));
      while (!n.empty() && n.back() == ' ') n.pop_back();
      if (n == lower(name) || (!compact.empty() && n == compact)) {
        std::size_t v = colon + 1;
        while (v < line.size() && line[v] == ' ') ++v;
        return line.substr(v);
      }
    }
    at = next;
  }
  return {};
}

std::string allHeaders(const std::string& msg, const std::string& name) {
  std::string out;
  std::size_t at = 0;
  const std::size_t end = msg.find("\r\n\r\n");
  while ((at = msg.find("\r\n", at)) != std::string::npos && at < end) {
    const std::size_t next = msg.find("\r\n", at + 2);
    const std::string line = msg.substr(at + 2, next - at - 2);
    if (lower(line.substr(0, name.size() + 1)) == lower(name) + ":") out += line + "\r\n";
    at = next;
  }
  return out;
}

std::string bodyOf(const std::string& msg) {
  const std::size_t at = msg.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : msg.substr(at + 4);
}

std::string tagOf(const std::string& value) {
  const std::size_t at = value.find(";tag=");
  if (at == std::string::npos) return {};
  return value.substr(at + 5, value.find_first_of(";> ", at + 5) - at - 5);
}

std::string uriIn(const std::string& value) {
  const std::size_t lt = value.find('<');
  if (lt == std::string::npos) return value.substr(0, value.find(';'));
  return value.substr(lt + 1, value.find('>') - lt - 1);
}

std::string rtpHeader(const RtpOut& p) {
  std::string h(12, '\0');
  h[0] = static_cast<char>(0x80 | (p.padding ? 0x20 : 0));
  h[1] = static_cast<char>((p.marker ? 0x80 : 0) | (p.pt & 0x7F));
  h[2] = static_cast<char>(p.seq >> 8);
  h[3] = static_cast<char>(p.seq & 0xFF);
  for (int i = 0; i < 4; ++i) h[4 + i] = static_cast<char>(p.timestamp >> (24 - 8 * i));
  for (int i = 0; i < 4; ++i) h[8 + i] = static_cast<char>(p.ssrc >> (24 - 8 * i));
  return h;
}

std::uint32_t nowMs() {
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

}  // namespace

FarEnd::FarEnd(Config config) : config_(std::move(config)), lossState_(config_.seed * 0x9E3779B97F4A7C15ull + 1) {
  sipFd_ = udpSocket(&sipPort_);
  textFd_ = udpSocket(&textPort_);
  // RTP wants the text on an even port; loopback does not care, and neither may rttmodem.
  audioFd_ = udpSocket(&audioPort_);
  textFd2_ = udpSocket(&textPort2_);
  if (pipe2(wakeFd_, O_CLOEXEC | O_NONBLOCK) != 0) wakeFd_[0] = wakeFd_[1] = -1;
  config_.media.textPort = textPort_;
  config_.media.audioPort = audioPort_;
  thread_ = std::thread([this] { run(); });
}

FarEnd::~FarEnd() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  [[maybe_unused]] ssize_t w = ::write(wakeFd_[1], "x", 1);
  thread_.join();
  for (int fd : {sipFd_, textFd_, audioFd_, textFd2_, wakeFd_[0], wakeFd_[1]})
    if (fd >= 0) ::close(fd);
}

std::string FarEnd::uri(const std::string& user) const {
  return "sip:" + user + "@127.0.0.1:" + std::to_string(sipPort_);
}

void FarEnd::setAnswer(Answer a) {
  std::lock_guard lock(mutex_);
  config_.answer = a;
}

std::string FarEnd::offer(const MediaOffer& m) const {
  std::string s = "v=0\r\no=far 1 1 IN IP4 " + m.address + "\r\ns=far\r\nc=IN IP4 " + m.address + "\r\nt=0 0\r\n";
  std::string audio, text;
  if (m.audioPort)
    audio = "m=audio " + std::to_string(m.audioPort) + " RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\na=" + m.direction + "\r\n";
  if (!m.withT140) {
    text = "m=text " + std::to_string(m.textPort) + " RTP/AVP 99\r\na=rtpmap:99 t141/1000\r\n";
  } else if (m.redPt >= 0) {
    std::string fmtp = std::to_string(m.t140Pt);
    for (int i = 0; i < m.generations; ++i) fmtp += "/" + std::to_string(m.t140Pt);
    text = "m=text " + std::to_string(m.textPort) + " RTP/AVP " + std::to_string(m.redPt) + " " +
           std::to_string(m.t140Pt) + "\r\na=rtpmap:" + std::to_string(m.redPt) + " red/1000\r\na=fmtp:" +
           std::to_string(m.redPt) + " " + fmtp + "\r\na=rtpmap:" + std::to_string(m.t140Pt) + " t140/1000\r\n";
  } else {
    text = "m=text " + std::to_string(m.textPort) + " RTP/AVP " + std::to_string(m.t140Pt) + "\r\na=rtpmap:" +
           std::to_string(m.t140Pt) + " t140/1000\r\n";
  }
  if (m.cps > 0 && m.withT140) text += "a=fmtp:" + std::to_string(m.t140Pt) + " cps=" + std::to_string(m.cps) + "\r\n";
  text += "a=" + m.direction + "\r\n";
  return s + (m.textFirst ? text + audio : audio + text);
}

// ---- the thread

void FarEnd::run() {
  for (;;) {
    pollfd fds[5] = {{sipFd_, POLLIN, 0}, {textFd_, POLLIN, 0}, {audioFd_, POLLIN, 0}, {textFd2_, POLLIN, 0},
                     {wakeFd_[0], POLLIN, 0}};
    if (::poll(fds, 5, 200) < 0 && errno != EINTR) return;
    {
      std::lock_guard lock(mutex_);
      if (stop_) return;
    }
    char buf[70000];
    // Text before SIP: a BYE that came after the last packet is read after it.
    for (int i : {1, 3, 2, 0}) {
      for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(fds[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0) break;
        const std::string d(buf, static_cast<std::size_t>(n));
        if (i == 0) {
          onSip(d, from);
        } else if (i == 1 || i == 3) {
          onRtp(d);
        }
      }
    }
    char drain[64];
    while (::read(wakeFd_[0], drain, sizeof drain) > 0) {
    }
  }
}

void FarEnd::sendSip(const std::string& msg, const sockaddr_in& to, const std::string& logEntry) {
  sendto(sipFd_, msg.data(), msg.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  std::lock_guard lock(mutex_);
  log_.push_back(logEntry);
  changed_.notify_all();
}

void FarEnd::onSip(const std::string& msg, const sockaddr_in& from) {
  if (msg.rfind("SIP/2.0 ", 0) == 0) {
    onResponse(msg, from);
  } else {
    onRequest(msg, from);
  }
}

std::string FarEnd::response(const std::string& req, int status, const std::string& reason, const std::string& body,
                             const std::string& extra) {
  std::string to = header(req, "To", "t");
  if (tagOf(to).empty() && status > 100) {
    std::lock_guard lock(mutex_);
    const std::string tag = dialog_ && dialog_->callId == header(req, "Call-ID", "i") && !dialog_->localTag.empty()
                                ? dialog_->localTag
                                : "far" + std::to_string(++tagCounter_);
    to += ";tag=" + tag;
  }
  std::string r = "SIP/2.0 " + std::to_string(status) + " " + reason + "\r\n" + allHeaders(req, "Via") +
                  allHeaders(req, "v") + "From: " + header(req, "From", "f") + "\r\nTo: " + to +
                  "\r\nCall-ID: " + header(req, "Call-ID", "i") + "\r\nCSeq: " + header(req, "CSeq") +
                  "\r\nContact: <" + uri() + ">\r\n" + extra;
  if (!body.empty()) r += "Content-Type: application/sdp\r\n";
  r += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  return r;
}

std::string FarEnd::request(const std::string& method, const std::string& body, const std::string& extra) {
  // With mutex_ held; in the dialog.
  Dialog& d = *dialog_;
  const std::uint32_t cseq = method == "ACK" ? d.inviteCseq : ++d.localCseq;
  if (method == "INVITE") d.inviteCseq = cseq;
  static int branch = 0;
  std::string r = method + " " + d.remoteUri + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(sipPort_) +
                  ";branch=z9hG4bKfar" + std::to_string(++branch) + (method == "ACK" ? "ack" : "") +
                  "\r\nMax-Forwards: 70\r\nFrom: " + d.fromLine + "\r\nTo: " + d.toLine + "\r\nCall-ID: " + d.callId +
                  "\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\nContact: <" + uri() + ">\r\n" + extra;
  if (!body.empty()) r += "Content-Type: application/sdp\r\n";
  r += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  return r;
}

void FarEnd::useRemoteSdp(const std::string& sdp) {
  // With mutex_ held. rttmodem's text line: its port, address and payload numbers.
  std::string address = "127.0.0.1";
  int port = 0, red = -1, t140 = -1;
  bool inText = false;
  std::size_t at = 0;
  while (at < sdp.size()) {
    const std::size_t eol = sdp.find("\r\n", at);
    const std::string line = sdp.substr(at, eol - at);
    at = eol == std::string::npos ? sdp.size() : eol + 2;
    if (line.rfind("m=", 0) == 0) {
      inText = line.rfind("m=text ", 0) == 0;
      if (inText) port = std::atoi(line.c_str() + 7);
    } else if (line.rfind("c=IN IP4 ", 0) == 0 && (inText || port == 0)) {
      address = line.substr(9);
    } else if (inText && line.rfind("a=rtpmap:", 0) == 0) {
      const int pt = std::atoi(line.c_str() + 9);
      if (lower(line).find(" red/") != std::string::npos) red = pt;
      if (lower(line).find(" t140/") != std::string::npos) t140 = pt;
    }
  }
  if (port > 0) {
    remoteText_ = loopback(port);
    inet_pton(AF_INET, address.c_str(), &remoteText_.sin_addr);
  }
  if (t140 >= 0) remoteT140_ = t140;
  remoteRed_ = red;
  if (dialog_) dialog_->remoteSdp = sdp;
}

void FarEnd::onRequest(const std::string& msg, const sockaddr_in& from) {
  const std::string method = msg.substr(0, msg.find(' '));
  {
    std::lock_guard lock(mutex_);
    log_.push_back("<- " + method);
    lastRequests_[method] = msg;
    snapshots_[method] = {received_, packets_.size()};
    ++requestCounts_[method];
    changed_.notify_all();
  }
  const std::string callId = header(msg, "Call-ID", "i");
  if (method == "INVITE") {
    const bool inDialog = !tagOf(header(msg, "To", "t")).empty();
    bool busy = false;
    {
      std::lock_guard lock(mutex_);
      busy = !inDialog && dialog_ && dialog_->callId != callId && config_.busyWhileInCall;
    }
    if (busy) {
      sendSip(response(msg, 486, "Busy Here"), from, "-> 486 INVITE");
      return;
    }
    if (inDialog) {
      std::string body;
      {
        std::lock_guard lock(mutex_);
        useRemoteSdp(bodyOf(msg));
        body = offer(config_.media);
      }
      sendSip(response(msg, 200, "OK", body), from, "-> 200 INVITE");
      return;
    }
    answerInvite(msg, from);
  } else if (method == "ACK") {
    std::lock_guard lock(mutex_);
    if (dialog_ && dialog_->callId == callId) dialog_->up = true;
    changed_.notify_all();
  } else if (method == "BYE") {
    sendSip(response(msg, 200, "OK"), from, "-> 200 BYE");
    std::lock_guard lock(mutex_);
    if (dialog_ && dialog_->callId == callId) dialog_.reset();
    changed_.notify_all();
  } else if (method == "CANCEL") {
    sendSip(response(msg, 200, "OK"), from, "-> 200 CANCEL");
    std::string invite;
    {
      std::lock_guard lock(mutex_);
      invite = lastRequests_["INVITE"];
      if (dialog_ && dialog_->callId == callId) dialog_.reset();
    }
    if (!invite.empty()) sendSip(response(invite, 487, "Request Terminated"), from, "-> 487 INVITE");
  } else if (method == "REGISTER") {
    int refuse;
    {
      std::lock_guard lock(mutex_);
      refuse = config_.refuseRegister;
    }
    const bool authorized = !header(msg, "Authorization").empty();
    static int nonce = 0;
    const std::string challenge = "WWW-Authenticate: Digest realm=\"far\", nonce=\"n" + std::to_string(++nonce) +
                                  "\", algorithm=MD5, qop=\"auth\"\r\n";
    if (refuse == 403) {
      sendSip(response(msg, 403, "Forbidden"), from, "-> 403 REGISTER");
    } else if (refuse == 401 || !authorized) {
      sendSip(response(msg, 401, "Unauthorized", {}, challenge), from, "-> 401 REGISTER");
    } else {
      sendSip(response(msg, 200, "OK", {}, "Contact: " + header(msg, "Contact", "m") + ";expires=600\r\nExpires: 600\r\n"),
              from, "-> 200 REGISTER");
    }
  } else {
    sendSip(response(msg, 200, "OK"), from, "-> 200 " + method);
  }
}

void FarEnd::answerInvite(const std::string& msg, const sockaddr_in& from) {
  Answer answer;
  MediaOffer media;
  {
    std::lock_guard lock(mutex_);
    answer = config_.answer;
    media = config_.media;
    Dialog d;
    d.callId = header(msg, "Call-ID", "i");
    d.localTag = "far" + std::to_string(++tagCounter_);
    d.remoteTag = tagOf(header(msg, "From", "f"));
    d.remoteUri = uriIn(header(msg, "Contact", "m"));
    d.fromLine = header(msg, "To", "t") + ";tag=" + d.localTag;
    d.toLine = header(msg, "From", "f");
    d.peer = from;
    dialog_ = d;
    useRemoteSdp(bodyOf(msg));
  }
  if (answer == Answer::Silent) return;
  if (answer == Answer::Busy) {
    sendSip(response(msg, 486, "Busy Here"), from, "-> 486 INVITE");
    std::lock_guard lock(mutex_);
    dialog_.reset();
    return;
  }
  std::string body;
  switch (answer) {
    case Answer::TextPortZero: {
      MediaOffer m = media;
      m.textPort = 0;
      body = offer(m);
      break;
    }
    case Answer::AudioOnly:
      body = offer(media);
      body = body.substr(0, body.find("m=text"));
      break;
    case Answer::TextBeforeAudio: {
      MediaOffer m = media;
      m.textFirst = true;
      body = offer(m);
      break;
    }
    case Answer::NoT140: {
      MediaOffer m = media;
      m.withT140 = false;
      body = offer(m);
      break;
    }
    case Answer::Unparseable:
      body = "this is not a session description\r\n";
      break;
    case Answer::NoBody:
      break;
    case Answer::UnusableAddress:
      body = offer(media);
      for (std::size_t at; (at = body.find("IN IP4 127.0.0.1")) != std::string::npos;)
        body.replace(at, 16, "IN IP4 host.invalid");
      break;
    default:
      body = offer(media);
  }
  if (answer == Answer::EarlyText) {
    sendSip(response(msg, 183, "Session Progress", body), from, "-> 183 INVITE");
    sendText("early ");
    sendText("words ");
    std::this_thread::sleep_for(Ms(200));  // the far end's own pace: it answers a moment later
  } else {
    sendSip(response(msg, 180, "Ringing"), from, "-> 180 INVITE");
  }
  sendSip(response(msg, 200, "OK", body), from, "-> 200 INVITE");
}

void FarEnd::onResponse(const std::string& msg, const sockaddr_in& from) {
  const int status = std::atoi(msg.c_str() + 8);
  const std::string cseq = header(msg, "CSeq");
  const std::string method = cseq.substr(cseq.find(' ') + 1);
  const std::string callId = header(msg, "Call-ID", "i");
  std::string ack;
  {
    std::lock_guard lock(mutex_);
    log_.push_back("<- " + std::to_string(status) + " " + method);
    responses_[callId] += msg + "\n";
    changed_.notify_all();
    if (method != "INVITE" || status < 200 || !dialog_ || dialog_->callId != callId) return;
    Dialog& d = *dialog_;
    d.remoteTag = tagOf(header(msg, "To", "t"));
    if (d.toLine.find(";tag=") == std::string::npos) d.toLine += ";tag=" + d.remoteTag;
    const std::string contact = uriIn(header(msg, "Contact", "m"));
    if (!contact.empty()) d.remoteUri = contact;
    d.peer = from;
    lastStatus_ = status;
    std::string ackBody;
    if (status < 300) {
      if (!bodyOf(msg).empty()) useRemoteSdp(bodyOf(msg));
      ackBody = d.pendingAnswer;
      d.pendingAnswer.clear();
      d.up = true;
    }
    ack = request("ACK", ackBody);
    if (status >= 300 && !d.up) dialog_.reset();
  }
  sendSip(ack, from, "-> ACK");
}

// ---- calls

bool FarEnd::waitFor(const std::function<bool()>& done, Ms limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, done);
}

bool FarEnd::waitCall(Ms limit) {
  return waitFor([this] { return dialog_ && dialog_->up; }, limit);
}

bool FarEnd::call(const std::string& target, int* status, const std::string& body, Ms limit) {
  std::string invite;
  sockaddr_in to{};
  {
    std::lock_guard lock(mutex_);
    Dialog d;
    d.callId = "far-call-" + std::to_string(++tagCounter_) + "@127.0.0.1";
    d.localTag = "far" + std::to_string(++tagCounter_);
    d.remoteUri = target;
    d.fromLine = "<" + uri() + ">;tag=" + d.localTag;
    d.toLine = "<" + target + ">";
    d.outgoing = true;
    const std::size_t colon = target.rfind(':');
    d.peer = loopback(std::atoi(target.c_str() + colon + 1));
    to = d.peer;
    dialog_ = d;
    lastStatus_ = 0;
    invite = request("INVITE", body.empty() ? offer(config_.media) : body);
  }
  sendSip(invite, to, "-> INVITE");
  const bool done = waitFor([this] { return lastStatus_ >= 200; }, limit);
  std::lock_guard lock(mutex_);
  if (status) *status = lastStatus_;
  return done && lastStatus_ >= 200 && lastStatus_ < 300;
}

int FarEnd::reinvite(const std::string& sdp, const std::string& answerSdp, Ms limit) {
  std::string invite;
  sockaddr_in to{};
  {
    std::lock_guard lock(mutex_);
    if (!dialog_) return 0;
    dialog_->pendingAnswer = sdp.empty() ? (answerSdp.empty() ? offer(config_.media) : answerSdp) : std::string();
    lastStatus_ = 0;
    invite = request("INVITE", sdp);
    to = dialog_->peer;
  }
  sendSip(invite, to, "-> INVITE");
  waitFor([this] { return lastStatus_ >= 200; }, limit);
  std::lock_guard lock(mutex_);
  return lastStatus_;
}

std::string FarEnd::remoteSdp() {
  std::lock_guard lock(mutex_);
  return dialog_ ? dialog_->remoteSdp : std::string();
}

void FarEnd::bye() {
  std::string msg;
  sockaddr_in to{};
  {
    std::lock_guard lock(mutex_);
    if (!dialog_) return;
    msg = request("BYE", {});
    to = dialog_->peer;
    dialog_.reset();
  }
  sendSip(msg, to, "-> BYE");
}

bool FarEnd::inCall() {
  std::lock_guard lock(mutex_);
  return dialog_ && dialog_->up;
}

// ---- text

RtpOut FarEnd::nextPacket(const std::string& utf8) {
  std::lock_guard lock(mutex_);
  RtpOut p;
  p.ssrc = ssrc_;
  p.seq = seq_++;
  p.timestamp = nowMs();
  p.marker = !sentFirst_;
  sentFirst_ = true;
  const int g = config_.media.redPt >= 0 && remoteRed_ >= 0 ? config_.media.generations : 0;
  if (g == 0) {
    p.pt = static_cast<std::uint8_t>(remoteT140_);
    p.payload = utf8;
    return p;
  }
  // RFC 2198 blocks: as many redundant generations as agreed (empty ones where nothing was
  // sent), oldest first, then the primary.
  while (static_cast<int>(history_.size()) < g) history_.insert(history_.begin(), std::string());
  std::string headers, data;
  for (int i = 0; i < g; ++i) {
    const std::string& b = history_[history_.size() - g + i];
    const unsigned offset = static_cast<unsigned>(300 * (g - i));
    headers += static_cast<char>(0x80 | remoteT140_);
    headers += static_cast<char>(offset >> 6);
    headers += static_cast<char>(((offset & 0x3F) << 2) | (b.size() >> 8));
    headers += static_cast<char>(b.size() & 0xFF);
    data += b;
  }
  headers += static_cast<char>(remoteT140_);
  p.pt = static_cast<std::uint8_t>(remoteRed_);
  p.payload = headers + data + utf8;
  history_.push_back(utf8);
  if (static_cast<int>(history_.size()) > g) history_.erase(history_.begin());
  return p;
}

void FarEnd::sendText(const std::string& utf8) {
  RtpOut p = nextPacket(utf8);
  {
    std::lock_guard lock(mutex_);
    if (config_.lossPercent > 0) {
      lossState_ = lossState_ * 6364136223846793005ull + 1442695040888963407ull;
      if (static_cast<double>(lossState_ >> 11) * 0x1.0p-53 * 100 < config_.lossPercent) return;  // withheld
    }
  }
  sendPacket(p);
}

void FarEnd::sendRedundancy() {
  const int g = config_.media.generations;
  for (int i = 0; i < std::max(1, g); ++i) sendText("");
}

void FarEnd::sendRtp(const RtpOut& p) {
  sendPacket(p);
}

void FarEnd::sendPacket(const RtpOut& p) {
  std::string d = rtpHeader(p) + p.payload;
  if (p.padding) {
    d.append(p.padding - 1u, '\0');
    d += static_cast<char>(p.padding);
  }
  sockaddr_in to;
  {
    std::lock_guard lock(mutex_);
    to = remoteText_;
  }
  sendto(sendFromOther_ ? textFd2_ : textFd_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to),
         sizeof to);
}

void FarEnd::moveText(bool toOther) {
  std::lock_guard lock(mutex_);
  sendFromOther_ = toOther;
  config_.media.textPort = toOther ? textPort2_ : textPort_;
}

FarEnd::Snapshot FarEnd::atRequest(const std::string& method) {
  std::lock_guard lock(mutex_);
  return snapshots_[method];
}

void FarEnd::setSsrc(std::uint32_t ssrc, std::uint16_t nextSeq) {
  std::lock_guard lock(mutex_);
  ssrc_ = ssrc;
  seq_ = nextSeq;
  history_.clear();
}

void FarEnd::onRtp(const std::string& d) {
  if (d.size() < 12 || (static_cast<unsigned char>(d[0]) >> 6) != 2) return;
  RtpIn p;
  p.marker = (d[1] & 0x80) != 0;
  p.pt = static_cast<std::uint8_t>(d[1] & 0x7F);
  p.seq = static_cast<std::uint16_t>((static_cast<unsigned char>(d[2]) << 8) | static_cast<unsigned char>(d[3]));
  for (int i = 0; i < 4; ++i) p.timestamp = (p.timestamp << 8) | static_cast<unsigned char>(d[4 + i]);
  for (int i = 0; i < 4; ++i) p.ssrc = (p.ssrc << 8) | static_cast<unsigned char>(d[8 + i]);
  const std::size_t cc = static_cast<unsigned char>(d[0]) & 0x0F;
  std::size_t end = d.size();
  if (d[0] & 0x20) end -= std::min<std::size_t>(end, static_cast<unsigned char>(d.back()));
  if (12 + 4 * cc > end) return;
  p.payload = d.substr(12 + 4 * cc, end - 12 - 4 * cc);
  p.size = d.size();
  p.at = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex_);
  packets_.push_back(p);
  // The text: the primary, and for packets found missing what the redundancy holds of them.
  std::vector<std::string> blocks;  // oldest first; the last is the primary
  if (p.pt == remoteRed_ && remoteRed_ >= 0) {
    std::size_t at = 0;
    std::vector<std::size_t> lengths;
    while (at < p.payload.size() && (static_cast<unsigned char>(p.payload[at]) & 0x80)) {
      if (at + 4 > p.payload.size()) return;
      lengths.push_back(((static_cast<unsigned char>(p.payload[at + 2]) & 3) << 8) |
                        static_cast<unsigned char>(p.payload[at + 3]));
      at += 4;
    }
    ++at;
    for (std::size_t len : lengths) {
      if (at + len > p.payload.size()) return;
      blocks.push_back(p.payload.substr(at, len));
      at += len;
    }
    blocks.push_back(at <= p.payload.size() ? p.payload.substr(at) : std::string());
  } else {
    blocks.push_back(p.payload);
  }
  if (lastSsrc_ && *lastSsrc_ != p.ssrc) lastSeq_.reset();
  lastSsrc_ = p.ssrc;
  if (lastSeq_) {
    const std::uint16_t step = static_cast<std::uint16_t>(p.seq - *lastSeq_);
    if (step == 0 || step >= 0x8000) return;  // a repeat or a latecomer
    const int missing = step - 1;
    const int redundant = static_cast<int>(blocks.size()) - 1;
    bool marked = false;
    for (int k = missing; k >= 1; --k) {
      if (k <= redundant) {
        received_ += blocks[blocks.size() - 1 - k];
      } else if (!marked) {
        received_ += kMark;
        marked = true;
      }
    }
  }
  lastSeq_ = p.seq;
  std::string primary = blocks.back();
  // Keep-alives (a lone BOM) carry no text.
  for (std::size_t at; (at = primary.find("\xEF\xBB\xBF")) != std::string::npos;) primary.erase(at, 3);
  received_ += primary;
  changed_.notify_all();
}

std::string FarEnd::received() {
  std::lock_guard lock(mutex_);
  return received_;
}

bool FarEnd::waitText(const std::string& text, Ms limit) {
  return waitFor([&] { return received_.find(text) != std::string::npos; }, limit);
}

std::vector<RtpIn> FarEnd::packets() {
  std::lock_guard lock(mutex_);
  return packets_;
}

// ---- SIP

std::vector<std::string> FarEnd::sipLog() {
  std::lock_guard lock(mutex_);
  return log_;
}

bool FarEnd::waitSip(const std::string& entry, Ms limit, std::size_t occurrence) {
  return waitFor([&] { return static_cast<std::size_t>(std::count(log_.begin(), log_.end(), entry)) >= occurrence; },
                 limit);
}

int FarEnd::requests(const std::string& method) {
  std::lock_guard lock(mutex_);
  return requestCounts_[method];
}

std::string FarEnd::lastRequest(const std::string& method) {
  std::lock_guard lock(mutex_);
  return lastRequests_[method];
}

void FarEnd::sendRaw(const std::string& message, int port) {
  const sockaddr_in to = loopback(port);
  sendto(sipFd_, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::string FarEnd::waitResponse(const std::string& callId, Ms limit) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, limit, [&] { return responses_.count(callId) > 0; });
  auto it = responses_.find(callId);
  return it == responses_.end() ? std::string() : it->second;
}

}  // namespace rttmodem::testing
