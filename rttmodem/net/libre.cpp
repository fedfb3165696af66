// SPDX-License-Identifier: Apache-2.0
// The only place that speaks libre's C API (libre 1.1.0 as packaged by Debian 12).
#include "libre.h"

#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>
#include <vector>

extern "C" {
#include <re.h>
#define DEBUG_MODULE "rttmodem"
#define DEBUG_LEVEL 0
#include <re_dbg.h>
}

namespace rttmodem::net {
namespace {

std::string plString(const pl& p) {
  return p.p ? std::string(p.p, p.l) : std::string();
}

std::string bodyOf(const sip_msg* msg) {
  if (!msg || !msg->mb) return {};
  return std::string(reinterpret_cast<const char*>(mbuf_buf(msg->mb)), mbuf_get_left(msg->mb));
}

mbuf* bufferOf(const std::string& text) {
  mbuf* mb = mbuf_alloc(text.size() + 1);
  if (!mb) return nullptr;
  mbuf_write_mem(mb, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  mb->pos = 0;
  return mb;
}

Endpoint endpointOf(const sa* a) {
  char host[64] = "";
  sa_ntop(a, host, sizeof host);
  return {host, sa_port(a)};
}

bool toSa(const Endpoint& e, sa* out) {
  return sa_set_str(out, e.host.c_str(), static_cast<uint16_t>(e.port)) == 0;
}

std::string errorText(int err) {
  return std::strerror(err);
}

// What a libre callback may still be handed after we let it go.
struct Retired {
  virtual ~Retired() = default;
};

// libre objects freed later from a clean stack: never inside one of libre's own callbacks for
// them. Our own objects that libre's hold as callback arguments go after them.
struct Graveyard {
  std::vector<void*> objects;
  std::vector<std::unique_ptr<Retired>> retired;
  tmr timer{};
  static void sweep(void* arg) { static_cast<Graveyard*>(arg)->free(); }
  void bury(void* o) {
    if (!o) return;
    objects.push_back(o);
    tmr_start(&timer, 0, sweep, this);
  }
  void retire(std::unique_ptr<Retired> r) {
    retired.push_back(std::move(r));
    tmr_start(&timer, 0, sweep, this);
  }
  ~Graveyard() {
    tmr_cancel(&timer);
    free();
  }
  void free() {
    auto o = std::move(objects);
    objects.clear();
    auto r = std::move(retired);
    retired.clear();
    for (void* x : o) mem_deref(x);
    r.clear();
  }
};

thread_local int loopDepth = 0;
std::function<void(const std::string&)> libreLog;

void debugHandler(int, const char* text, std::size_t len, void*) {
  std::string line(text, len);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (libreLog && !line.empty()) libreLog(line);
}

}  // namespace

std::string Endpoint::text() const {
  return host.find(':') != std::string::npos ? "[" + host + "]:" + std::to_string(port)
                                             : host + ":" + std::to_string(port);
}

// ---- Loop

Loop::Loop() {
  if (loopDepth++ == 0) {
    if (int err = libre_init()) {
      --loopDepth;
      throw std::runtime_error("cannot start libre: " + errorText(err));
    }
    // poll(2) rather than epoll: standard input may be a plain file.
    poll_method_set(METHOD_POLL);
  }
}

Loop::~Loop() {
  if (--loopDepth == 0) libre_close();
}

void Loop::setLog(std::function<void(const std::string&)> log) {
  libreLog = std::move(log);
  dbg_init(DBG_WARNING, DBG_NONE);
  dbg_handler_set(libreLog ? debugHandler : nullptr, nullptr);
}

void Loop::run() {
  re_main(nullptr);
}
void Loop::stop() {
  re_cancel();
}
std::uint64_t Loop::nowMs() {
  return tmr_jiffies();
}

// ---- Timer

struct Timer::Impl {
  tmr t{};
  std::function<void()> fire;
  static void handler(void* arg) {
    auto* self = static_cast<Impl*>(arg);
    auto f = self->fire;  // the handler may restart or cancel this timer
    if (f) f();
  }
};

Timer::Timer() : impl_(std::make_unique<Impl>()) {
  tmr_init(&impl_->t);
}
Timer::~Timer() {
  tmr_cancel(&impl_->t);
}
void Timer::start(std::uint64_t delayMs, std::function<void()> fire) {
  impl_->fire = std::move(fire);
  tmr_start(&impl_->t, delayMs, Impl::handler, impl_.get());
}
void Timer::cancel() {
  tmr_cancel(&impl_->t);
}
bool Timer::active() const {
  return tmr_isrunning(&impl_->t);
}

// ---- FdWatch

namespace {
void fdHandler(int, void* arg) {
  (*static_cast<std::function<void()>*>(arg))();
}
}  // namespace

FdWatch::FdWatch(int fd, std::function<void()> readable) : fd_(fd), readable_(std::move(readable)) {
  ok_ = fd_listen(fd, FD_READ, fdHandler, &readable_) == 0;
}
FdWatch::~FdWatch() {
  close();
}
void FdWatch::close() {
  if (ok_) fd_close(fd_);
  ok_ = false;
}

// ---- RtpPort

struct RtpPort::Impl {
  struct rtp_sock* rs = nullptr;
  // What we send: our own header, so that a stream can be restarted (impairments).
  std::uint32_t ssrc = 0, tsShift = 0;
  std::uint16_t seq = 0;
  std::function<void(const Packet&)> received;
  static void rtpHandler(const sa* src, const rtp_header* hdr, mbuf* mb, void* arg) {
    auto* self = static_cast<Impl*>(arg);
    Packet p;
    p.source = endpointOf(src);
    p.pt = hdr->pt;
    p.marker = hdr->m;
    p.seq = hdr->seq;
    p.timestamp = hdr->ts;
    p.ssrc = hdr->ssrc;
    std::size_t len = mbuf_get_left(mb);
    if (hdr->pad) {
      // The last byte counts the padding, itself included.
      const std::size_t pad = len ? mbuf_buf(mb)[len - 1] : 0;
      if (pad == 0 || pad > len) {
        p.error = "RTP padding longer than the payload";
        len = 0;
      } else {
        len -= pad;
      }
    }
    p.payload.assign(reinterpret_cast<const char*>(mbuf_buf(mb)), len);
    p.size = mb->end;
    p.datagram.assign(reinterpret_cast<const char*>(mb->buf), mb->end);
    if (self->received) self->received(p);
  }
  static void rtcpHandler(const sa*, rtcp_msg*, void*) {}
  ~Impl() { mem_deref(rs); }
};

RtpPort::RtpPort() : impl_(std::make_unique<Impl>()) {}
RtpPort::~RtpPort() = default;

bool RtpPort::open(const std::string& host, std::function<void(const Packet&)> received, std::string* error) {
  sa ip;
  if (sa_set_str(&ip, host.c_str(), 0) != 0) {
    *error = "not an address: " + host;
    return false;
  }
  impl_->received = std::move(received);
  // A free even port (RTCP on the next one) in the dynamic range; busy ones are skipped.
  if (int err = rtp_listen(&impl_->rs, IPPROTO_UDP, &ip, 10000, 60000, true, Impl::rtpHandler,
                           Impl::rtcpHandler, impl_.get())) {
    *error = "cannot open an RTP port on " + host + ": " + errorText(err);
    return false;
  }
  udp_rxsz_set(static_cast<udp_sock*>(rtp_sock(impl_->rs)), 65536);
  impl_->ssrc = rtp_sess_ssrc(impl_->rs);
  impl_->seq = rand_u16() & 0x7FFF;  // random, and far from wrapping, as libre's own
  return true;
}

int RtpPort::port() const {
  return impl_->rs ? sa_port(rtp_local(impl_->rs)) : 0;
}

bool RtpPort::send(const Endpoint& dst, std::uint8_t pt, bool marker, std::uint32_t timestamp,
                   const std::string& payload, bool withhold) {
  if (!impl_->rs) return false;
  // The header takes the next sequence number whether or not the packet leaves: a withheld packet
  // is a lost one to the far end.
  const std::string datagram = build(pt, marker, timestamp, payload);
  return withhold || sendDatagram(dst, datagram);
}

std::string RtpPort::build(std::uint8_t pt, bool marker, std::uint32_t timestamp, const std::string& payload) {
  const std::uint16_t seq = impl_->seq++;
  timestamp += impl_->tsShift;
  const std::uint32_t ssrc = impl_->ssrc;
  std::string d(RTP_HEADER_SIZE, '\0');
  d[0] = static_cast<char>(0x80);  // version 2, no padding, extension or contributing sources
  d[1] = static_cast<char>((marker ? 0x80 : 0) | (pt & 0x7F));
  d[2] = static_cast<char>(seq >> 8);
  d[3] = static_cast<char>(seq);
  for (int i = 0; i < 4; ++i) {
    d[4 + i] = static_cast<char>(timestamp >> (24 - 8 * i));
    d[8 + i] = static_cast<char>(ssrc >> (24 - 8 * i));
  }
  return d + payload;
}

bool RtpPort::sendDatagram(const Endpoint& dst, const std::string& datagram) {
  sa to;
  if (!impl_->rs || !toSa(dst, &to)) return false;
  mbuf* mb = mbuf_alloc(datagram.size());
  if (!mb) return false;
  int err = mbuf_write_mem(mb, reinterpret_cast<const uint8_t*>(datagram.data()), datagram.size());
  mb->pos = 0;
  if (!err) err = udp_send(static_cast<udp_sock*>(rtp_sock(impl_->rs)), &to, mb);
  mem_deref(mb);
  return err == 0;
}

std::uint32_t RtpPort::restartStream() {
  std::uint32_t ssrc;
  do ssrc = rand_u32();
  while (ssrc == impl_->ssrc);
  impl_->ssrc = ssrc;
  impl_->seq = rand_u16();
  impl_->tsShift = rand_u32();
  return ssrc;
}

// ---- SipAgent

struct SipAgent::Impl {
  struct Call : Retired {
    bool dead = false;  // let go: libre may still name it in a callback, which is then ignored
    Impl* owner = nullptr;
    int id = 0;
    sipsess* sess = nullptr;
    const sip_msg* invite = nullptr;  // an incoming call's INVITE, until answered or refused
    std::string localSdp;
    bool ringing = false;  // an incoming call not answered yet
  };

