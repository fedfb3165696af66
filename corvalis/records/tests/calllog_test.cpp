// SPDX-License-Identifier: Apache-2.0
#include "records/calllog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "temp_dir.h"

using namespace corvalis;
using namespace std::chrono;
using kit::testing::readFile;
using kit::testing::TempDir;

namespace {

// Tests run with TZ=UTC and LC_ALL=C: 2001-10-18 14:05:07 UTC.
TDateTime At(int hour, int minute, int second, int ms = 0) {
  return system_clock::from_time_t(1003413600 + hour * 3600 + minute * 60 + second - 14 * 3600) +
         milliseconds(ms);
}

TWindowSettings Wireless() {
  TWindowSettings s;
  s.TestType = "Wireless: Static Direct Call";
  s.CallDirection = "Outgoing Call";
  s.Signal = "Strong";
  s.UserName = "Ann";
  s.Location = "Lab 2";
  s.NetworkInfo = "Net";
  s.LogDirectory = "/tmp";
  s.ScriptFileName = "/s/script.txt";
  s.DeviceType = "NXi modem";
  s.Port = "2";
  s.DialNumber = "5551234";
  s.CableID = "C7";
  s.PhoneModel = "P1";
  s.PhoneTech = "GSM";
  s.ComputerID = "LAB1";
  return s;
}

}  // namespace

TEST(CaptureName, PrefixAndPath) {
  std::tm t{};
  t.tm_mon = 9;
  t.tm_mday = 18;
  t.tm_hour = 14;
  t.tm_min = 5;
  EXPECT_EQ(MakeFilePrefix(t), "1018-1405");
  t.tm_mon = 0;
  t.tm_mday = 2;
  t.tm_hour = 0;
  t.tm_min = 0;
  EXPECT_EQ(MakeFilePrefix(t), "0102-0000");
  EXPECT_EQ(CapturePath("/home/t/caps", "1018-1405", "LAB1"), "/home/t/caps/1018-1405-LAB1.TXT");
  EXPECT_EQ(CapturePath("/home/t/caps/", "1018-1405", "LAB1"), "/home/t/caps/1018-1405-LAB1.TXT");
  EXPECT_EQ(CapturePath("/", "1018-1405", "LAB1"), "/1018-1405-LAB1.TXT");
  EXPECT_EQ(CapturePath("", "1018-1405", ""), "/1018-1405-.TXT");
}

TEST(CaptureName, DatesTimesAndLength) {
  EXPECT_EQ(FormatCaptureDateTime(At(14, 5, 7)), "10/18/01 14:05:07");
  EXPECT_EQ(FormatCaptureDateTime(At(0, 0, 0)), "10/18/01");
  EXPECT_EQ(FormatCaptureDateTime(At(0, 0, 0, 1)), "10/18/01 00:00:00");
  EXPECT_EQ(CallLengthText(At(14, 5, 7), At(14, 7, 12, 300)), "125.3");
  EXPECT_EQ(CallLengthText(At(14, 5, 7), At(14, 5, 7)), "0.0");
  EXPECT_EQ(CallLengthText(At(14, 5, 7), At(14, 5, 7, 949)), "0.9");
  EXPECT_EQ(CallLengthText(At(14, 5, 7), At(14, 5, 7, 950)), "1.0");
}

TEST(CallRecord, WirelessOutgoingModemCall) {
  TWindowSettings s = Wireless();
  TCallRecordInput in;
  in.settings = &s;
  in.conversation = "SEND: HI GA\r\n\r\nRECD: HELLO\xB1\xB2 GA";
  in.startTime = At(14, 5, 7);
  in.endTime = At(14, 7, 12, 300);
  in.turboDetected = true;
  std::vector<std::string> expected = {
      std::string(64, '='),
      "Started at 10/18/01 14:05:07",
      "",
      "SEND: HI GA\r\n\r\nRECD: HELLO\xB1\xB2 GA",
      "",
      "Ended at 10/18/01 14:07:12 (125.3 seconds)",
      "COMPUTERID: LAB1",
      "TYPE: Wireless: Static Direct Call",
      "DIRECTION: Outgoing Call",
      "SIGNAL: Strong",
      "CABLEID: C7",
      "PHONEMODEL: P1",
      "PHONETECH: GSM",
      "USERNAME: Ann",
      "LOCATION: Lab 2",
      "NETWORKINFO: Net",
      "DEVICE: NXi modem",
      "PORT: 2",
      "TURBOCODEDETECTED: Yes",
      "DIAL#: 5551234",
      "SCRIPTCOMPLETED: No",
      "SCRIPTUSED: /s/script.txt",
      "",
  };
  EXPECT_EQ(BuildCallRecord(in), expected);
}

