// SPDX-License-Identifier: Apache-2.0
#include "options.h"

#include <cmath>
#include <map>
#include <set>

#include "command_line.h"
#include "pty_link.h"

namespace softtty {
namespace {

// The options given, by their long names, with their values.
struct Given {
  std::set<std::string> names;
  std::map<std::string, std::string> values;
  bool has(const std::string& name) const { return names.count(name) > 0; }
  const std::string& operator[](const std::string& name) { return values[name]; }
};

std::string walk(const std::vector<std::string>& args, Given& g) {
  kit::cli::OptionTable t;
  for (const char* flag :
       {"--encode", "--list-devices", "--quiet", "--help", "--no-unshift-on-space", "--version"}) {
    t.flag(flag, [&g](const std::string& name) {
      g.names.insert(name);
      return std::string();
    });
  }
  for (const char* option :
       {"--port", "--folder", "--input-device", "--output-device", "--input-file", "--output-file", "--log",
        "--output", "--decode", "--baud", "--stop-bits", "--rate", "--level", "--figures"}) {
    t.value(option, [&g](const std::string& name, const std::string& v) {
      g.names.insert(name);
      g.values[name] = v;
      return std::string();
    });
  }
  t.alias("-p", "--port").alias("-o", "--output").alias("-q", "--quiet").alias("-h", "--help");
  t.alias("--port-dir", "--folder");
  return t.parse(args);
}

std::string modeOf(const Given& g, Mode* mode) {
  const auto modes = g.names.count("--encode") + g.names.count("--decode") + g.names.count("--list-devices") +
                     g.names.count("--port");
  if (g.has("--encode")) *mode = Mode::Encode;
  if (g.has("--decode")) *mode = Mode::Decode;
  if (g.has("--list-devices")) *mode = Mode::ListDevices;
  if (modes == 0) return "nothing to do: give --port COMn, --encode, --decode FILE.wav or --list-devices";
  if (modes > 1) return "give only one of --port, --encode, --decode and --list-devices";
  return {};
}

// The tones: bit rate, stop bits, sample rate, level, figures and the shift after a space.
std::string signalOptions(Given& g, Tones& tones) {
  tones.unshiftOnSpace = !g.has("--no-unshift-on-space");
  auto number = [&](const std::string& name, double* out) {
    auto v = kit::cli::number(g[name]);
    if (v) *out = *v;
    return v ? std::string() : name + " needs a number, not '" + g[name] + "'";
  };
  double v = 0;
  std::string error;
  if (g.has("--baud") && (error = number("--baud", &v)).empty()) {
    if (std::fabs(v - 45.45) < 0.01 || std::fabs(v - 45.5) < 0.01) {
      tones.baud = 45.45;
    } else if (v == 50) {
      tones.baud = 50;
    } else {
      return "--baud needs 45.45 or 50, not '" + g["--baud"] + "'";
    }
  }
  if (error.empty() && g.has("--stop-bits") && (error = number("--stop-bits", &v)).empty()) {
    if (v != 1.5 && v != 2) return "--stop-bits needs 1.5 or 2, not '" + g["--stop-bits"] + "'";
    tones.stopBits = v;
  }
  if (error.empty() && g.has("--rate") && (error = number("--rate", &v)).empty()) {
    if (v < 8000 || v > 192000 || v != std::floor(v))
      return "--rate needs a whole number of hertz from 8000 to 192000, not '" + g["--rate"] + "'";
    tones.rate = static_cast<int>(v);
  }
  if (error.empty() && g.has("--level") && (error = number("--level", &v)).empty()) {
    if (v > 0 || v < -60) return "--level needs dB from -60 to 0, not '" + g["--level"] + "'";
    tones.amplitude = std::pow(10.0, v / 20);
  }
  if (error.empty() && g.has("--figures")) {
    auto f = tty::baudot::parseFigures(g["--figures"]);
    if (!f) return "--figures needs us or ita2, not '" + g["--figures"] + "'";
    tones.figures = *f;
  }
  return error;
}

// Options that go only with some modes, and pairs that exclude each other.
std::string checkCombinations(const Given& g, Mode mode) {
  const bool device = g.has("--port");
  auto only = [&](const std::string& name, bool allowed, const std::string& with) {
    return g.has(name) && !allowed ? name + " goes only with " + with : std::string();
  };
  std::string error;
  for (const char* n : {"--folder", "--input-file", "--output-file", "--log", "--input-device"}) {
    if (error.empty()) error = only(n, device, "--port");
  }
  if (error.empty()) error = only("--output-device", device || mode == Mode::Encode, "--port or --encode");
  if (error.empty()) error = only("--output", mode == Mode::Encode, "--encode");
  if (error.empty()) error = only("--quiet", mode == Mode::Decode, "--decode");
  if (error.empty())
    error = only("--no-unshift-on-space", device || mode == Mode::Decode, "--port or --decode");
  if (!error.empty()) return error;
  if (g.has("--input-file") && g.has("--input-device"))
    return "give --input-device or --input-file, not both";
  if (g.has("--output-file") && g.has("--output-device"))
    return "give --output-device or --output-file, not both";
  if (g.has("--output") && g.has("--output-device")) return "give --output or --output-device, not both";
  return {};
}

std::string portOptions(Given& g, Options& o, const std::optional<std::string>& portDirFromEnv) {
  auto name = tty::portLinkName(g["--port"]);
  if (!name) return "--port needs a port name COM1 to COM16, not '" + g["--port"] + "'";
  o.port = *name;
  if (g.has("--folder")) {
    o.portDir = g["--folder"];
  } else if (portDirFromEnv && !portDirFromEnv->empty()) {
    o.portDir = *portDirFromEnv;
  } else {
    return "no port folder: give --folder DIR or set CORVALIS_PORT_DIR";
  }
  return {};
}

}  // namespace

std::string usageText() {
  return "Usage: softtty --port COMn [options]      a TTY on a sound card, as a serial port\n"
         "       softtty --encode [--output FILE.wav] [options] < text\n"
         "       softtty --decode FILE.wav [options]\n"
         "       softtty --list-devices\n"
         "\n"
         "Sends and hears the Baudot tones of text telephones (mark 1400 Hz, space 1800 Hz).\n"
         "\n"
         "As a device:\n"
         "  -p, --port COMn          make a pseudo-terminal and link it as COMn (COM1 to COM16)\n"
         "      --folder DIR         the port folder (default: $CORVALIS_PORT_DIR); made when missing\n"
         "                           (--port-dir is the same)\n"
         "      --input-device NAME  where the tones are heard (default: the sound server's default)\n"
         "      --output-device NAME where the tones are played (default: the sound server's default)\n"
         "      --input-file PATH    hear raw audio (16-bit little-endian mono at --rate) from a file or\n"
         "                           named pipe instead of a sound card\n"
         "      --output-file PATH   play raw audio into a file or named pipe, in real time\n"
         "      --log FILE           every character sent and heard, with times and measurements\n"
         "\n"
         "Files:\n"
         "      --encode             turn standard input into tones, played or written with --output\n"
         "  -o, --output FILE.wav    the WAV file to write (\"-\": standard output)\n"
         "      --decode FILE.wav    print the text heard in a 16-bit PCM WAV file (\"-\": standard input);\n"
         "                           standard error gets each character's time, confidence, level,\n"
         "                           frequency error and SNR, and a summary\n"
         "  -q, --quiet              --decode: only the summary on standard error\n"
         "      --list-devices       list the sound server's inputs and outputs\n"
         "\n"
         "Signal:\n"
         "      --baud 45.45|50      bit rate (default 45.45)\n"
         "      --stop-bits 1.5|2    stop bits sent (default 1.5; 1 to 2 are heard either way)\n"
         "      --rate HZ            sample rate of the audio made (default 8000; at least 8000)\n"
         "      --level DB           level of the tones sent, dB below full scale (default -6)\n"
         "      --figures us|ita2    the figures of the character table: us (the default, US TTYs:\n"
         "                           $ on D, # on H, bell on S) or ita2 (ITA2: bell on J, ' on S,\n"
         "                           = on V, + on Z)\n"
         "      --no-unshift-on-space  hearing: a space keeps the figures shift (by default a space\n"
         "                           returns to letters, as on US TTYs)\n"
         "  -h, --help               show this help\n"
         "      --version            show the version\n"
         "\n"
         "Exit status: 0 done; 1 bad options, bad input or no sound device; 128+N ended by signal N.\n";
}

ParseResult parseOptions(const std::vector<std::string>& args,
                         const std::optional<std::string>& portDirFromEnv) {
  Options o;
  ParseResult result;
  Given g;
  result.error = walk(args, g);
  if (!result.error.empty()) return result;
  if (g.has("--help") || g.has("--version")) {
    o.mode = g.has("--help") ? Mode::Help : Mode::Version;
    result.options = o;
    return result;
  }
  std::string error = modeOf(g, &o.mode);
  if (error.empty()) error = signalOptions(g, o.tones);
  if (error.empty()) error = checkCombinations(g, o.mode);
  if (error.empty() && g.has("--port")) error = portOptions(g, o, portDirFromEnv);
  if (!error.empty()) {
    result.error = error;
    return result;
  }
  o.inputDevice = g["--input-device"];
  o.outputDevice = g["--output-device"];
  o.inputFile = g["--input-file"];
  o.outputFile = g["--output-file"];
  o.logPath = g["--log"];
  o.wavOut = g["--output"];
  o.wavIn = g["--decode"];
  o.quiet = g.has("--quiet");
  result.options = o;
  return result;
}

}  // namespace softtty