  Config config;
  Handlers handlers;
  dnsc* dns = nullptr;
  struct sip* stack = nullptr;
  sipsess_sock* sock = nullptr;
  sipreg* reg = nullptr;
  sip_lsnr* filter = nullptr;
  Credentials credentials;
  std::string aor, route, registrar;
  int authTries = 0;        // challenges answered in the present registration attempt
  int registrationFailures = 0;
  tmr retryTimer{};
  std::map<int, std::unique_ptr<Call>> calls;
  int nextId = 1;
  Graveyard graveyard;

  ~Impl() {
    tmr_cancel(&retryTimer);
    for (auto& [id, c] : calls) {
      mem_deref(c->sess);
      mem_deref(const_cast<sip_msg*>(c->invite));
    }
    calls.clear();
    graveyard.free();
    mem_deref(reg);
    mem_deref(filter);
    mem_deref(sock);
    sip_close(stack, true);
    mem_deref(stack);
    mem_deref(dns);
  }

  void log(const std::string& line) {
    if (handlers.log) handlers.log(line);
  }

  Call* find(int id) {
    auto it = calls.find(id);
    return it == calls.end() ? nullptr : it->second.get();
  }

  // Forgets a call; its libre objects go later, from a clean stack, and the call itself after
  // them (libre may still hand it to a callback until then).
  void drop(Call* c) {
    if (c->dead) return;
    c->dead = true;
    graveyard.bury(c->sess);
    graveyard.bury(const_cast<sip_msg*>(c->invite));
    auto it = calls.find(c->id);
    if (it != calls.end()) {
      graveyard.retire(std::move(it->second));
      calls.erase(it);
    }
  }