TEST(CallRecord, LandlineIncomingAndOtherSignal) {
  TWindowSettings s = Wireless();
  s.TestType = "Landline Calls (Acoustic)";
  s.CallDirection = "Incoming Call";
  s.Signal = "Other";
  s.CustomSignal = "two bars";
  s.UserName = "Zo\u00EB";
  TCallRecordInput in;
  in.settings = &s;
  in.scriptCompleted = true;
  std::vector<std::string> r = BuildCallRecord(in);
  ASSERT_EQ(r.size(), 22u);  // no DIAL# line on an incoming call
  EXPECT_EQ(r[3], "");
  EXPECT_EQ(r[9], "SIGNAL: N/A (Landline calls)");
  EXPECT_EQ(r[10], "CABLEID: N/A");
  EXPECT_EQ(r[11], "PHONEMODEL: N/A");
  EXPECT_EQ(r[12], "PHONETECH: N/A");
  EXPECT_EQ(r[13], "USERNAME: Zo\xEB");  // Windows-1252 in the file
  EXPECT_EQ(r[18], "TURBOCODEDETECTED: No");
  EXPECT_EQ(r[19], "SCRIPTCOMPLETED: Yes");

  // A wireless type with the signal "Other" takes the tester's own words, even none.
  s.TestType = "Wireless: In-Motion Direct Call";
  EXPECT_EQ(BuildCallRecord(in)[9], "SIGNAL: two bars");
  s.CustomSignal.clear();
  EXPECT_EQ(BuildCallRecord(in)[9], "SIGNAL: ");
  // Outgoing, but not a modem: no DIAL# line either.
  s.CallDirection = "Outgoing Call";
  s.DeviceType = "Ultratec Custom Compact";
  r = BuildCallRecord(in);
  EXPECT_EQ(r[18], "TURBOCODEDETECTED: No");
  EXPECT_EQ(r[19], "SCRIPTCOMPLETED: Yes");
  // A test type that only mentions a landline is not one of the two landline types.
  s.TestType = "landline Calls (Acoustic)";
  EXPECT_EQ(BuildCallRecord(in)[10], "CABLEID: C7");
}

TEST(CaptureFile, AppendsWithCrLfAndCreatesTheFile) {
  TempDir dir;
  std::string path = dir.file("1018-1405-LAB1.TXT");
  AppendLineToFile(path, "first\xB1");
  AppendLineToFile(path, "second\r\nthird");
  EXPECT_EQ(readFile(path), "first\xB1\r\nsecond\r\nthird\r\n");
}

TEST(CaptureFile, FailuresSayWhyAndLeaveNothingBehind) {
  TempDir dir;
  try {
    AppendLineToFile(dir.file("missing/x.TXT"), "a");
    FAIL() << "no error";
  } catch (const TCaptureFileError& e) {
    EXPECT_NE(std::string(e.what()).find("File not found"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("missing/x.TXT"), std::string::npos) << e.what();
  }
  try {
    AppendLineToFile("/dev/full", "a");
    FAIL() << "no error";
  } catch (const TCaptureFileError& e) {
    EXPECT_NE(std::string(e.what()).find("Disk full"), std::string::npos) << e.what();
  }
  if (geteuid() != 0) {
    std::string ro = dir.file("ro");
    ASSERT_EQ(mkdir(ro.c_str(), 0555), 0);
    EXPECT_THROW(AppendLineToFile(ro + "/x.TXT", "a"), TCaptureFileError);
  }
}
