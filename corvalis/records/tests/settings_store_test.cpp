// SPDX-License-Identifier: Apache-2.0
// The settings record in its registry key: defaults, the stored file, hand edits and failures.
#include "records/settings_store.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace corvalis::records;
using corvalis::TWindowSettings;
using kit::testing::readFile;
using kit::testing::TempDir;

TWindowSettings knownRecord() {
  TWindowSettings r;
  r.TestType = "Landline";
  r.CallDirection = "Incoming Call";
  r.Signal = "Weak";
  r.UserName = "Ann \"Tester\"";
  r.Location = "Lab 2";
  r.NetworkInfo = "Net";
  r.LogDirectory = "/home/tester/captures";
  r.ScriptFileName = "C:\\scripts\\turns.txt";
  r.DeviceType = "Ultratec Intele-Modem 2400";
  r.Port = "3";
  r.DialNumber = "5551234";
  r.CableID = "C7";
  r.PhoneModel = "Model 9";
  r.PhoneTech = "GSM";
  r.AutoAnswer = "1";
  r.AutoHangUp = "0";
  r.AutoSend = "1";
  r.ComputerID = "PC01";
  r.AutoSave = "1";
  r.CustomSignal = "";
  r.TurboCode = "1";
  return r;
}

const std::string kKnownFile =
    "REGEDIT4\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\n"
    "\"Test Type\"=\"Landline\"\n"
    "\"Call Direction\"=\"Incoming Call\"\n"
    "\"Signal\"=\"Weak\"\n"
    "\"Device Type\"=\"Ultratec Intele-Modem 2400\"\n"
    "\"Username\"=\"Ann \\\"Tester\\\"\"\n"
    "\"Location\"=\"Lab 2\"\n"
    "\"NetworkInfo\"=\"Net\"\n"
    "\"Log directory\"=\"/home/tester/captures\"\n"
    "\"Script filename\"=\"C:\\\\scripts\\\\turns.txt\"\n"
    "\"Port\"=\"3\"\n"
    "\"Dial number\"=\"5551234\"\n"
    "\"CableID\"=\"C7\"\n"
    "\"PhoneModel\"=\"Model 9\"\n"
    "\"PhoneTech\"=\"GSM\"\n"
    "\"Auto answer\"=\"1\"\n"
    "\"Auto hang up\"=\"0\"\n"
    "\"Auto send\"=\"1\"\n"
    "\"Ending filename\"=\"PC01\"\n"
    "\"Auto save\"=\"1\"\n"
    "\"CustomSignal\"=\"\"\n"
    "\"Enable Turbo Code\"=\"1\"\n"
    "\n";

class SettingsStoreTest : public ::testing::Test {
 protected:
  fs::path keyFile() const {
    return dir.path() / "HKEY_LOCAL_MACHINE/Software/Marrowfield/Orrin/Corvalis.reg";
  }
  void putKeyFile(const std::string& text) const {
    fs::create_directories(keyFile().parent_path());
    std::ofstream(keyFile(), std::ios::binary) << text;
  }
  static std::string without(std::string text, const std::string& line) {
    text.erase(text.find(line), line.size());
    return text;
  }

  TempDir dir;
  Registry reg{RootKey::LocalMachine, dir.path()};
};

