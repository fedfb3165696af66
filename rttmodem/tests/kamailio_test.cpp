// SPDX-License-Identifier: Apache-2.0
// Registration with digest authentication and a call through a real SIP server: Kamailio from
// Debian, started on loopback from a configuration in a temporary folder (registrations in
// memory, one static test password).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "proc.h"
#include "temp_dir.h"

namespace rttmodem::testing {
namespace {

const std::string kBin = RTTMODEM_BIN;
const std::string kKamailio = "/usr/sbin/kamailio";
const std::string kPassword = "test-secret";

std::string config(int port, const std::string& modules) {
  return R"(#!KAMAILIO
debug=2
log_stderror=yes
children=1
auto_aliases=no
listen=udp:127.0.0.1:)" +
         std::to_string(port) + R"(
alias="127.0.0.1:)" +
         std::to_string(port) + R"("
mpath=")" +
         modules + R"("
loadmodule "kex.so"
loadmodule "tm.so"
loadmodule "sl.so"
loadmodule "rr.so"
loadmodule "pv.so"
loadmodule "maxfwd.so"
loadmodule "usrloc.so"
loadmodule "registrar.so"
loadmodule "siputils.so"
loadmodule "auth.so"
loadmodule "textops.so"
modparam("usrloc", "db_mode", 0)

request_route {
  if (!mf_process_maxfwd_header("10")) { sl_send_reply("483", "Too Many Hops"); exit; }
  if (has_totag()) {
    if (loose_route()) { t_relay(); exit; }
    if (is_method("ACK")) { if (t_check_trans()) { t_relay(); } exit; }
    sl_send_reply("404", "Not here");
    exit;
  }
  if (is_method("CANCEL")) { if (t_check_trans()) { t_relay(); } exit; }
  if (is_method("REGISTER")) {
    if (!pv_www_authenticate("$td", ")" +
         kPassword + R"(", "0")) { www_challenge("$td", "0"); exit; }
    if (!save("location")) { sl_reply_error(); }
    exit;
  }
  if (is_method("INVITE")) {
    if (!pv_proxy_authenticate("$fd", ")" +
         kPassword + R"(", "0")) { proxy_challenge("$fd", "0"); exit; }
    consume_credentials();
    record_route();
  }
  if (!lookup("location")) { sl_send_reply("404", "Not Found"); exit; }
  t_relay();
}
)";
}

class Kamailio : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kKamailio))
      GTEST_SKIP() << "kamailio is not installed (scripts/install-deps installs it)";
    std::string modules = "/usr/lib/x86_64-linux-gnu/kamailio/modules/";
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu/kamailio/modules/",
                            "/usr/lib/aarch64-linux-gnu/kamailio/modules/", "/usr/lib/kamailio/modules/"})
      if (std::filesystem::exists(std::string(dir) + "tm.so")) modules = dir;
    port_ = freeUdpPort();
    const std::string cfg = dir_.write("kamailio.cfg", config(port_, modules));
    server_ = std::make_unique<Proc>(
        kKamailio, std::vector<std::string>{"-f", cfg, "-DD", "-E", "-w", dir_.path().string(), "-Y",
                                            dir_.path().string(), "-m", "32", "-M", "4"});
    // Its listening socket is open once it names it; REGISTER's retransmissions cover the moment
    // until its workers are up.
    ASSERT_TRUE(server_->waitOut("[127.0.0.1]:" + std::to_string(port_))) << server_->out() << server_->err();
  }
  std::string aor(const std::string& user) const {
    return "sip:" + user + "@127.0.0.1:" + std::to_string(port_);
  }

  kit::testing::TempDir dir_;
  int port_ = 0;
  std::unique_ptr<Proc> server_;
};