  static bool digitsOnly(const pl& p) {
    if (!p.p || p.l == 0) return false;
    for (std::size_t i = 0; i < p.l; ++i)
      if (p.p[i] < '0' || p.p[i] > '9') return false;
    return true;
  }

  // Requests that are not well formed, and new calls from where none may come, are refused here
  // before any session sees them.
  static bool requestFilter(const sip_msg* msg, void* arg) {
    auto* self = static_cast<Impl*>(arg);
    const std::string method = plString(msg->met);
    const bool ack = method == "ACK";
    auto refuse = [&](uint16_t status, const char* phrase, const std::string& why) {
      self->log("request-refused " + std::string("method=") + method + " status=" + std::to_string(status) +
                " reason=\"" + why + "\" source=" + endpointOf(&msg->src).text());
      if (!ack) sip_reply(self->stack, msg, status, phrase);
      return true;
    };
    const std::size_t body = msg->mb ? mbuf_get_left(msg->mb) : 0;
    if (pl_isset(&msg->clen)) {
      if (!digitsOnly(msg->clen) || pl_u32(&msg->clen) != body)
        return refuse(400, "Bad Content-Length",
                      "Content-Length " + plString(msg->clen) + " for a body of " + std::to_string(body) + " bytes");
    } else if (msg->tp != SIP_TRANSP_UDP && body > 0) {
      return refuse(400, "Missing Content-Length", "no Content-Length on a stream transport");
    }
    if (pl_cmp(&msg->cseq.met, &msg->met) != 0)
      return refuse(400, "CSeq Method Mismatch", "CSeq names " + plString(msg->cseq.met));
    if (method == "INVITE" && !pl_isset(&msg->to.tag) && !self->config.acceptFrom.empty()) {
      const Endpoint from = endpointOf(&msg->src);
      bool known = false;
      for (const Endpoint& e : self->config.acceptFrom)
        known = known || (e.host == from.host && (e.port == 0 || e.port == from.port));
      if (!known) return refuse(403, "Forbidden", "a call not through the registrar");
    }
    return false;
  }

