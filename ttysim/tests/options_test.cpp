// SPDX-License-Identifier: Apache-2.0
// The command line: defaults, every kind of value, and a clear message for each mistake.
#include "options.h"

#include <gtest/gtest.h>

namespace ttysim {
namespace {

ParseResult parse(std::vector<std::string> args, std::optional<std::string> env = std::string("/tmp/ports")) {
  return parseOptions(args, env);
}

TEST(Options, DefaultsAndValues) {
  auto r = parse({"--device", "NXi modem"});
  ASSERT_TRUE(r.options) << r.error;
  const Options& d = *r.options;
  EXPECT_EQ(d.session.device, Device::Nxi);
  EXPECT_EQ(d.port, "COM1");
  EXPECT_EQ(d.portDir, "/tmp/ports");
  EXPECT_DOUBLE_EQ(d.session.cps, 6);
  EXPECT_FALSE(d.session.cpsGiven);
  EXPECT_FALSE(d.timeout);

  r = parse({"-d",
             "im2400",
             "-p",
             "com12",
             "--port-dir=/x",
             "-s",
             "s.txt",
             "--side",
             "odd",
             "--cps",
             "7.5",
             "--line-end",
             "crlf",
             "--ring-after",
             "2",
             "--ring-on-signal",
             "--rings",
             "3",
             "--turbo",
             "off",
             "--connect-text",
             "CONNECT 300",
             "--errors",
             "drop=1%",
             "--errors-to-far",
             "shift=0.5",
             "--seed",
             "42",
             "--received",
             "r.txt",
             "--sent",
             "s2.txt",
             "--log",
             "l.txt",
             "--timeout",
             "90",
             "--calls",
             "3",
             "--call-gap",
             "0.5"});
  ASSERT_TRUE(r.options) << r.error;
  const Options& o = *r.options;
  EXPECT_EQ(o.session.device, Device::InteleModem2400);
  EXPECT_EQ(o.port, "COM12");
  EXPECT_EQ(o.portDir, "/x");
  EXPECT_EQ(o.scriptPath, "s.txt");
  EXPECT_EQ(o.session.side, Side::Odd);
  EXPECT_TRUE(o.session.cpsGiven);
  EXPECT_EQ(o.session.lineEnd, "\r\n");
  EXPECT_EQ(o.session.ringAfter, 2);
  EXPECT_TRUE(o.session.ringOnSignal);
  EXPECT_EQ(o.session.rings, 3);
  EXPECT_EQ(o.session.modem.turbo, TurboMode::Off);
  EXPECT_EQ(o.session.modem.plainConnect, "CONNECT 300");
  EXPECT_DOUBLE_EQ(o.session.toFar.shift, 0.5);  // the direction's own rates replace the common ones
  EXPECT_DOUBLE_EQ(o.session.toFar.drop, 0);
  EXPECT_DOUBLE_EQ(o.session.toProgram.drop, 0.01);
  EXPECT_EQ(o.session.seed, 42u);
  EXPECT_EQ(o.timeout, 90);
  EXPECT_EQ(o.session.calls, 3);
  EXPECT_DOUBLE_EQ(o.session.callGap, 0.5);
  EXPECT_TRUE(parse({"--device", "q90", "--help", "--bogus"}).options->help);
  EXPECT_TRUE(parse({"--version", "--bogus"}).options->version);
}

TEST(Options, MistakesAreNamed) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{}, "no device"},
      {{"--device", "nxi modem"}, "unknown device 'nxi modem'"},
      {{"--device"}, "--device needs a value"},
      {{"-d", "nxi", "--port", "COM17"}, "COM1 to COM16"},
      {{"-d", "nxi", "--port", "COM0"}, "COM1 to COM16"},
      {{"-d", "nxi", "--port", "LPT1"}, "COM1 to COM16"},
      {{"-d", "nxi", "--script", "s.txt"}, "--script needs --side"},
      {{"-d", "nxi", "--side", "odd"}, "--side needs --script"},
      {{"-d", "nxi", "-s", "s", "--side", "both"}, "odd or even"},
      {{"-d", "nxi", "--cps", "0"}, "--cps needs a pace"},
      {{"-d", "nxi", "--quiet", "-1"}, "--quiet needs a number of seconds"},
      {{"-d", "nxi", "--turbo", "yes"}, "auto, on or off"},
      {{"-d", "nxi", "--errors", "drop=2"}, "--errors: rate for drop"},
      {{"-d", "nxi", "--seed", "-3"}, "--seed needs a whole number"},
      {{"-d", "nxi", "--timeout", "0"}, "--timeout needs"},
      {{"-d", "nxi", "--frobnicate"}, "unknown option '--frobnicate'"},
      {{"-d", "nxi", "extra"}, "unexpected argument 'extra'"},
      {{"-d", "nxi", "--ring-on-signal=1"}, "takes no value"},
      {{"-d", "nxi", "--calls", "0"}, "--calls needs a whole number, 1 or more"},
  };
  for (const auto& c : cases) {
    auto r = parse(c.args);
    EXPECT_FALSE(r.options) << c.message;
    EXPECT_NE(r.error.find(c.message), std::string::npos) << r.error;
  }
  auto r = parse({"-d", "nxi"}, std::nullopt);
  EXPECT_NE(r.error.find("CORVALIS_PORT_DIR"), std::string::npos);
}

}  // namespace
}  // namespace ttysim

namespace ttysim {
namespace {

TEST(Options, AnAudioChannelReplacesTheErrorRates) {
  auto r = parse({"--device", "compact", "--channel", "audio,snr=10"});
  ASSERT_TRUE(r.options) << r.error;
  ASSERT_TRUE(r.options->session.audio);
  EXPECT_EQ(r.options->session.audio->snrDb, 10);
  EXPECT_FALSE(parse({"--device", "compact"}).options->session.audio);
  r = parse({"--device", "compact", "--channel", "audio", "--errors", "drop=1%"});
  EXPECT_FALSE(r.options);
  EXPECT_NE(r.error.find("--errors goes only with --channel text"), std::string::npos) << r.error;
  r = parse({"--device", "compact", "--channel", "radio"});
  EXPECT_FALSE(r.options);
  EXPECT_NE(r.error.find("--channel: unknown channel 'radio'"), std::string::npos) << r.error;
}

}  // namespace
}  // namespace ttysim
