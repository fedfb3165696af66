// SPDX-License-Identifier: Apache-2.0
// A far end written by hand, speaking SIP and RTP on plain UDP sockets, that sends what a broken
// or hostile peer might: rttmodem logs a line for each and the call goes on (or is refused).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>

#include "proc.h"

namespace rttmodem::testing {
namespace {

const std::string kBin = RTTMODEM_BIN;

class Udp {
 public:
  Udp() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Udp() { close(fd_); }
  int port() const { return port_; }
  void send(int port, const std::string& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  // The next datagram that contains text, within the limit.
  std::optional<std::string> receive(const std::string& text,
                                     std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
      char buf[65536];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) continue;
      std::string d(buf, static_cast<std::size_t>(n));
      if (d.find(text) != std::string::npos) return d;
    }
  }

 private:
  int fd_;
  int port_ = 0;
};

std::string header(const std::string& message, const std::string& name) {
  const std::size_t at = message.find("\r\n" + name + ":");
  if (at == std::string::npos) return {};
  std::size_t v = at + name.size() + 3;
  while (v < message.size() && message[v] == ' ') ++v;
  return message.substr(v, message.find("\r\n", v) - v);
}

std::string request(const std::string& method, const std::string& uri, int myPort, int cseq,
                    const std::string& callId, const std::string& to, const std::string& body,
                    const std::string& ctype = "application/sdp") {
  std::string m = method + " " + uri + " SIP/2.0\r\n";
  m += "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(myPort) + ";branch=z9hG4bK" + callId + method +
       std::to_string(cseq) + "\r\n";
  m += "Max-Forwards: 70\r\n";
  m += "From: <sip:tester@127.0.0.1:" + std::to_string(myPort) + ">;tag=tester1\r\n";
  m += "To: " + to + "\r\n";
  m += "Call-ID: " + callId + "@test\r\n";
  m += "CSeq: " + std::to_string(cseq) + " " + method + "\r\n";
  m += "Contact: <sip:tester@127.0.0.1:" + std::to_string(myPort) + ">\r\n";
  if (!body.empty()) m += "Content-Type: " + ctype + "\r\n";
  m += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  return m;
}

std::string offer(int audioPort, int textPort) {
  return "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
         "m=audio " +
         std::to_string(audioPort) +
         " RTP/AVP 0\r\n"
         "m=text " +
         std::to_string(textPort) +
         " RTP/AVP 100 98\r\na=rtpmap:100 red/1000\r\n"
         "a=fmtp:100 98/98/98\r\na=rtpmap:98 t140/1000\r\n";
}

std::string rtp(uint8_t pt, uint16_t seq, const std::string& payload, bool marker = false) {
  std::string p(12, '\0');
  p[0] = '\x80';
  p[1] = static_cast<char>((marker ? 0x80 : 0) | pt);
  p[2] = static_cast<char>(seq >> 8);
  p[3] = static_cast<char>(seq & 0xFF);
  p[8] = 0x12;  // SSRC
  return p + payload;
}

TEST(BadInput, EachIsLoggedAndTheCallGoesOn) {
  Proc modem(kBin, {"--listen", "0"});
  ASSERT_TRUE(modem.waitErr(" ready "));
  const int sipPort = std::stoi(modem.logValue("ready", "sip-port"));
  const std::string uri = "sip:rttmodem@127.0.0.1:" + std::to_string(sipPort);
  const std::string to = "<" + uri + ">";
  Udp sip, text, stranger, audio;

  // Not SIP at all: the SIP library reports it on standard error itself; the port keeps working.
  sip.send(sipPort, std::string("\x01\x02garbage\r\n\r\n", 13));

  // An offer that is not SDP, and one with no text: refused with 488, a log line each.
  sip.send(sipPort, request("INVITE", uri, sip.port(), 1, "bad-sdp", to, "v=0\r\nm=text what RTP/AVP\r\n"));
  auto r1 = sip.receive("bad-sdp");
  ASSERT_TRUE(r1);
  EXPECT_EQ(r1->substr(0, 11), "SIP/2.0 488");
  EXPECT_TRUE(modem.waitErr("reason=\"SDP media line is malformed"));
  sip.send(sipPort, request("INVITE", uri, sip.port(), 1, "no-text", to,
                            "v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/AVP 0\r\n"));
  auto r2 = sip.receive("no-text");
  ASSERT_TRUE(r2);
  EXPECT_EQ(r2->substr(0, 11), "SIP/2.0 488");
  EXPECT_TRUE(modem.waitErr("reason=\"the far end offers no text\""));

  // A good call.
  sip.send(sipPort, request("INVITE", uri, sip.port(), 1, "good", to, offer(audio.port(), text.port())));
  auto ok = sip.receive("SIP/2.0 200");
  ASSERT_TRUE(ok) << modem.err();
  const std::string toTagged = header(*ok, "To");
  const std::string body = ok->substr(ok->find("\r\n\r\n") + 4);
  const std::size_t m = body.find("m=text ");
  ASSERT_NE(m, std::string::npos);
  const int modemText = std::stoi(body.substr(m + 7));
  std::string contact = header(*ok, "Contact");
  contact = contact.substr(1, contact.find('>') - 1);
  sip.send(sipPort, request("ACK", contact, sip.port(), 1, "good", toTagged, ""));
  ASSERT_TRUE(modem.waitErr(" connected "));

  uint16_t seq = 1000;
  text.send(modemText, rtp(98, seq++, "Hi ", true));
  ASSERT_TRUE(modem.waitOut("Hi "));
  // From an address the call never named.
  stranger.send(modemText, rtp(98, 7, "intruder"));
  EXPECT_TRUE(modem.waitErr("reason=\"not the far end's address"));
  // Oversized, a payload type never agreed, a red payload cut short.
  text.send(modemText, rtp(98, seq++, std::string(6000, 'x')));
  EXPECT_TRUE(modem.waitErr("reason=\"oversized packet"));
  text.send(modemText, rtp(77, seq++, "seventy-seven"));
  EXPECT_TRUE(modem.waitErr("pt=77 reason=\"payload type not negotiated\""));
  text.send(modemText, rtp(100, seq++, "\x80\x01"));
  EXPECT_TRUE(modem.waitErr("reason=\"red payload ends inside its headers\""));
  // Invalid UTF-8 is shown as '?', with a log line.
  text.send(modemText, rtp(98, seq++,
                           "A\xFF"
                           "B "));
  EXPECT_TRUE(modem.waitErr(" invalid-text "));
  // The call goes on.
  text.send(modemText, rtp(98, seq++, "still here"));
  ASSERT_TRUE(modem.waitOut("still here")) << modem.out();
  // Three refused packets in the sequence are missing to the modem: it says so with a mark.
  EXPECT_EQ(modem.out(), "Hi ?A?B still here");

  sip.send(sipPort, request("BYE", contact, sip.port(), 2, "good", toTagged, ""));
  EXPECT_TRUE(sip.receive("SIP/2.0 200"));
  EXPECT_EQ(modem.wait(), 0) << modem.err();
  EXPECT_NE(modem.err().find(" dropped=4 "), std::string::npos) << modem.err();
  EXPECT_NE(modem.err().find(" invalid=1 "), std::string::npos) << modem.err();
}

}  // namespace
}  // namespace rttmodem::testing
