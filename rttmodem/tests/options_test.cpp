// SPDX-License-Identifier: Apache-2.0
#include "options.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace rttmodem::console {
namespace {

TEST(Options, PasswordsComeFromAFileOrTheEnvironmentNeverTheCommandLine) {
  kit::testing::TempDir dir;
  const std::string file = dir.write("pw", "s3cret\r\nignored\n");
  auto r = parseOptions({"--listen", "0", "--register", "sip:alice@10.0.0.1:5070", "--password-file", file},
                        "fromenv");
  ASSERT_TRUE(r.options) << r.error;
  EXPECT_EQ(r.options->password, "s3cret");  // the file wins, its line end left out
  EXPECT_EQ(r.options->authUser, "alice");
  r = parseOptions({"--dial", "sip:bob@x", "--register", "sip:alice@10.0.0.1"}, "fromenv");
  ASSERT_TRUE(r.options) << r.error;
  EXPECT_EQ(r.options->password, "fromenv");
  r = parseOptions({"--dial", "sip:bob@x", "--register", "sip:alice@10.0.0.1"}, std::nullopt);
  EXPECT_FALSE(r.options);
  EXPECT_NE(r.error.find("needs a password"), std::string::npos);
  r = parseOptions({"--dial", "sip:bob@x", "--password", "pw"}, std::nullopt);
  EXPECT_FALSE(r.options);
  EXPECT_NE(r.error.find("never given on the command line"), std::string::npos);
  r = parseOptions({"--listen", "0", "--register", "sip:a@h", "--password-file", dir.file("missing")},
                   std::nullopt);
  EXPECT_FALSE(r.options);
}

TEST(Options, RefusesWhatCannotWork) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {},
           {"--listen", "0", "--dial", "sip:a@b"},
           {"--dial", "tel:123"},
           {"--listen", "70000"},
           {"--listen", "0", "--redundancy", "6"},
           {"--listen", "0", "--loss", "150"},
           {"--listen", "0", "--jitter", "5001"},
           {"--listen", "0", "--delay", "-1"},
           {"--listen", "0", "--reorder", "1.5"},
           {"--listen", "0", "--duplicate", "x"},
           {"--listen", "0", "--ssrc-change", "0"},
           {"--listen", "0", "--reinvite", "0"},
           {"--listen", "0", "--hold", "0"},
           {"--dial", "sip:a@b", "--text-only", "--add-text", "2"},
           {"--listen", "0", "--pace", "0"},
           {"--dial", "sip:a@b", "--refuse", "486"},
           {"--listen", "0", "--refuse", "200"},
           {"--listen", "0", "--register", "sip:nouser"},
           {"--listen", "0", "--bogus"},
       }) {
    EXPECT_FALSE(parseOptions(args, "pw").options) << testing::PrintToString(args);
  }
  auto r = parseOptions({"--dial", "sip:a@b", "--loss", "10,burst=3", "--redundancy", "0", "--seed", "9"},
                        std::nullopt);
  ASSERT_TRUE(r.options) << r.error;
  EXPECT_EQ(r.options->loss->burst, 3);
  EXPECT_EQ(r.options->generations, 0);
  r = parseOptions({"--listen", "0", "--trace-dir"}, std::nullopt);
  EXPECT_EQ(r.error, "--trace-dir needs a folder");
  r = parseOptions({"--listen", "0", "--trace-dir", ""}, std::nullopt);
  EXPECT_EQ(r.error, "--trace-dir needs a folder");
  std::string user;
  EXPECT_EQ(registrarOf("sip:bob@127.0.0.1:5080;transport=udp", &user), "sip:127.0.0.1:5080");
  EXPECT_EQ(user, "bob");
}

