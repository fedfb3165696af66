// SPDX-License-Identifier: Apache-2.0
// Whole calls over real-time text: corvalis drives rttmodem as its NXi modem; the far end is
// ttysim, a TTY on a serial line behind a second rttmodem (a gateway). The RTT between them runs
// on loopback, with packets withheld to try the redundancy. Judged from the capture files, what
// crossed each line, and the counts each rttmodem logs.
#include <signal.h>
#include <sys/stat.h>

#include <QPushButton>
#include <algorithm>

#include "e2e_harness.h"
#include "fieldtext.h"
#include "../../tty/loss_marks.h"

namespace e2e {
namespace {

using fieldtext::Side;

const std::string kScript =
    "HELLO THIS IS THE LAB GA\r\n"
    "\r\n"
    "HI LAB I READ YOU GA\r\n"
    "\r\n"
    "NUMBERS 911 AND\r\n"
    "555-0142~ GA\r\n"
    "\r\n"
    "GOT THEM BYE SK\r\n"
    "\r\n";

std::string Turns(const std::string& script, Side side, std::string_view lineEnd = " ") {
  return fieldtext::sideText(fieldtext::readTurns(script), side, lineEnd);
}

// A value of the last counts line of an rttmodem console; -1 when there is none.
long Count(const std::string& console, const std::string& name) {
  const std::size_t line = console.rfind(" counts ");
  if (line == std::string::npos) return -1;
  const std::size_t at = console.find(" " + name + "=", line);
  if (at == std::string::npos || at > console.find('\n', line)) return -1;
  return std::stol(console.substr(at + name.size() + 2));
}


class RttCall : public FieldTest {
 protected:
  // An rttmodem, started with the port folder and ready.
  std::unique_ptr<Ttysim> StartRtt(std::vector<std::string> args) {
    args.insert(args.end(), {"--port-dir", portDir});
    auto p = std::make_unique<Ttysim>(RTTMODEM_BIN, args);
    EXPECT_TRUE(ServeUntil([&] { return !p->Ready().empty() || p->Exited(); })) << p->Console();
    EXPECT_FALSE(p->Ready().empty()) << "rttmodem ended before it was ready:\n" << p->Console();
    return p;
  }

  // ttysim as a TTY on the serial line COM2, which the gateway opens. It ends `linger` seconds
  // after the script, unless the gateway has closed the line first (the call was hung up).
  void StartFarTty(const std::string& script, const std::string& side, const std::string& linger) {
    StartSim({"--device", "compact", "--port", "COM2", "--script", script, "--side", side, "--cps", "30",
              "--quiet", "0.5", "--start-delay", "0.5", "--linger", linger});
  }

  // The modem on COM1 for corvalis, once the program has initialised it: the gateway's TTY then
  // calls it.
  void CallCorvalisWhenInitialised(std::vector<std::string> modemArgs, std::vector<std::string> gatewayArgs) {
    modemArgs.insert(modemArgs.begin(), {"--port", "COM1", "--listen", "0"});
    modem = StartRtt(modemArgs);
    ASSERT_FALSE(modem->Ready().empty());
    ASSERT_NO_FATAL_FAILURE(OpenWindow());
    ASSERT_TRUE(ServeUntil([&] { return modem->Said("command AT#L1 -> OK"); })) << modem->Console();
    gatewayArgs.insert(gatewayArgs.begin(), {"--tty-serial", "COM2", "--dial", modem->Ready().at("sip")});
    gateway = StartRtt(gatewayArgs);
  }

  // The far end has finished, the gateway has hung up, the call is saved.
  void ServeToTheEnd() {
    ASSERT_EQ(ServeUntilSimExits(), 0) << sim->Console();
    ASSERT_TRUE(ServeUntil([&] { return gateway->Exited(); })) << gateway->Console();
    ASSERT_TRUE(ServeUntil([&] { return form->StartCallButton->isEnabled() && !Capture().empty(); })) << Boxes();
  }

  std::string Received() const {
    auto conversation = fieldtext::lastConversation(Capture());
    return conversation ? fieldtext::withoutTrailingSpaces(fieldtext::speakerText(*conversation, "RECD: "))
                        : "(no conversation)";
  }