  static int registrationAuthHandler(char** user, char** password, const char* realm, void* arg) {
    // A challenge answered once; challenged again, the credentials are wrong: sending them
    // over and over only locks the account.
    auto* self = static_cast<Impl*>(arg);
    if (++self->authTries > 1) return EAUTH;
    return authHandler(user, password, realm, arg);
  }

  static int authHandler(char** user, char** password, const char* realm, void* arg) {
    auto* self = static_cast<Impl*>(arg);
    if (self->credentials.password.empty()) return EAUTH;
    self->log(std::string("authenticating realm=\"") + (realm ? realm : "") + "\"");
    int err = str_dup(user, self->credentials.user.c_str());
    err |= str_dup(password, self->credentials.password.c_str());
    return err;
  }

  static void connHandler(const sip_msg* msg, void* arg) {
    auto* self = static_cast<Impl*>(arg);
    auto call = std::make_unique<Call>();
    call->owner = self;
    call->id = self->nextId++;
    call->invite = static_cast<const sip_msg*>(mem_ref(const_cast<sip_msg*>(msg)));
    Call* c = call.get();
    self->calls[c->id] = std::move(call);
    const int id = c->id;
    std::string from = plString(msg->from.auri);
    if (self->handlers.incoming) self->handlers.incoming(id, from, bodyOf(msg), endpointOf(&msg->src));
    // An INVITE nobody took up is refused rather than left without an answer.
    if (Call* still = self->find(id); still && !still->sess) {
      sip_treply(nullptr, self->stack, still->invite, 480, "Temporarily Unavailable");
      self->drop(still);
    }
  }