TEST(Options, TheModemAndTheGatewayTakeTheirOwnOptionsOnly) {
  auto r = parseOptions({"--port", "com3", "--dial-host", "10.0.0.9:5070"}, std::nullopt, "/tmp/ports");
  ASSERT_TRUE(r.options) << r.error;
  EXPECT_EQ(r.options->front, Front::Modem);
  EXPECT_EQ(r.options->mode, Mode::Listen);  // the modem takes calls as it places them
  EXPECT_EQ(r.options->port, "COM3");
  EXPECT_EQ(r.options->portDir, "/tmp/ports");
  // Written as the other console programs take them: a value after "=", short and old names.
  r = parseOptions({"--port=COM3", "--folder=/other"}, std::nullopt, "/tmp/ports");
  ASSERT_TRUE(r.options) << r.error;
  EXPECT_EQ(r.options->port, "COM3");
  EXPECT_EQ(r.options->portDir, "/other");
  r = parseOptions({"-p", "COM4", "--port-dir", "/p"}, std::nullopt);
  ASSERT_TRUE(r.options) << r.error;
  EXPECT_EQ(r.options->port, "COM4");
  EXPECT_EQ(parseOptions({"--port=COM3", "--tty-audio=yes"}, std::nullopt, "/p").error, "--tty-audio takes no value");
  EXPECT_EQ(parseOptions({"--listen=x"}, std::nullopt).error, "--listen needs a port from 0 to 65535");
  EXPECT_EQ(parseOptions({"--listen"}, std::nullopt).error, "--listen needs a port from 0 to 65535");
  EXPECT_EQ(parseOptions({"--password=pw"}, std::nullopt).error.rfind("a password is never given", 0), 0u);
  // A serial device named as a port is the link in the port folder.
  r = parseOptions({"--tty-serial", "COM2", "--port-dir", "/x", "--listen", "0"}, std::nullopt, "/tmp/ports");
  ASSERT_TRUE(r.options) << r.error;
  EXPECT_EQ(r.options->serialDevice, "/x/COM2");
  // Registered, a number is called at the registrar.
  r = parseOptions({"--port", "COM1", "--register", "sip:lab@10.1.1.1:5080"}, "pw", "/p");
  ASSERT_TRUE(r.options) << r.error;
  EXPECT_EQ(r.options->dialHost, "10.1.1.1:5080");
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--port", "COM1"},  // no port folder
           {"--port", "COM17", "--port-dir", "/p"},
           {"--port", "COM1", "--port-dir", "/p", "--dial", "sip:a@b"},
           {"--port", "COM1", "--port-dir", "/p", "--tty-audio"},
           {"--tty-audio", "--listen", "0", "--input-file", "a", "--input-device", "b"},
           {"--listen", "0", "--input-file", "a"},  // tones options without --tty-audio
           {"--tty-audio", "--listen", "0", "--baud", "300"},
           {"--listen", "0", "--dial-host", "h"},
           {"--port", "COM1", "--port-dir", "/p", "--connect-text", "HELLO"},
       }) {
    EXPECT_FALSE(parseOptions(args, "pw").options) << testing::PrintToString(args);
  }
}

TEST(Options, ADialStringBecomesTheUriToCall) {
  EXPECT_EQ(dialTarget("T sip:far@127.0.0.1:5062", ""), "sip:far@127.0.0.1:5062");
  EXPECT_EQ(dialTarget(" SIP:far@h ", ""), "sip:far@h");
  EXPECT_EQ(dialTarget("far@h:5060", ""), "sip:far@h:5060");
  EXPECT_EQ(dialTarget("T 555-0142", "10.0.0.9"), "sip:5550142@10.0.0.9");
  EXPECT_EQ(dialTarget("P(555) 0142", "h:5070"), "sip:5550142@h:5070");
  // Nothing to call: no number, a number with nowhere to call it, or words.
  for (const char* bad : {"", "T ", "555", "@h", "far@", "CALL HOME"})
    EXPECT_EQ(dialTarget(bad, bad == std::string("555") ? "" : "h"), std::nullopt) << bad;
}

}  // namespace
}  // namespace rttmodem::console