  std::unique_ptr<Ttysim> modem, gateway;
};

TEST_F(RttCall, CorvalisAnswersAndTenPercentLossWithTwoGenerationsLosesNoText) {
  Prepare("NXi modem", kScript, {{"NetworkInfo", "rttmodem"}});
  ASSERT_NO_FATAL_FAILURE(StartFarTty(scriptPath, "even", "60"));
  ASSERT_NO_FATAL_FAILURE(
      CallCorvalisWhenInitialised({"--loss", "10", "--seed", "3"}, {"--loss", "10", "--seed", "8"}));
  ASSERT_NO_FATAL_FAILURE(ServeToTheEnd());

  // The modem rang, corvalis answered, the script ran both ways, corvalis hung up (EOT).
  const std::string console = modem->Console();
  for (const char* e : {"incoming", "command ATA -> answering", "connect CONNECT TTY", "hangup EOT"})
    EXPECT_NE(console.find(e), std::string::npos) << e << "\n" << console;
  EXPECT_EQ(fieldtext::withoutLineEnds(FarReceived()), Turns(kScript, Side::Odd));
  EXPECT_EQ(FarSent(), Turns(kScript, Side::Even));
  auto conversation = fieldtext::lastConversation(Capture());
  ASSERT_TRUE(conversation) << Capture();
  EXPECT_EQ(fieldtext::speakerText(*conversation, "SEND: "), Turns(kScript, Side::Odd));
  EXPECT_EQ(Received(), fieldtext::withoutTrailingSpaces(Turns(kScript, Side::Even)));
  EXPECT_EQ(fieldtext::lastRecordValue(Capture(), "SCRIPTCOMPLETED"), "Yes");
  // Both ends withheld packets, and each found the other's missing and filled every one.
  for (auto [sender, receiver] :
       {std::pair{modem.get(), gateway.get()}, std::pair{gateway.get(), modem.get()}}) {
    EXPECT_GT(Count(sender->Console(), "withheld"), 0) << sender->Console();
    EXPECT_GT(Count(receiver->Console(), "lost"), 0) << receiver->Console();
    EXPECT_EQ(Count(receiver->Console(), "recovered"), Count(receiver->Console(), "lost"));
    EXPECT_EQ(Count(receiver->Console(), "marks"), 0);
  }
  EXPECT_EQ(Boxes(), "");
}

TEST_F(RttCall, CorvalisDialsAndTheFarEndHangingUpGivesNoCarrier) {
  // The answering far end speaks first; corvalis, the caller, has the even turns. The far end
  // hangs up a second after the last turn; corvalis does not hang up by itself.
  ASSERT_NO_FATAL_FAILURE(StartFarTty(WriteScript("far-script.txt", kScript), "odd", "1"));
  gateway = StartRtt({"--tty-serial", "COM2", "--listen", "0"});
  ASSERT_FALSE(gateway->Ready().empty());
  Prepare("NXi modem", kScript,
          {{"Call Direction", "Outgoing Call"},
           {"Dial number", gateway->Ready().at("sip")},
           {"Auto answer", "0"},
           {"Auto hang up", "0"}});
  modem = StartRtt({"--port", "COM1", "--listen", "0"});
  ASSERT_NO_FATAL_FAILURE(OpenWindow());
  ASSERT_TRUE(ServeUntil([&] { return modem->Said("command AT#L1 -> OK"); })) << modem->Console();
  form->DialButton->click();
  ASSERT_NO_FATAL_FAILURE(ServeToTheEnd());

  const std::string console = modem->Console();
  EXPECT_NE(console.find("command ATDT " + gateway->Ready().at("sip") + " -> dialling"), std::string::npos)
      << console;
  EXPECT_NE(console.find("connect CONNECT TTY"), std::string::npos) << console;
  EXPECT_NE(console.find("hangup NO CARRIER"), std::string::npos) << console;
  EXPECT_EQ(FarSent(), Turns(kScript, Side::Odd));
  EXPECT_EQ(fieldtext::withoutLineEnds(FarReceived()), Turns(kScript, Side::Even));
  // The NO CARRIER ends the call and is the last thing it received.
  const std::string got = Received();
  EXPECT_TRUE(got.starts_with(fieldtext::withoutTrailingSpaces(Turns(kScript, Side::Odd)))) << got;
  EXPECT_TRUE(got.ends_with("NO CARRIER")) << got;
  EXPECT_EQ(fieldtext::lastRecordValue(Capture(), "DIRECTION"), "Outgoing Call");
  EXPECT_EQ(log.With("ended (NO CARRIER): saved in").size(), 1u);
  EXPECT_EQ(Boxes(), "");
}

TEST_F(RttCall, BeyondWhatRedundancyCoversEveryLossShowsAsAMark) {
  // The far end's long turn crosses a line losing a quarter of the packets, with no redundancy.
  std::string farTurn;
  for (int i = 1; i <= 12; ++i) farTurn += "LINE " + std::to_string(i) + " OF THE FAR END QRST\r\n";
  const std::string script = "HELLO THIS IS THE LAB GA\r\n\r\n" + farTurn + "GA\r\n\r\nBYE SK\r\n\r\n";
  Prepare("NXi modem", script);
  ASSERT_NO_FATAL_FAILURE(StartFarTty(scriptPath, "even", "60"));
  ASSERT_NO_FATAL_FAILURE(CallCorvalisWhenInitialised({"--redundancy", "0"},
                                                      {"--redundancy", "0", "--loss", "25", "--seed", "2"}));
  ASSERT_NO_FATAL_FAILURE(ServeToTheEnd());

  const std::string got = Received();
  const long marks = Count(modem->Console(), "marks");
  EXPECT_GT(marks, 0) << modem->Console();
  // What arrived is what was typed with each loss replaced by one mark, and every mark is counted.
  EXPECT_TRUE(tty::lossesMarked(fieldtext::withoutTrailingSpaces(Turns(script, Side::Even)), got)) << got;
  EXPECT_EQ(std::count(got.begin(), got.end(), '?'), marks) << got;
  // Without redundancy each run of lost packets is one mark; none went unnoticed but those the
  // end of the call cut off.
  EXPECT_LE(marks, Count(modem->Console(), "lost"));
  EXPECT_LE(Count(modem->Console(), "lost"), Count(gateway->Console(), "withheld"));
  EXPECT_EQ(Count(modem->Console(), "recovered"), 0);
}

TEST_F(RttCall, TheInterworkingChainRunsFromTonesToRealTimeTextAndBack) {
  // corvalis -> softtty (a TTY's tones on named pipes) -> the gateway -> RTT -> rttmodem -> ttysim.
  const std::string greeting = "HELLO LAB THIS IS CAR 2 GA\r\n\r\n";
  const std::string farScript = WriteScript("far-script.txt", greeting + kScript);
  Prepare("Ultratec Custom Compact", kScript);
  ASSERT_NO_FATAL_FAILURE(StartFarTty(farScript, "odd", "3"));
  auto farRtt = StartRtt({"--tty-serial", "COM2", "--listen", "0"});
  ASSERT_FALSE(farRtt->Ready().empty());
  const std::string up = dir.file("up.raw"), down = dir.file("down.raw");
  ASSERT_EQ(mkfifo(up.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(down.c_str(), 0600), 0);
  Ttysim softtty(SOFTTTY_BIN,
                 {"--port", "COM1", "--folder", portDir, "--input-file", down, "--output-file", up});
  ASSERT_TRUE(ServeUntil([&] { return !softtty.Ready().empty() || softtty.Exited(); })) << softtty.Console();
  gateway = StartRtt(
      {"--tty-audio", "--input-file", up, "--output-file", down, "--dial", farRtt->Ready().at("sip")});
  ASSERT_NO_FATAL_FAILURE(OpenWindow());
  form->StartCallButton->click();
  ASSERT_NO_FATAL_FAILURE(ServeToTheEnd());

  // The far end heard this side's turns, and then the hang-up sequence corvalis sends a direct TTY
  // (it is text on the line, '+' travelling as '&' in Baudot); it hangs up after its last turn.
  const std::string farTurns = Turns(greeting + kScript, Side::Odd);
  EXPECT_EQ(FarSent(), farTurns);
  EXPECT_TRUE(fieldtext::withoutLineEnds(FarReceived()).starts_with(Turns(kScript, Side::Odd)))
      << FarReceived();
  EXPECT_EQ(Received(), fieldtext::withoutTrailingSpaces(farTurns));
  for (const Ttysim* p : {gateway.get(), farRtt.get()}) {
    EXPECT_EQ(Count(p->Console(), "marks"), 0) << p->Console();
    EXPECT_EQ(Count(p->Console(), "unrepresentable"), 0) << p->Console();
  }
  EXPECT_EQ(Boxes(), "");
}

}  // namespace
}  // namespace e2e