TEST_F(SettingsStoreTest, FirstRunKeepsTheDefaultsAndCreatesNothing) {
  TWindowSettings r;
  r.DialNumber = "911";
  r.CableID = "C1";
  r.PhoneModel = "M";
  r.PhoneTech = "T";
  r.UserName = "left over";
  setSettingsDefaults(r);
  TWindowSettings expected;
  expected.TestType = "Wireless: Static Direct Call";
  expected.CallDirection = "Outgoing Call";
  expected.Signal = "Strong";
  expected.LogDirectory = std::getenv("HOME");
  expected.DeviceType = "Ameriphone Q-90";
  expected.Port = "1";
  expected.AutoAnswer = expected.AutoHangUp = expected.AutoSend = expected.AutoSave = expected.TurboCode =
      "0";
  expected.DialNumber = "911";  // these four are not touched
  expected.CableID = "C1";
  expected.PhoneModel = "M";
  expected.PhoneTech = "T";
  EXPECT_EQ(r, expected);

  EXPECT_FALSE(readSettings(reg, r));
  EXPECT_EQ(r, expected);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST_F(SettingsStoreTest, KnownRecordGivesAKnownFileAndReadsBack) {
  ASSERT_TRUE(writeSettings(reg, knownRecord()));
  EXPECT_FALSE(reg.hasOpenKey());
  EXPECT_EQ(readFile(keyFile()), kKnownFile);

  TWindowSettings loaded;
  setSettingsDefaults(loaded);
  ASSERT_TRUE(readSettings(reg, loaded));
  EXPECT_FALSE(reg.hasOpenKey());
  EXPECT_EQ(loaded, knownRecord());

  // Saving the same record again gives the same bytes.
  ASSERT_TRUE(writeSettings(reg, loaded));
  EXPECT_EQ(readFile(keyFile()), kKnownFile);
}

TEST_F(SettingsStoreTest, ValueDeletedByHandReadsEmptyAndIsWrittenBack) {
  putKeyFile(without(kKnownFile, "\"Signal\"=\"Weak\"\n"));
  TWindowSettings r;
  setSettingsDefaults(r);
  ASSERT_TRUE(readSettings(reg, r));
  TWindowSettings expected = knownRecord();
  expected.Signal = "";  // replaces the default "Strong"
  EXPECT_EQ(r, expected);

  // Written back as an empty string, after the values still there.
  ASSERT_TRUE(writeSettings(reg, r));
  std::string expectedText = without(kKnownFile, "\"Signal\"=\"Weak\"\n");
  expectedText.insert(expectedText.size() - 1, "\"Signal\"=\"\"\n");
  EXPECT_EQ(readFile(keyFile()), expectedText);
}

TEST_F(SettingsStoreTest, NonStringValueStopsTheReadAtThatValue) {
  std::string text = kKnownFile;
  text.replace(text.find("\"Port\"=\"3\""), 10, "\"Port\"=dword:00000003");
  putKeyFile(text);
  TWindowSettings r;
  setSettingsDefaults(r);
  try {
    readSettings(reg, r);
    ADD_FAILURE() << "a dword read as a string";
  } catch (const RegistryError& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'Port'");
  }
  EXPECT_FALSE(reg.hasOpenKey());
  EXPECT_EQ(r.ScriptFileName, "C:\\scripts\\turns.txt");  // read before "Port"
  EXPECT_EQ(r.Port, "1");                                 // not read
  EXPECT_EQ(r.TurboCode, "0");

  // Saving writes a string over it and leaves the other lines as they were.
  ASSERT_TRUE(writeSettings(reg, knownRecord()));
  EXPECT_EQ(readFile(keyFile()), kKnownFile);
}

TEST_F(SettingsStoreTest, ValuesLeftStoredKeepWhatTheFileHolds) {
  std::string text = kKnownFile;
  text.replace(text.find("\"Port\"=\"3\""), 10, "\"Port\"=dword:00000003");
  putKeyFile(text);
  TWindowSettings r;
  setSettingsDefaults(r);
  size_t read = 99;
  EXPECT_THROW(readSettings(reg, r, &read), RegistryError);
  EXPECT_EQ(read, 9u);  // "Port" is the tenth value
  // The values from "Port" on were not read: a save that leaves them stored changes only the others.
  SettingsMask notRead;
  for (size_t i = read; i < notRead.size(); ++i) notRead.set(i);
  r.UserName = "Bob";
  ASSERT_TRUE(writeSettings(reg, r, notRead));
  std::string expected = text;
  expected.replace(expected.find("Ann \\\"Tester\\\""), 14, "Bob");
  EXPECT_EQ(readFile(keyFile()), expected);
}

TEST_F(SettingsStoreTest, EditsMadeWhileTheProgramRunsAreKeptBeforeASaveGoesOverThem) {
  putKeyFile(kKnownFile);
  TWindowSettings r;
  setSettingsDefaults(r);
  ASSERT_TRUE(readSettings(reg, r));
  const fs::path edited = keyFile().string() + ".edited";

  // The program's own saves are no outside edit, nor is a file touched or put back unchanged.
  r.UserName = "Bob";
  ASSERT_TRUE(writeSettings(reg, r));
  r.Location = "Lab 3";
  ASSERT_TRUE(writeSettings(reg, r));
  const std::string ours = readFile(keyFile());
  putKeyFile(ours);
  fs::last_write_time(keyFile(), fs::last_write_time(keyFile()) + std::chrono::hours(1));
  r.Signal = "Strong";
  ASSERT_TRUE(writeSettings(reg, r));
  EXPECT_TRUE(reg.keptAside().empty());
  EXPECT_EQ(keptAsideText(reg), "");
  EXPECT_FALSE(fs::exists(edited));

  // A hand edit of two values, then a save from the window: the window's values are stored, the
  // edited file is kept whole and the log line names what was gone over.
  std::string hand = readFile(keyFile());
  hand.replace(hand.find("\"Port\"=\"3\""), 10, "\"Port\"=\"5\"");
  hand.replace(hand.find("\"Location\"=\"Lab 3\""), 18, "\"Location\"=\"Lab 9\"");
  putKeyFile(hand);
  ASSERT_TRUE(writeSettings(reg, r));
  std::string expected = ours;
  expected.replace(expected.find("\"Signal\"=\"Weak\""), 15, "\"Signal\"=\"Strong\"");
  EXPECT_EQ(readFile(keyFile()), expected);
  EXPECT_EQ(readFile(edited), hand);
  EXPECT_EQ(keptAsideText(reg),
            "the settings file was changed outside the program since it was read (Location, Port); the "
            "window's settings are saved over it, and the changed file is kept as " +
                edited.string());

  // A second edit later in the day goes beside the first.
  hand = readFile(keyFile());
  hand.replace(hand.find("\"Auto save\"=\"1\""), 15, "\"Auto save\"=\"0\"");
  putKeyFile(hand);
  r.ComputerID = "PC02";
  ASSERT_TRUE(writeSettings(reg, r));
  EXPECT_EQ(readFile(keyFile().string() + ".edited.1"), hand);
  EXPECT_EQ(readFile(keyFile()).find("\"Auto save\"=\"0\""), std::string::npos);

  // A settings file put in place while the program ran on its defaults is kept too.
  TempDir other;
  Registry fresh{RootKey::LocalMachine, other.path()};
  TWindowSettings d;
  setSettingsDefaults(d);
  EXPECT_FALSE(readSettings(fresh, d));
  const fs::path otherFile = fresh.keyFile(kSettingsKey);
  fs::create_directories(otherFile.parent_path());
  std::ofstream(otherFile, std::ios::binary) << kKnownFile;
  ASSERT_TRUE(writeSettings(fresh, d));
  EXPECT_EQ(readFile(otherFile.string() + ".edited"), kKnownFile);
  EXPECT_NE(readFile(otherFile).find("\"Port\"=\"1\""), std::string::npos);
}

TEST_F(SettingsStoreTest, AFolderInPlaceOfTheFileIsRaisedOnSave) {
  fs::create_directories(keyFile());
  TWindowSettings r = knownRecord();
  EXPECT_FALSE(readSettings(reg, r));
  EXPECT_EQ(settingsProblemText(reg.problem()),
            "The settings cannot be read or saved: " + keyFile().string() + " is a folder, not a file.");
  try {
    writeSettings(reg, r);
    ADD_FAILURE() << "saved into a folder";
  } catch (const RegistryError& e) {
    EXPECT_EQ(e.what(), settingsProblemText(reg.problem()));
    EXPECT_EQ(e.systemError(), EISDIR);
  }
  EXPECT_TRUE(fs::is_empty(keyFile()));
}

TEST_F(SettingsStoreTest, FailedWriteNamesTheValueAndKeepsTheStoredRecord) {
  putKeyFile(kKnownFile);
  TWindowSettings r = knownRecord();
  r.ComputerID = "PC02";
  r.CustomSignal = std::string(4096, 'x');  // more than the disk takes
  // A full disk: writes beyond a small size fail.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string message;
  try {
    writeSettings(reg, r);
  } catch (const RegistryError& e) {
    message = e.what();
  }
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
  EXPECT_EQ(message, "Failed to set data for 'Ending filename'");
  EXPECT_FALSE(reg.hasOpenKey());
  EXPECT_EQ(readFile(keyFile()), kKnownFile);
  EXPECT_EQ(std::distance(fs::directory_iterator(keyFile().parent_path()), fs::directory_iterator()), 1);
}

TEST(SettingsRulesTest, FlagsAndPorts) {
  EXPECT_TRUE(settingsFlagOn("1"));
  for (const char* off : {"0", "", "yes", " 1", "1 ", "01", "true"}) EXPECT_FALSE(settingsFlagOn(off)) << off;

  EXPECT_EQ(portButtonNumber("1"), 1);
  EXPECT_EQ(portButtonNumber("6"), 6);
  for (const char* none : {"7", "0", "", "16", "3 ", "COM3"}) EXPECT_EQ(portButtonNumber(none), 0) << none;

  EXPECT_EQ(portNameFor("3"), "COM3");
  EXPECT_EQ(portNameFor("16"), "COM16");  // no button, but a port name
  EXPECT_EQ(portNameFor("7"), std::nullopt);
  EXPECT_EQ(portNameFor(""), std::nullopt);
}

}  // namespace
