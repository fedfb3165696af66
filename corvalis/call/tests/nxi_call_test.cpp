// SPDX-License-Identifier: Apache-2.0
// A whole automatic call through a pseudo-terminal, with the far end playing an NXi modem and
// the person behind it: the modem is initialised, rings, is answered, connects with the turbo
// code; the script runs by itself, the far end types its turns; the end of the script hangs up
// and saves the call. No hand on the keyboard. The timers are driven by the test, one main
// timer tick at a time, and every byte the far end writes is taken by the window before the
// next tick, so the run is the same every time.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <cstdlib>
#include <filesystem>

#include "common/conversation_text.h"
#include "temp_dir.h"
#include "ui/tests/pty_window.h"

namespace corvalis::testing {
namespace {

using kit::testing::readFile;
using kit::testing::TempDir;

// Five turns; the answering side (this one) says 1, 3 and 5. Turn 3 has a line long enough
// for the modem's automatic line break and a pause; the file ends right after the last line.
const std::vector<std::vector<std::string>> kTurns = {
    {"HELLO THIS IS THE FIELD TEST LAB.", "CAN YOU READ ME Q GA"},
    {"YES I READ YOU FINE GA"},
    {"GOOD. PLEASE TELL ME YOUR SIGNAL BARS AND THE TIME ON YOUR PHONE~ NOW", "GA"},
    {"3 BARS AND IT IS 10:45 GA"},
    {"THANK YOU. BYE BYE SK"},
};

std::string ScriptText() {
  std::string s;
  for (size_t t = 0; t < kTurns.size(); ++t) {
    if (t > 0) s += "\r\n";
    for (const std::string& line : kTurns[t]) s += line + "\r\n";
  }
  return s;
}

// A turn as sent or typed: each line followed by a space, pauses taking no character.
std::string Typed(const std::vector<std::string>& turn) {
  std::string s;
  for (const std::string& line : turn) s += line + " ";
  std::erase(s, '~');
  return s;
}

std::string Strip(std::string s, std::initializer_list<char> chars) {
  for (char c : chars) std::erase(s, c);
  return s;
}

std::string TrimRight(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\r' || s.back() == '\n')) s.pop_back();
  return s;
}

// The far end: an NXi modem in command mode (OK to every AT command and to the escape, CONNECT
// TURBO to ATA, EOT hangs up at once) and, once connected, the person who types the even turns
// when this side's turn has ended in GA.
class NxiFarEnd {
 public:
  explicit NxiFarEnd(int fd) : fd_(fd) {}

  // Reads what has arrived (without waiting) and answers it. Called once a tick: the person
  // types the next turn three ticks after this side's turn has arrived whole.
  void Pump() {
    char buf[512];
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 0) <= 0) break;
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) Take(buf[i]);
    }
    if (!connected || nextTurn >= kTurns.size()) return;
    if (Strip(heard_, {'\r', '\n'}) != Typed(kTurns[nextTurn - 1])) {
      quietTicks_ = 0;
    } else if (++quietTicks_ > 3) {
      // The sound indicator codes around the typing, as the modem sends them.
      Write("\x1F" + Typed(kTurns[nextTurn]) + "\x1E");
      nextTurn += 2;
      heard_.clear();
      quietTicks_ = 0;
    }
  }
  void Ring() { Write("\r\nRING\r\n"); }

  std::vector<std::string> commands;  // command lines, in order
  std::string conversation;           // what arrived while connected
  size_t written = 0;                 // bytes written to the program
  bool connected = false;
  size_t nextTurn = 1;  // index into kTurns of the far end's next turn

 private:
  void Take(char ch) {
    if (connected) {
      if (ch == '\x04') {  // the NXi modem's immediate hang-up
        connected = false;
        return;
      }
      conversation += ch;
      heard_ += ch;
      return;
    }
    if (ch == '\x04') return;
    line_ += ch;
    if (line_ == "+++") {
      commands.push_back(line_);
      line_.clear();
      Write("\r\nOK\r\n");
    } else if (ch == '\r') {
      line_.pop_back();
      commands.push_back(line_);
      if (line_ == "ATA") {
        Write("\r\nCONNECT TURBO\r\n");
        connected = true;
      } else if (line_.starts_with("AT")) {
        Write("\r\nOK\r\n");
      }
      line_.clear();
    }
  }
  void Write(const std::string& bytes) {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    written += bytes.size();
  }

  int fd_;
  std::string line_;
  std::string heard_;  // this side's turn so far
  int quietTicks_ = 0;
};