  static int offerHandler(mbuf** descp, const sip_msg* msg, void* arg) {
    // A re-INVITE: the call's owner answers its offer, or makes one when it has none.
    auto* c = static_cast<Call*>(arg);
    if (c->dead) return EPROTO;
    std::string reply;
    if (!c->owner->handlers.reoffer || !c->owner->handlers.reoffer(c->id, bodyOf(msg), &reply)) return EPROTO;
    c->localSdp = reply;
    *descp = bufferOf(reply);
    return *descp ? 0 : ENOMEM;
  }

  static int answerHandler(const sip_msg* msg, void* arg) {
    // A false from the owner hangs the call up (from a clean stack); libre gets no error back,
    // which would leave the dialog half-made.
    auto* c = static_cast<Call*>(arg);
    if (c->dead) return 0;
    Impl* self = c->owner;
    if (self->handlers.answered) self->handlers.answered(c->id, bodyOf(msg), endpointOf(&msg->src));
    return 0;
  }

  static void progressHandler(const sip_msg* msg, void* arg) {
    auto* c = static_cast<Call*>(arg);
    if (c->dead) return;
    if (c->owner->handlers.progress)
      c->owner->handlers.progress(c->id, msg->scode, plString(msg->reason), bodyOf(msg), endpointOf(&msg->src));
  }

  static void establishedHandler(const sip_msg*, void* arg) {
    auto* c = static_cast<Call*>(arg);
    if (c->dead) return;
    if (c->owner->handlers.established) c->owner->handlers.established(c->id);
  }

  static void closeHandler(int err, const sip_msg* msg, void* arg) {
    auto* c = static_cast<Call*>(arg);
    if (c->dead) return;
    Impl* self = c->owner;
    const int id = c->id;
    int status = 0;
    std::string reason;
    if (msg && msg->scode >= 300) {
      status = msg->scode;
      reason = plString(msg->reason);
    } else if (err == ECONNRESET) {
      reason = "far end hung up";
    } else if (err == ETIMEDOUT) {
      reason = "no response";
    } else if (err) {
      reason = errorText(err);
    } else {
      reason = "session closed";
    }
    self->drop(c);
    if (self->handlers.closed) self->handlers.closed(id, status, reason, !status && err == ECONNRESET);
  }

  static void registerHandler(int err, const sip_msg* msg, void* arg) {
    auto* self = static_cast<Impl*>(arg);
    if (!err && msg && msg->scode >= 200 && msg->scode < 300) {
      self->authTries = 0;  // the next refresh may be challenged afresh
      self->registrationFailures = 0;
      if (self->handlers.registration) self->handlers.registration(msg->scode, plString(msg->reason), 0);
      return;
    }
    if (!err && msg && msg->scode < 200) return;
    // Refused or failed: this attempt ends (libre's own quick retries with it), and the next one
    // comes after a wait that doubles with each failure.
    self->graveyard.bury(self->reg);
    self->reg = nullptr;
    const int shift = std::min(self->registrationFailures, 7);
    const int wait = std::min(3600, self->config.registrationRetrySeconds << shift);
    ++self->registrationFailures;
    tmr_start(&self->retryTimer, static_cast<uint64_t>(wait) * 1000, retryRegistration, self);
    if (!self->handlers.registration) return;
    if (err) {
      self->handlers.registration(0, errorText(err), wait);
    } else if (msg) {
      self->handlers.registration(msg->scode, plString(msg->reason), wait);
    }
  }

  static void retryRegistration(void* arg) {
    auto* self = static_cast<Impl*>(arg);
    std::string error;
    if (!self->startRegistration(&error)) self->log(error);
  }

