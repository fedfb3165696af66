// SPDX-License-Identifier: Apache-2.0
// A whole call through a pseudo-terminal standing in for a TTY on COM1: Start Call, the far
// end types a line, a line is sent, End Call, Save, and the capture file's bytes; and the times of
// received characters when the window's thread is held up.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "temp_dir.h"
#include "timing.h"
#include "ui/tests/pty_window.h"

namespace corvalis::testing {
namespace {

using kit::testing::readFile;
using kit::testing::TempDir;

// Bytes the far end has received, waiting (with the same limit) until there are Count.
std::string ReadFarEnd(int fd, size_t count) {
  std::string got;
  QElapsedTimer limit;
  limit.start();
  while (got.size() < count && limit.elapsed() < 20000) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// A Custom Compact on the pty, its captures saved in folder by computer PTY.
void SetUpTty(TMainForm& form, const std::filesystem::path& folder) {
  TWindowSettings& s = form.Settings;
  s.DeviceType = kDeviceCustomCompact;
  s.LogDirectory = folder.string();
  s.ComputerID = "PTY";
  s.UserName = "Ann";
  s.Location = "Lab 2";
  s.TestType = "Landline Calls (Acoustic)";
  s.CallDirection = "Incoming Call";
  form.SetBaud();
}

TEST(PtyCall, AWholeCallIsCapturedByteForByte) {
  App();
  TempDir dir;
  PtyPort pty(dir.path());
  ASSERT_TRUE(pty.Open());
  const int master = pty.Master;
  PtyServices world;
  FakeBoxes& boxes = world.boxes;
  FakeClock& clock = world.clock;
  TempDir scripts;
  const std::string script = scripts.write("script.txt", "HI GA\r\n\r\nBYE\r\n\r\n");
  {
    TMainForm form(world.services);
    form.FormShow(&form);
    ASSERT_TRUE(form.ComPort.IsOpen()) << (boxes.calls.empty() ? "" : boxes.calls[0].text);
    SetUpTty(form, dir.path());

    form.StartCallButton->click();
    ASSERT_EQ(write(master, "HELLO\r\n", 7), 7);
    ASSERT_TRUE(ServeUntil([&] { return form.MemoASCII->Text() == "RECD: HELLO\xB1\xB2"; }))
        << form.MemoASCII->Text();

    // This side's line from the script, paced by the main timer: "Send a line" is back once it
    // has gone.
    form.CallDirectionLabel2->setChecked(true);
    form.ScriptFileNameEdit->setText(QString::fromStdString(script));
    form.SendNowButton->click();
    EXPECT_FALSE(form.SendNowButton->isEnabled());
    for (int i = 0; i < 6; ++i) form.MainTimer.Fire();
    EXPECT_TRUE(form.SendNowButton->isEnabled());
    EXPECT_EQ(ReadFarEnd(master, 6), "HI GA ");

    clock.now += std::chrono::seconds(42);
    form.EndCallButton->click();
    form.RecordLogButton->click();
    EXPECT_TRUE(boxes.calls.empty()) << boxes.calls[0].title << ": " << boxes.calls[0].text;
    EXPECT_FALSE(form.RecordLogButton->isEnabled());  // saved
  }
  EXPECT_EQ(readFile(dir.path() / "1018-1405-PTY.TXT"), std::string(64, '=') +
                                                            "\r\n"
                                                            "Started at 10/18/01 14:05:07\r\n"
                                                            "\r\n"
                                                            "RECD: HELLO\xB1\xB2\r\n"
                                                            "\r\n"
                                                            "SEND: HI GA\r\n"
                                                            "\r\n"
                                                            "Ended at 10/18/01 14:05:49 (42.0 seconds)\r\n"
                                                            "COMPUTERID: PTY\r\n"
                                                            "TYPE: Landline Calls (Acoustic)\r\n"
                                                            "DIRECTION: Incoming Call\r\n"
                                                            "SIGNAL: N/A (Landline calls)\r\n"
                                                            "CABLEID: N/A\r\n"
                                                            "PHONEMODEL: N/A\r\n"
                                                            "PHONETECH: N/A\r\n"
                                                            "USERNAME: Ann\r\n"
                                                            "LOCATION: Lab 2\r\n"
                                                            "NETWORKINFO: \r\n"
                                                            "DEVICE: Ultratec Custom Compact\r\n"
                                                            "PORT: 1\r\n"
                                                            "TURBOCODEDETECTED: No\r\n"
                                                            "SCRIPTCOMPLETED: No\r\n"
                                                            "SCRIPTUSED: " + script + "\r\n"
                                                            "\r\n");
}

// A character is timed when it arrived, not when the window's thread, held up by something else
// (a slow disk, a long redraw), got round to reading it: A arrives while the thread is busy for
// a second, B after; the timing file has them about a second apart, not a few. (The port's thread
// has 700 ms to see A arrive, however loaded the machine.)
TEST(PtyCall, ACharacterIsTimedWhenItArrivedNotWhenTheBusyWindowReadIt) {
  App();
  TempDir dir;
  PtyPort pty(dir.path());
  ASSERT_TRUE(pty.Open());
  PtyServices world;
  // The calendar stays the test's; the characters' times run on the real monotonic clock.
  struct : FakeClock {
    std::int64_t MonotonicMs() override { return TSystemClock().MonotonicMs(); }
  } clock;
  world.services.Clock = &clock;
  {
    TMainForm form(world.services);
    form.FormShow(&form);
    ASSERT_TRUE(form.ComPort.IsOpen());
    SetUpTty(form, dir.path());
    form.StartCallButton->click();

    ASSERT_EQ(write(pty.Master, "A", 1), 1);
    QElapsedTimer busy;
    busy.start();
    while (busy.elapsed() < 1000) {
    }
    ASSERT_TRUE(ServeUntil([&] { return form.MemoASCII->Text() == "RECD: A"; })) << form.MemoASCII->Text();
    ASSERT_EQ(write(pty.Master, "B", 1), 1);
    ASSERT_TRUE(ServeUntil([&] { return form.MemoASCII->Text() == "RECD: AB"; })) << form.MemoASCII->Text();
    form.EndCallButton->click();
    form.RecordLogButton->click();
    ASSERT_FALSE(form.RecordLogButton->isEnabled());  // saved
  }
  const timing::TimingFile file = timing::readTimingFile(readFile(dir.path() / "1018-1405-PTY.timing.csv"));
  ASSERT_EQ(file.records.size(), 1u) << file.problem;
  std::map<char, long long> at;
  for (const timing::CharTime& c : file.records[0].chars)
    if (c.direction == timing::Direction::Received) at[static_cast<char>(c.code)] = c.ms;
  ASSERT_EQ(at.size(), 2u);
  EXPECT_GE(at['B'] - at['A'], 300) << "A at " << at['A'] << " ms, B at " << at['B'] << " ms";
}

}  // namespace
}  // namespace corvalis::testing