TEST(NxiCall, AnAutomaticCallRunsFromRingToASavedCaptureFile) {
  App();
  TempDir dir;
  PtyPort pty(dir.path());
  ASSERT_TRUE(pty.Open());
  setenv("CORVALIS_REGISTRY_DIR", (dir.path() / "registry").c_str(), 1);
  const std::string script = dir.write("turns.txt", ScriptText());
  PtyServices world;
  FakeBoxes& boxes = world.boxes;
  NxiFarEnd far(pty.Master);
  {
    TMainForm form(world.services);
    TManualTypeForm typing;
    form.ManualTypeForm = &typing;
    size_t taken = 0;  // bytes the window has read from the port
    auto handler = form.ComPort.OnRxChar;
    form.ComPort.OnRxChar = [&](TComPort* port, std::int32_t count) {
      taken += static_cast<size_t>(count);
      handler(port, count);
    };

    form.FormShow(&form);
    ASSERT_TRUE(form.ComPort.IsOpen()) << (boxes.calls.empty() ? "" : boxes.calls[0].text);
    TWindowSettings& s = form.Settings;
    s.LogDirectory = dir.path().string();
    s.ComputerID = "NXI";
    s.UserName = "Ann";
    s.Location = "Lab 2";
    s.TestType = "Landline Calls (Direct connection)";
    form.NXiButton->setChecked(true);
    form.DeviceOkButtonClick(form.DeviceOkButton);
    form.ScriptFileNameEdit->setText(QString::fromStdString(script));
    form.AutoAnsBox->setChecked(true);
    form.AutoHangUpBox->setChecked(true);
    form.AutoSaveBox->setChecked(true);
    ASSERT_TRUE(form.AutoSendBox->isChecked());

    // One step of the world: the far end answers, the window takes all of it, then a tick;
    // the AT command timer runs out after 10 ticks (2 s) with no OK.
    int atTicks = 0;
    auto step = [&] {
      far.Pump();
      if (!ServeUntil([&] { return taken == far.written; })) return false;
      form.MainTimer.Fire();
      atTicks = form.ATCommandTimer.Enabled() ? atTicks + 1 : 0;
      if (atTicks >= 10) {
        atTicks = 0;
        form.ATCommandTimer.Fire();
      }
      return !::testing::Test::HasFatalFailure();
    };
    for (int i = 0; i < 50 && (form.ATCommandTimer.Enabled() || far.commands.size() < 4); ++i)
      ASSERT_TRUE(step());
    ASSERT_EQ(far.commands, (std::vector<std::string>{"ATZ", "ATE0", "AT#T", "AT#L1"}));

    far.Ring();
    for (int i = 0; i < 3000 && !(far.commands.size() > 5 && far.commands.back() == "ATH"); ++i)
      ASSERT_TRUE(step());
    far.Pump();

    EXPECT_TRUE(boxes.calls.empty()) << boxes.calls[0].title << ": " << boxes.calls[0].text;
    EXPECT_FALSE(form.RecordLogButton->isEnabled());  // the call was saved
    EXPECT_FALSE(typing.isVisible());  // a bi-directional device never shows it
  }
  unsetenv("CORVALIS_REGISTRY_DIR");

  // The modem's side: initialised, answered, and hung up with EOT (once by the end of the
  // script and once more by End Call), the escape and ATH.
  EXPECT_EQ(far.commands, (std::vector<std::string>{"ATZ", "ATE0", "AT#T", "AT#L1", "ATA", "+++", "ATH"}));
  EXPECT_EQ(far.nextTurn, 5u);  // both of its turns typed

  // What the person at the far end read: this side's three turns, whole, with the modem's
  // automatic line breaks.
  std::string expected = Typed(kTurns[0]) + Typed(kTurns[2]) + Typed(kTurns[4]);
  EXPECT_EQ(Strip(far.conversation, {'\r', '\n'}), expected);
  EXPECT_NE(far.conversation.find("\r\n"), std::string::npos);

  // The capture file: the conversation in speaker paragraphs and the record's fields.
  std::string capture = readFile(dir.path() / "1018-1405-NXI.TXT");
  const std::string head = std::string(64, '=') + "\r\nStarted at 10/18/01 14:05:07\r\n\r\n";
  ASSERT_TRUE(capture.starts_with(head)) << capture;
  size_t end = capture.find("\r\n\r\nEnded at ");
  ASSERT_NE(end, std::string::npos) << capture;
  std::string conversation = Strip(capture.substr(head.size(), end - head.size()), {kCrMark, kLfMark});
  std::vector<std::string> paragraphs;
  for (size_t from = 0;;) {
    size_t gap = conversation.find("\r\n\r\n", from);
    paragraphs.push_back(conversation.substr(from, gap - from));
    if (gap == std::string::npos) break;
    from = gap + 4;
  }
  ASSERT_EQ(paragraphs.size(), kTurns.size()) << conversation;
  for (size_t t = 0; t < kTurns.size(); ++t)
    EXPECT_EQ(TrimRight(paragraphs[t]), TrimRight((t % 2 == 0 ? "SEND: " : "RECD: ") + Typed(kTurns[t])));
  for (const char* field : {"DIRECTION: Incoming Call\r\n", "DEVICE: NXi modem\r\n",
                            "TURBOCODEDETECTED: Yes\r\n", "SCRIPTCOMPLETED: Yes\r\n"})
    EXPECT_NE(capture.find(field), std::string::npos) << field << capture;
  EXPECT_NE(capture.find("SCRIPTUSED: " + script + "\r\n"), std::string::npos);
}

}  // namespace
}  // namespace corvalis::testing