  bool startRegistration(std::string* error) {
    authTries = 0;
    int err = sipreg_register(&reg, stack, registrar.c_str(), aor.c_str(), config.displayName.c_str(), aor.c_str(),
                              600, config.user.c_str(), nullptr, 0, 0, registrationAuthHandler, this, false,
                              registerHandler, this, nullptr, "%s", "");
    if (err) {
      reg = nullptr;
      *error = "cannot register at " + registrar + ": " + errorText(err);
      return false;
    }
    return true;
  }

  static void exitHandler(void*) {}
  // libre gives the trace handler the stack's argument (this Impl).
  static void traceHandler(bool tx, enum sip_transp, const sa*, const sa*, const uint8_t* pkt, size_t len,
                           void* arg) {
    auto* self = static_cast<Impl*>(arg);
    if (self && self->handlers.message) self->handlers.message(tx, std::string(reinterpret_cast<const char*>(pkt), len));
  }
};

SipAgent::SipAgent() : impl_(std::make_unique<Impl>()) {}
SipAgent::~SipAgent() = default;

bool SipAgent::open(const Config& config, Handlers handlers, std::string* error) {
  Impl& m = *impl_;
  m.config = config;
  m.handlers = std::move(handlers);
  sa servers[4];
  uint32_t count = 4;
  if (dns_srv_get(nullptr, 0, servers, &count) == 0 && count > 0) dnsc_alloc(&m.dns, nullptr, servers, count);
  sa local;
  if (sa_set_str(&local, config.host.c_str(), static_cast<uint16_t>(config.port)) != 0) {
    *error = "not an address: " + config.host;
    return false;
  }
  int err = sip_alloc(&m.stack, m.dns, 32, 32, 32, config.software.c_str(), Impl::exitHandler, &m);
  if (!err) err = sip_transp_add(m.stack, SIP_TRANSP_UDP, &local);
  if (err) {
    *error = "cannot open the SIP port " + Endpoint{config.host, config.port}.text() + ": " + errorText(err);
    return false;
  }
  if (config.tcp) {
    // TCP on the UDP port's number, so that one address serves both.
    sa_set_port(&local, static_cast<uint16_t>(port()));
    if (int terr = sip_transp_add(m.stack, SIP_TRANSP_TCP, &local))
      m.log("no SIP over TCP: " + errorText(terr));
  }
  if (m.handlers.message) sip_set_trace_handler(m.stack, Impl::traceHandler);
  // The filter first: libre offers a request to its listeners in the order they came.
  err = sip_listen(&m.filter, m.stack, true, Impl::requestFilter, &m);
  if (!err) err = sipsess_listen(&m.sock, m.stack, 32, Impl::connHandler, &m);
  if (err) {
    *error = "cannot listen for calls: " + errorText(err);
    return false;
  }
  return true;
}

int SipAgent::port() const {
  sa a;
  if (!impl_->stack || sip_transp_laddr(impl_->stack, &a, SIP_TRANSP_UDP, nullptr) != 0) return 0;
  return sa_port(&a);
}

std::string SipAgent::host() const {
  return impl_->config.host;
}

bool SipAgent::registerAt(const std::string& registrar, const std::string& aor, Credentials credentials,
                          std::string* error) {
  Impl& m = *impl_;
  m.credentials = std::move(credentials);
  m.aor = aor;
  m.registrar = registrar;
  m.route = registrar + ";lr";
  mem_deref(m.reg);
  m.reg = nullptr;
  tmr_cancel(&m.retryTimer);
  m.registrationFailures = 0;
  return m.startRegistration(error);
}

void SipAgent::unregister() {
  tmr_cancel(&impl_->retryTimer);
  mem_deref(impl_->reg);  // sends the REGISTER that ends the registration
  impl_->reg = nullptr;
}

int SipAgent::invite(const std::string& to, const std::string& sdp, std::string* error) {
  Impl& m = *impl_;
  auto call = std::make_unique<Impl::Call>();
  call->owner = &m;
  call->id = m.nextId++;
  call->localSdp = sdp;
  const std::string from =
      m.aor.empty() ? "sip:" + m.config.user + "@" + Endpoint{m.config.host, port()}.text() : m.aor;
  const char* routes[1] = {m.route.c_str()};
  mbuf* body = bufferOf(sdp);
  int err = sipsess_connect(
      &call->sess, m.sock, to.c_str(), m.config.displayName.c_str(), from.c_str(), m.config.user.c_str(),
      m.route.empty() ? nullptr : routes, m.route.empty() ? 0 : 1, "application/sdp", body, Impl::authHandler,
      &m, false, Impl::offerHandler, Impl::answerHandler, Impl::progressHandler, Impl::establishedHandler,
      nullptr, nullptr, Impl::closeHandler, call.get(), "%s", "");
  mem_deref(body);
  if (err) {
    *error = "cannot call " + to + ": " + errorText(err);
    return -1;
  }
  const int id = call->id;
  m.calls[id] = std::move(call);
  return id;
}

bool SipAgent::ring(int id) {
  Impl& m = *impl_;
  Impl::Call* c = m.find(id);
  if (!c || c->sess || !c->invite) return false;
  int err =
      sipsess_accept(&c->sess, m.sock, c->invite, 180, "Ringing", m.config.user.c_str(), "application/sdp",
                     nullptr, Impl::authHandler, &m, false, Impl::offerHandler, Impl::answerHandler,
                     Impl::establishedHandler, nullptr, nullptr, Impl::closeHandler, c, "%s", "");
  if (err) {
    m.log("cannot take the call: " + errorText(err));
    c->sess = nullptr;
    return false;
  }
  c->ringing = true;
  return true;
}

bool SipAgent::accept(int id, const std::string& sdp, std::string* error) {
  Impl& m = *impl_;
  Impl::Call* c = m.find(id);
  if (!c || !c->sess) {
    *error = "no such call";
    return false;
  }
  c->localSdp = sdp;
  mbuf* body = bufferOf(sdp);
  int err = sipsess_answer(c->sess, 200, "OK", body, "%s", "");
  mem_deref(body);
  if (err) {
    *error = "cannot answer: " + errorText(err);
    return false;
  }
  c->ringing = false;
  return true;
}

void SipAgent::reject(int id, int status, const std::string& reason) {
  Impl& m = *impl_;
  Impl::Call* c = m.find(id);
  if (!c) return;
  if (c->sess) {
    // No headers of our own: libre then ends the response itself (Content-Length: 0 and the
    // blank line); headers given here would have to end it.
    sipsess_reject(c->sess, static_cast<uint16_t>(status), reason.c_str(), nullptr);
  } else if (c->invite) {
    sip_treply(nullptr, m.stack, c->invite, static_cast<uint16_t>(status), reason.c_str());
  }
  m.drop(c);
}

bool SipAgent::reinvite(int id, const std::string& sdp, std::string* error) {
  Impl& m = *impl_;
  Impl::Call* c = m.find(id);
  if (!c || !c->sess) {
    *error = "no such call";
    return false;
  }
  c->localSdp = sdp;
  mbuf* body = bufferOf(sdp);
  const int err = sipsess_modify(c->sess, body);
  mem_deref(body);
  if (err) {
    *error = "cannot send the re-INVITE: " + errorText(err);
    return false;
  }
  return true;
}

void SipAgent::hangUp(int id) {
  Impl& m = *impl_;
  Impl::Call* c = m.find(id);
  if (!c) return;
  if (c->ringing) {  // hanging up on a ringing call refuses it
    reject(id, 486, "Busy Here");
    return;
  }
  // Freeing the session sends what its state needs: CANCEL while our INVITE is unanswered, BYE
  // once the call is up.
  m.drop(c);
}

}  // namespace rttmodem::net