TEST_F(Kamailio, RegistersWithDigestAndCallsThroughIt) {
  const std::string pw = "RTTMODEM_PASSWORD=" + kPassword;
  Proc bob(kBin, {"--listen", "0", "--register", aor("bob")}, {pw});
  ASSERT_TRUE(bob.waitErr(" registered ")) << bob.err() << server_->err();
  EXPECT_NE(bob.err().find("authenticating realm=\"127.0.0.1\""), std::string::npos) << bob.err();
  const std::string passwordFile = dir_.write("alice.pw", kPassword + "\n");
  Proc alice(kBin, {"--dial", aor("bob"), "--register", aor("alice"), "--password-file", passwordFile});
  alice.write("Hello Bob, this is Alice.\r\n");
  bob.write("Hi Alice, Bob here.\r\n");
  ASSERT_TRUE(bob.waitOut("Hello Bob, this is Alice.\r\n")) << bob.err() << alice.err();
  ASSERT_TRUE(alice.waitOut("Hi Alice, Bob here.\r\n")) << alice.err();
  alice.closeInput();
  EXPECT_EQ(alice.wait(), 0) << alice.err();
  EXPECT_EQ(bob.wait(), 0) << bob.err();
  EXPECT_NE(alice.err().find(" registered "), std::string::npos);
  EXPECT_NE(bob.err().find(" incoming peer=sip:alice@127.0.0.1"), std::string::npos) << bob.err();
  EXPECT_NE(bob.err().find(" ended reason=\"far end hung up\""), std::string::npos) << bob.err();
}

TEST_F(Kamailio, AWrongPasswordIsARefusedRegistration) {
  Proc carol(kBin, {"--listen", "0", "--register", aor("carol")}, {"RTTMODEM_PASSWORD=not-" + kPassword});
  EXPECT_EQ(carol.wait(), 2) << carol.err();
  EXPECT_NE(carol.err().find(" registration-failed status=40"), std::string::npos) << carol.err();
}

TEST_F(Kamailio, ACallToNobodyRegisteredFails) {
  const std::string pw = "RTTMODEM_PASSWORD=" + kPassword;
  Proc alice(kBin, {"--dial", aor("nobody"), "--register", aor("alice")}, {pw});
  EXPECT_EQ(alice.wait(), 2) << alice.err();
  EXPECT_NE(alice.err().find(" failed status=404 reason=\"Not Found\" result=\"NO CARRIER\""),
            std::string::npos)
      << alice.err();
}

// The gateway suite over a network path: rttmodem's own gateway registered at the proxy, the RTT
// side calling it there. Every character of both directions arrives, and the figures say so.
TEST_F(Kamailio, TheGatewaySuiteMeasuresAPathThroughIt) {
  const std::string bin = std::filesystem::path(kBin).parent_path().string();
  const std::string out = (dir_.path() / "suite").string();
  Proc suite("/bin/bash",
             {std::string(KIT_SOURCE_DIR) + "/scripts/gateway-suite", "--short", "--backlog", "0", "--tty", "serial",
              "--loss", "0", "--proxy", "127.0.0.1:" + std::to_string(port_), "--out", out},
             {"RTTMODEM_PASSWORD=" + kPassword, "KIT_BIN=" + bin});
  ASSERT_EQ(suite.wait(std::chrono::seconds(240)), 0) << suite.out() << suite.err() << server_->err();
  EXPECT_NE(suite.out().find("registered at 127.0.0.1:" + std::to_string(port_)), std::string::npos) << suite.out();
  std::ifstream figures(out + "/figures.csv");
  std::string line, rows;
  while (std::getline(figures, line))
    if (line.find(",chat,") != std::string::npos) rows += line + "\n";
  // condition,tty,loss_pct,measure,direction,chars_sent,chars_received,cer_pct,...
  for (const char* direction : {",chat,rtt->tty,", ",chat,tty->rtt,"}) {
    const std::size_t at = rows.find(direction);
    ASSERT_NE(at, std::string::npos) << direction << "\n" << rows;
    std::istringstream fields(rows.substr(at + std::string(direction).size()));
    std::string sent, received, cer;
    std::getline(fields, sent, ',');
    std::getline(fields, received, ',');
    std::getline(fields, cer, ',');
    EXPECT_GT(std::stoi(sent), 0) << rows;
    EXPECT_EQ(received, sent) << direction << rows;
    EXPECT_EQ(cer, "0.00") << direction << rows;
  }
}

}  // namespace
}  // namespace rttmodem::testing
