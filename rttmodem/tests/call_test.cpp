// SPDX-License-Identifier: Apache-2.0
// Whole calls between rttmodem programs on loopback, judged by what each end writes: the text on
// standard output and the event and count lines on standard error.
#include <gtest/gtest.h>

#include <algorithm>

#include "loss_marks.h"
#include "proc.h"

namespace rttmodem::testing {
namespace {

const std::string kBin = RTTMODEM_BIN;
using tty::lossesMarked;

std::unique_ptr<Proc> listener(std::vector<std::string> args) {
  args.insert(args.begin(), {"--listen", "0"});
  auto p = std::make_unique<Proc>(kBin, args);
  EXPECT_TRUE(p->waitErr(" ready ")) << p->err();
  return p;
}

std::string uriOf(const Proc& p) {
  return "sip:rttmodem@127.0.0.1:" + p.logValue("ready", "sip-port");
}

// The counts line of the last call: name -> value.
long count(const Proc& p, const std::string& name) {
  const std::size_t line = p.err().rfind(" counts ");
  if (line == std::string::npos) return -1;
  const std::size_t at = p.err().find(" " + name + "=", line);
  if (at == std::string::npos || at > p.err().find('\n', line)) return -1;
  return std::stol(p.err().substr(at + name.size() + 2));
}

// A script of turns, Windows-1252 with CR LF: what a program on the serial side would type.
std::string turns(const std::string& who, int lines) {
  std::string t;
  for (int i = 1; i <= lines; ++i)
    t += who + " line " + std::to_string(i) +
         ": caf\xE9 na\xEFve \x80"
         "5 ok\r\n";
  return t;
}


TEST(Call, TextCrossesBothWaysWithTenPercentLossAndTwoGenerations) {
  const std::string fromA = turns("answerer", 6), fromB = turns("caller", 6);
  auto a = listener({"--loss", "10", "--seed", "4", "--pace", "60"});
  a->write(fromA);  // typed before the call: sent once it is up
  Proc b(kBin, {"--dial", uriOf(*a), "--loss", "10", "--seed", "7", "--pace", "60"});
  b.write(fromB);
  ASSERT_TRUE(a->waitOut(fromB)) << a->out() << "\n" << a->err();
  ASSERT_TRUE(b.waitOut(fromA)) << b.out() << "\n" << b.err();
  b.closeInput();  // the caller hangs up once its text has gone
  EXPECT_EQ(b.wait(), 0) << b.err();
  EXPECT_EQ(a->wait(), 0) << a->err();
  // Exactly the text typed, no more: nothing lost, nothing marked, nothing doubled.
  EXPECT_EQ(a->out(), fromB);
  EXPECT_EQ(b.out(), fromA);
  // Each end found missing the packets the other withheld (all but those after its last packet
  // to arrive, which nothing can show), and filled every one.
  for (auto [sender, receiver] : {std::pair{a.get(), &b}, std::pair{&b, a.get()}}) {
    EXPECT_GT(count(*receiver, "lost"), 0) << "the loss was not exercised\n" << receiver->err();
    EXPECT_LE(count(*receiver, "lost"), count(*sender, "withheld")) << receiver->err();
    EXPECT_EQ(count(*receiver, "recovered"), count(*receiver, "lost")) << receiver->err();
    EXPECT_EQ(count(*receiver, "marks"), 0);
  }
  EXPECT_EQ(count(*a, "received"), count(b, "sent"));
  EXPECT_NE(a->err().find(" ended reason=\"far end hung up\" result=\"NO CARRIER\""), std::string::npos)
      << a->err();
}

TEST(Call, LossBeyondTheRedundancyShowsAsMarksNeverSilently) {
  const std::string text = turns("caller", 8);
  auto a = listener({});
  Proc b(kBin,
         {"--dial", uriOf(*a), "--redundancy", "0", "--loss", "30,burst=2", "--seed", "8", "--pace", "80"});
  b.write(text);
  b.closeInput();
  EXPECT_EQ(b.wait(), 0) << b.err();
  EXPECT_EQ(a->wait(), 0) << a->err();
  const long marks = count(*a, "marks");
  EXPECT_GT(marks, 0) << a->err();
  EXPECT_EQ(static_cast<long>(std::count(a->out().begin(), a->out().end(), '?')), marks);
  EXPECT_TRUE(lossesMarked(text, a->out())) << "sent:\n" << text << "\nreceived:\n" << a->out();
  EXPECT_NE(a->err().find(" packets-lost "), std::string::npos);
}

TEST(Call, FailedCallsGiveTheModemResultOfTheirStatus) {
  struct Case {
    std::vector<std::string> far;
    std::string event, result;
  };
  for (const Case& c : std::vector<Case>{{{"--refuse", "486"}, "busy", "BUSY"},
                                         {{"--refuse", "600"}, "busy", "BUSY"},
                                         {{"--refuse", "480"}, "no-answer", "NO ANSWER"},
                                         {{"--refuse", "404"}, "failed", "NO CARRIER"},
                                         {{"--no-answer"}, "no-answer", "NO ANSWER"}}) {
    SCOPED_TRACE(c.far[0]);
    auto a = listener(c.far);
    Proc b(kBin, {"--dial", uriOf(*a), "--answer-timeout", "1"});
    EXPECT_EQ(b.wait(), 2) << b.err();
    EXPECT_TRUE(b.waitErr(" " + c.event + " ")) << b.err();
    const std::string line = c.result.find(' ') != std::string::npos ? "\"" + c.result + "\"" : c.result;
    EXPECT_NE(b.err().find("result line=" + line + "\n"), std::string::npos) << b.err();
    EXPECT_EQ(b.err().find(" connected "), std::string::npos);
  }
}

TEST(Call, SipOverTcpAndOverIpv6) {
  {
    auto a = listener({});
    Proc b(kBin, {"--dial", uriOf(*a) + ";transport=tcp"});
    b.write("over tcp\r\n");
    b.closeInput();
    EXPECT_EQ(b.wait(), 0) << b.err();
    EXPECT_TRUE(a->waitOut("over tcp\r\n")) << a->err();
    EXPECT_EQ(a->wait(), 0) << a->err();
  }
  Proc probe(kBin, {"--listen", "0", "--host", "::1"});
  if (!probe.waitErr(" ready ", std::chrono::seconds(10))) GTEST_SKIP() << "no IPv6 loopback here: " << probe.err();
  Proc b(kBin, {"--host", "::1", "--dial", "sip:rttmodem@[::1]:" + probe.logValue("ready", "sip-port")});
  b.write("over ipv6\r\n");
  b.closeInput();
  EXPECT_EQ(b.wait(), 0) << b.err();
  EXPECT_TRUE(probe.waitOut("over ipv6\r\n")) << probe.err();
  EXPECT_EQ(probe.wait(), 0) << probe.err();
}

TEST(Call, StartUpErrorsAreClear) {
  Proc bad(kBin, {"--dial", "sip:x@127.0.0.1", "--loss", "abc"});
  EXPECT_EQ(bad.wait(), 1);
  EXPECT_NE(bad.err().find("loss must be a percentage"), std::string::npos) << bad.err();
  Proc host(kBin, {"--listen", "0", "--host", "not-an-address"});
  EXPECT_EQ(host.wait(), 1);
  EXPECT_NE(host.err().find("not-an-address"), std::string::npos) << host.err();
}

}  // namespace
}  // namespace rttmodem::testing
