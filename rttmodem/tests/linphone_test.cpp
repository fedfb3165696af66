// SPDX-License-Identifier: Apache-2.0
// Interoperability with a real-time text endpoint on another stack: a small peer on Debian's
// liblinphone (linphone_peer.cpp), with the same payload type numbers as rttmodem's offer.
#include <gtest/gtest.h>

#include <algorithm>

#include "loss_marks.h"
#include "proc.h"
#include "temp_dir.h"

namespace rttmodem::testing {
namespace {

#ifdef LINPHONE_PEER
const std::string kPeer = LINPHONE_PEER;
#endif
const std::string kBin = RTTMODEM_BIN;
using tty::lossesMarked;
const std::string kLs = "\xE2\x80\xA8";

long count(const Proc& p, const std::string& name) {
  const std::size_t line = p.err().rfind(" counts ");
  if (line == std::string::npos) return -1;
  const std::size_t at = p.err().find(" " + name + "=", line);
  if (at == std::string::npos || at > p.err().find('\n', line)) return -1;
  return std::stol(p.err().substr(at + name.size() + 2));
}


TEST(Linphone, TextBothWaysWithPacketLoss) {
#ifndef LINPHONE_PEER
  GTEST_SKIP() << "liblinphone-dev was not installed when the build was configured (scripts/install-deps "
                  "installs it); the interoperability test needs it";
#else
  kit::testing::TempDir dir;
  // What each side types: the peer in UTF-8 with LF line ends, rttmodem in Windows-1252 with CR LF.
  std::string peerTyped, peerSeen, modemTyped, modemSeen;
  for (int i = 1; i <= 6; ++i) {
    const std::string n = std::to_string(i);
    peerTyped += "peer line " + n +
                 " caf\xC3\xA9 \xE2\x82\xAC"
                 "5\n";
    modemSeen += "peer line " + n +
                 " caf\xE9 \x80"
                 "5\r\n";
    modemTyped += "modem line " + n +
                  " na\xEFve \x80"
                  "7\r\n";
    peerSeen += "modem line " + n +
                " na\xC3\xAFve \xE2\x82\xAC"
                "7" +
                kLs;
  }
  Proc peer(kPeer, {dir.path().string(), "--listen", "--loss", "10"});
  ASSERT_TRUE(peer.waitErr("peer ready port=")) << peer.err();
  const std::string port = peer.err().substr(peer.err().find("ready port=") + 11);
  peer.write(peerTyped);  // typed as soon as the call is up
  Proc modem(kBin, {"--dial", "sip:peer@127.0.0.1:" + port.substr(0, port.find('\n')), "--loss", "10",
                    "--seed", "4", "--pace", "40"});
  modem.write(modemTyped);
  // Our text, through our seeded loss and two generations of redundancy: all of it, exactly.
  ASSERT_TRUE(peer.waitOut(peerSeen, std::chrono::seconds(60))) << peer.out() << "\n" << modem.err();
  EXPECT_EQ(peer.out(), peerSeen);
  // Its text, through its own (unseeded) loss: all of it, or every loss marked where it happened.
  ASSERT_TRUE(modem.waitOut("peer line 6", std::chrono::seconds(60))) << modem.out() << "\n" << modem.err();
  modem.waitOut(modemSeen, std::chrono::seconds(5));
  modem.closeInput();
  EXPECT_EQ(modem.wait(), 0) << modem.err();
  EXPECT_EQ(peer.wait(), 0);
  EXPECT_TRUE(lossesMarked(modemSeen, modem.out())) << "expected:\n"
                                                    << modemSeen << "\nreceived:\n"
                                                    << modem.out();
  EXPECT_EQ(static_cast<long>(std::count(modem.out().begin(), modem.out().end(), '?')),
            count(modem, "marks"));
  EXPECT_GT(count(modem, "withheld"), 0) << modem.err();
  EXPECT_EQ(count(modem, "dropped"), 0) << modem.err();
#endif
}

TEST(Linphone, PlacesACallWithItsDefaultsAndTextCrossesBothWays) {
#ifndef LINPHONE_PEER
  GTEST_SKIP() << "liblinphone-dev was not installed when the build was configured";
#else
  kit::testing::TempDir dir;
  Proc modem(kBin, {"--listen", "0"});
  ASSERT_TRUE(modem.waitErr(" ready ")) << modem.err();
  modem.write("hi peer, rttmodem here\r\n");  // typed before the call: sent once it is up
  // liblinphone as it comes, with no proxy: it calls rttmodem's address directly.
  Proc peer(kPeer, {dir.path().string(), "--call", "sip:rttmodem@127.0.0.1:" + modem.logValue("ready", "sip-port")});
  peer.write("hello from liblinphone\n");
  ASSERT_TRUE(modem.waitOut("hello from liblinphone\r\n", std::chrono::seconds(60))) << modem.err() << peer.err();
  ASSERT_TRUE(peer.waitOut("hi peer, rttmodem here" + kLs, std::chrono::seconds(60))) << peer.out() << modem.err();
  peer.closeInput();  // the peer hangs up
  EXPECT_EQ(modem.wait(), 0) << modem.err();
  EXPECT_EQ(peer.wait(), 0);
  EXPECT_EQ(count(modem, "marks"), 0) << modem.err();
  EXPECT_NE(modem.err().find(" ended reason=\"far end hung up\""), std::string::npos) << modem.err();
#endif
}

}  // namespace
}  // namespace rttmodem::testing
