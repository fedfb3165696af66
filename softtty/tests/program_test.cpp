// SPDX-License-Identifier: Apache-2.0
// softtty as a user runs it: files in and out, the device on a port joined to another through
// named pipes, and a one-line message with status 1 for every kind of bad input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "child_process.h"
#include "run_program.h"
#include "temp_dir.h"
#include "tones.h"
#include "wav.h"

namespace softtty {
namespace {

namespace fs = std::filesystem;
using kit::testing::ChildProcess;
using kit::testing::runProgram;
using kit::testing::TempDir;
using namespace tty;

TEST(Program, EncodesAndDecodesFilesWithAReportPerCharacterAndASummary) {
  TempDir dir;
  const std::string wav = dir.file("call.wav");
  kit::testing::RunOptions text;
  text.stdinData = "Call 911, GA\n";
  auto enc = runProgram({SOFTTTY_BIN, "--encode", "--stop-bits", "2", "--output", wav}, text);
  ASSERT_EQ(enc.exitCode, 0) << enc.err;
  auto dec = runProgram({SOFTTTY_BIN, "--decode", wav});
  ASSERT_EQ(dec.exitCode, 0) << dec.err;
  EXPECT_EQ(dec.out, "CALL 911, GA\n");
  EXPECT_NE(dec.err.find("carrier on"), std::string::npos) << dec.err;
  EXPECT_NE(dec.err.find("FIGS    27"), std::string::npos) << dec.err;
  EXPECT_NE(dec.err.find("softtty: 13 characters and 3 shift codes"), std::string::npos) << dec.err;
  auto quiet = runProgram({SOFTTTY_BIN, "--decode", wav, "--quiet"});
  EXPECT_EQ(std::count(quiet.err.begin(), quiet.err.end(), '\n'), 1) << quiet.err;
}

TEST(Program, DecodesWhatADamagedStreamedOrTelephoneRecordingHolds) {
  TempDir dir;
  const std::string wav = dir.file("call.wav");
  kit::testing::RunOptions text;
  text.stdinData = "ROOM 12 ON FLOOR 3, $5 #6 GA\n";
  ASSERT_EQ(runProgram({SOFTTTY_BIN, "--encode", "--output", wav}, text).exitCode, 0);
  std::string error;
  auto audio = readWav(wav, &error);
  ASSERT_TRUE(audio) << error;
  const std::string whole = wavBytes(*audio);
  // The recording stopped part of the way through "FLOOR": what came before it is all there.
  const std::string cut =
      dir.write("cut.wav", whole.substr(0, 44 + 2 * static_cast<std::size_t>(3.0 * 8000)));
  auto r = runProgram({SOFTTTY_BIN, "--decode", cut, "--quiet"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.rfind("ROOM 12 ON ", 0), 0u) << r.out;
  EXPECT_LT(r.out.size(), 20u) << r.out;
  EXPECT_NE(r.err.find("is truncated: 48000 of "), std::string::npos) << r.err;
  // Streamed through a pipe with no length in the header.
  std::string streamed = whole;
  for (std::size_t at : {4, 40}) streamed.replace(at, 4, "\xff\xff\xff\xff");
  kit::testing::RunOptions in;
  in.stdinData = streamed;
  r = runProgram({SOFTTTY_BIN, "--decode", "-", "--quiet"}, in);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "ROOM 12 ON FLOOR 3, $5 #6 GA\n");
  EXPECT_NE(r.err.find("written as a stream"), std::string::npos) << r.err;
  // G.711 mu-law, as telephone recordings come.
  std::string mu = whole.substr(0, 44);
  mu[20] = 7;  // format: mu-law
  mu[34] = 8;  // bits per sample
  mu[32] = 1;  // block align
  for (std::size_t i = 44; i + 1 < whole.size(); i += 2)
    mu += static_cast<char>(
        pcmToMuLaw(static_cast<short>(static_cast<unsigned char>(whole[i]) | whole[i + 1] << 8)));
  const std::uint32_t n = static_cast<std::uint32_t>(mu.size() - 44);
  for (int b = 0; b < 4; ++b) mu[40 + b] = static_cast<char>((n >> (8 * b)) & 0xff);
  r = runProgram({SOFTTTY_BIN, "--decode", dir.write("mu.wav", mu), "--quiet"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "ROOM 12 ON FLOOR 3, $5 #6 GA\n");
}

// Ten minutes of loud white noise (-6 dBFS) and then a quiet text (-50 dBFS), streamed through
// standard input: the text is read whole, and nothing from the noise is printed before it.
// (softtty_bench --day 24 runs a day of it.)
TEST(Program, ReadsAQuietTextAfterMinutesOfLoudNoiseAndPrintsNothingFromTheNoise) {
  const std::string sent = "ROOM 12 ON FLOOR 3, $5 #6 GA";
  Audio audio{8000, {}};
  std::mt19937_64 random(5);
  std::normal_distribution<float> gauss(0, 0.5f / std::sqrt(2.0f));
  audio.samples.resize(10 * 60 * 8000);
  for (float& x : audio.samples) x = std::clamp(gauss(random), -1.0f, 1.0f);
  audio.samples.resize(audio.samples.size() + 8000, 0.0f);
  const auto tx = Encoder::transmission(sent, Tones{.amplitude = std::pow(10, -50.0 / 20)}, {}, 0.3);
  audio.samples.insert(audio.samples.end(), tx.begin(), tx.end());
  audio.samples.resize(audio.samples.size() + 8000, 0.0f);
  kit::testing::RunOptions in;
  in.stdinData = wavBytes(audio);
  for (std::size_t at : {4, 40}) in.stdinData.replace(at, 4, "\xff\xff\xff\xff");
  auto r = runProgram({SOFTTTY_BIN, "--decode", "-", "--quiet"}, in);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, sent);
  EXPECT_NE(r.err.find("28 characters"), std::string::npos) << r.err;
}

// A float recording with a damaged stretch: the absurd samples are clipped and said once, and the
// text after them is read.
TEST(Program, DecodesPastAbsurdFloatSamplesAndSaysSoOnce) {
  TempDir dir;
  Tones t;
  std::vector<float> audio(4000, 0.0f);
  for (const char* text : {"FIRST PART GA ", "SECOND PART GA "}) {
    auto tx = Encoder::transmission(text, t);
    audio.insert(audio.end(), tx.begin(), tx.end());
    audio.insert(audio.end(), {1e6f, -1e6f, 1e30f});
    audio.resize(audio.size() + 4000, 0.0f);
  }
  std::string bytes = wavBytes(Audio{8000, std::vector<float>(audio.size(), 0.0f)});
  bytes[20] = 3;   // format: float
  bytes[34] = 32;  // bits per sample
  bytes[32] = 4;   // block align
  bytes.resize(44);
  const auto n = static_cast<std::uint32_t>(4 * audio.size());
  for (int b = 0; b < 4; ++b) bytes[40 + b] = static_cast<char>((n >> (8 * b)) & 0xff);
  bytes.append(reinterpret_cast<const char*>(audio.data()), n);
  auto r = runProgram({SOFTTTY_BIN, "--decode", dir.write("damaged.wav", bytes), "--quiet"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "FIRST PART GA SECOND PART GA ");
  const std::string says = "far beyond full scale";
  const auto first = r.err.find(says);
  EXPECT_NE(first, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(says, first + 1), std::string::npos) << r.err;
}

// minimodem (Debian's, installed by scripts/install-deps) as a TTY of another make: its
// transmitter relies on unshift-on-space and uses the US figures.
TEST(Program, DecodesMinimodemsTtyTonesWithUsFiguresAndUnshiftOnSpace) {
  const char* candidates[] = {"/usr/bin/minimodem", "/usr/local/bin/minimodem"};
  std::string minimodem;
  for (const char* c : candidates) {
    if (access(c, X_OK) == 0) minimodem = c;
  }
  ASSERT_FALSE(minimodem.empty()) << "minimodem is missing: run scripts/install-deps";
  TempDir dir;
  const std::string wav = dir.file("mm.wav");
  kit::testing::RunOptions text;
  text.stdinData = "ROOM 12 ON FLOOR 3, PAY $5 AT GATE #6 CALL 911 NOW GA\n";
  auto tx = runProgram({minimodem, "--tx", "tdd", "-f", wav}, text);
  ASSERT_EQ(tx.exitCode, 0) << tx.err;
  auto r = runProgram({SOFTTTY_BIN, "--decode", wav, "--quiet"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "ROOM 12 ON FLOOR 3, PAY $5 AT GATE #6 CALL 911 NOW GA\n");
  r = runProgram({SOFTTTY_BIN, "--decode", wav, "--quiet", "--no-unshift-on-space"});
  EXPECT_NE(r.out.find("ROOM 12 9, !)994 3"), std::string::npos) << r.out;
}

TEST(Program, BadInputGetsOneLineAndStatusOne) {
  TempDir dir;
  const std::string ports = dir.file("ports");
  Audio low{4000, std::vector<float>(100, 0.0f)};
  const std::string slow = dir.write("slow.wav", wavBytes(low));
  const std::string text = dir.write("text.wav", "this is not audio");
  // Headers that claim far more than the 58 KB file holds: a format chunk of 0xFFFFFFFE bytes, and
  // 65535 channels of float at 768 kHz streamed.
  std::string claims = wavBytes(Audio{8000, std::vector<float>(29000, 0.1f)});
  claims.replace(16, 4, "\xfe\xff\xff\xff");
  const std::string bigFormat = dir.write("format.wav", claims);
  claims.replace(16, 4, std::string("\x10\0\0\0", 4));
  claims.replace(20, 4, std::string("\x03\0\xff\xff", 4));  // float, 65535 channels
  claims.replace(24, 4, std::string("\0\xb8\x0b\0", 4));    // 768000 Hz
  claims.replace(34, 2, std::string("\x20\0", 2));          // 32 bits
  claims.replace(40, 4, "\xff\xff\xff\xff");
  const std::string manyChannels = dir.write("channels.wav", claims);
  struct Case {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{}, "nothing to do"},
      {{"--decode", slow}, "sample rate of 4000 Hz"},
      {{"--decode", text}, "is not a WAV file"},
      {{"--decode", bigFormat}, "is truncated (in its format chunk)"},
      {{"--decode", manyChannels}, "has 65535 channels"},
      {{"--decode", dir.file("missing.wav")}, "cannot read"},
      {{"--encode", "--rate", "6000"}, "--rate needs"},
      {{"--encode", "--figures", "uk"}, "--figures needs us or ita2"},
      {{"--encode", "--no-unshift-on-space"}, "--no-unshift-on-space goes only with --port or --decode"},
      {{"--port", "COM99", "--folder", ports}, "COM1 to COM16"},
      {{"--port", "COM3", "--folder", ports, "--input-file", dir.file("nowhere/in.raw"), "--output-file",
        dir.file("out.raw")},
       "cannot open"},
      // No sound server here: the message says so, and no port is left behind.
      {{"--port", "COM4", "--folder", ports}, "sound"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {SOFTTTY_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    kit::testing::RunOptions noServer;
    noServer.env = {"PULSE_SERVER=unix:" + dir.file("no-server")};
    auto r = runProgram(argv, noServer);
    EXPECT_EQ(r.exitCode, 1) << c.args[0];
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("softtty: ", 0), 0u) << r.err;
    EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;  // the message, and a hint
  }
  EXPECT_FALSE(fs::exists(fs::path(ports) / "COM3"));
  EXPECT_FALSE(fs::exists(fs::path(ports) / "COM4"));
  // None of them took more memory than a program that reads a second of audio at a time needs.
  rusage used{};
  getrusage(RUSAGE_CHILDREN, &used);
  EXPECT_LT(used.ru_maxrss, 256 * 1024) << "kB";
}

// How long softtty, run as a child with its console read as it comes, has to say what a test waits for.
constexpr std::chrono::seconds kWait{60};

// Stops softtty as a user would, with SIGTERM; its exit status.
int stop(ChildProcess& child) {
  kill(child.pid(), SIGTERM);
  int status = child.wait();
  child.readUntil("exit", std::chrono::seconds(5));
  return status;
}

int openPort(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

// Reads from the port until `want` bytes came or `seconds` passed.
std::string readPort(int fd, std::size_t want, int seconds) {
  std::string got;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (got.size() < want && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buf[256];
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
  }
  return got;
}

TEST(Program, TwoDevicesJoinedByPipesTalkBothWaysAndNeitherHearsItself) {
  TempDir dir;
  const std::string ports = dir.file("ports");
  const std::string ab = dir.file("a-to-b"), ba = dir.file("b-to-a");
  ASSERT_EQ(mkfifo(ab.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(ba.c_str(), 0600), 0);
  ChildProcess a(SOFTTTY_BIN, {"--port", "COM1", "--folder", ports, "--input-file", ba, "--output-file", ab},
                 SIGKILL);
  ChildProcess b(SOFTTTY_BIN, {"--port", "COM2", "--folder", ports, "--input-file", ab, "--output-file", ba},
                 SIGKILL);
  ASSERT_TRUE(a.readUntil("ready port=COM1", kWait)) << a.output();
  ASSERT_TRUE(b.readUntil("ready port=COM2", kWait)) << b.output();
  int pa = openPort(ports + "/COM1"), pb = openPort(ports + "/COM2");
  const std::string hello = "HELLO 911 GA ";
  ASSERT_EQ(write(pa, hello.data(), hello.size()), static_cast<ssize_t>(hello.size()));
  EXPECT_EQ(readPort(pb, hello.size(), 30), hello);
  ASSERT_TRUE(a.readUntil(" sent\n", kWait)) << a.output();
  const std::string reply = "Hi 555-0142 SK";
  ASSERT_EQ(write(pb, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
  EXPECT_EQ(readPort(pa, reply.size(), 30), "HI 555-0142 SK");
  ASSERT_TRUE(b.readUntil(" sent\n", kWait)) << b.output();
  // Neither heard its own tones: nothing more arrived.
  EXPECT_EQ(readPort(pa, 1, 1) + readPort(pb, 1, 1), "");
  close(pa);
  close(pb);
  EXPECT_EQ(stop(a), 128 + SIGTERM);
  EXPECT_EQ(stop(b), 128 + SIGTERM);
  EXPECT_FALSE(fs::exists(fs::symlink_status(ports + "/COM1")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(ports + "/COM2")));
}

TEST(Program, ADeviceHearingItsOwnTonesWritesNothingBack) {
  TempDir dir;
  const std::string ports = dir.file("ports"), loop = dir.file("loop");
  ASSERT_EQ(mkfifo(loop.c_str(), 0600), 0);
  ChildProcess a(SOFTTTY_BIN,
                 {"--port", "COM1", "--folder", ports, "--input-file", loop, "--output-file", loop}, SIGKILL);
  ASSERT_TRUE(a.readUntil("ready", kWait)) << a.output();
  int p = openPort(ports + "/COM1");
  const std::string text = "ECHO ECHO 123 GA ";
  ASSERT_EQ(write(p, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ASSERT_TRUE(a.readUntil(" sent\n", kWait)) << a.output();
  EXPECT_EQ(readPort(p, 1, 1), "");
  EXPECT_EQ(a.output().find("carrier on"), std::string::npos) << a.output();
  close(p);
  stop(a);
}

TEST(Program, EveryTerminatingSignalRemovesThePortLink) {
  TempDir dir;
  const std::string ports = dir.file("ports");
  const std::string in = dir.write("silence.raw", "");
  // Ended in order (exit status 128+N, "stopped by" said), or as by a crash (the signal kills it,
  // but the link goes first).
  const std::vector<int> orderly = {SIGHUP,  SIGINT,    SIGQUIT,  SIGTERM,      SIGUSR1, SIGUSR2,
                                    SIGALRM, SIGVTALRM, SIGPROF,  SIGIO,        SIGXCPU, SIGXFSZ,
                                    SIGPWR,  SIGSTKFLT, SIGRTMIN, SIGRTMIN + 3, SIGRTMAX};
  const std::vector<int> crashes = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGSYS, SIGTRAP};
  for (const auto* list : {&orderly, &crashes}) {
    for (int sig : *list) {
      ChildProcess p(
          SOFTTTY_BIN,
          {"--port", "COM7", "--folder", ports, "--input-file", in, "--output-file", dir.file("out.raw")},
          SIGKILL);
      ASSERT_TRUE(p.readUntil("ready port=COM7", kWait)) << p.output();
      ASSERT_TRUE(fs::exists(fs::symlink_status(ports + "/COM7")));
      kill(p.pid(), sig);
      const int status = p.wait();
      EXPECT_FALSE(fs::exists(fs::symlink_status(ports + "/COM7"))) << "signal " << sig;
      EXPECT_EQ(status, 128 + sig) << "signal " << sig << ": " << p.output();
      if (list == &orderly) {
        p.readToEnd(std::chrono::seconds(5));
        EXPECT_NE(p.output().find("stopped by SIG"), std::string::npos) << p.output();
      }
    }
  }
}

}  // namespace
}  // namespace softtty
