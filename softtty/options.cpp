#include "options.h"

#include <charconv>
#include <cmath>
#include <map>
#include <set>

#include "pty_link.h"

namespace softtty {
namespace {

bool parseNumber(const std::string& s, double* out) {
  double v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return false;
  *out = v;
  return true;
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
  std::string error;
  std::set<std::string> given;
  const std::map<std::string, std::string> shortNames = {
      {"-p", "--port"}, {"-o", "--output"}, {"-q", "--quiet"}, {"-h", "--help"}};
  const std::set<std::string> flags = {"--encode", "--list-devices",        "--quiet",
                                       "--help",   "--no-unshift-on-space", "--version"};
  const std::set<std::string> withValue = {
      "--port",       "--folder",      "--port-dir", "--input-device", "--output-device",
      "--input-file", "--output-file", "--log",      "--output",       "--decode",
      "--baud",       "--stop-bits",   "--rate",     "--level",        "--figures"};
  std::map<std::string, std::string> values;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (auto it = shortNames.find(name); it != shortNames.end()) name = it->second;
    if (name.starts_with("--")) {
      if (auto eq = name.find('='); eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
      }
    }
    if (name == "--port-dir") name = "--folder";
    if (flags.count(name)) {
      if (value) {
        result.error = name + " takes no value";
        return result;
      }
      given.insert(name);
      continue;
    }
    if (!withValue.count(name)) {
      result.error =
          name.starts_with("-") ? "unknown option '" + name + "'" : "unexpected argument '" + name + "'";
      return result;
    }
    if (!value) {
      if (i + 1 >= args.size()) {
        result.error = name + " needs a value";
        return result;
      }
      value = args[++i];
    }
    given.insert(name);
    values[name] = *value;
  }
  if (given.count("--help") || given.count("--version")) {
    o.mode = given.count("--help") ? Mode::Help : Mode::Version;
    result.options = o;
    return result;
  }

  int modes = static_cast<int>(given.count("--encode") + given.count("--decode") +
                               given.count("--list-devices") + given.count("--port"));
  if (modes == 0) {
    error = "nothing to do: give --port COMn, --encode, --decode FILE.wav or --list-devices";
  } else if (modes > 1) {
    error = "give only one of --port, --encode, --decode and --list-devices";
  }
  if (given.count("--encode")) o.mode = Mode::Encode;
  if (given.count("--decode")) o.mode = Mode::Decode;
  if (given.count("--list-devices")) o.mode = Mode::ListDevices;

  auto number = [&](const std::string& name, double* out) {
    auto it = values.find(name);
    if (it == values.end() || !error.empty()) return false;
    if (!parseNumber(it->second, out)) {
      error = name + " needs a number, not '" + it->second + "'";
      return false;
    }
    return true;
  };
  double v = 0;
  if (number("--baud", &v)) {
    if (std::fabs(v - 45.45) < 0.01 || std::fabs(v - 45.5) < 0.01) {
      o.tones.baud = 45.45;
    } else if (v == 50) {
      o.tones.baud = 50;
    } else {
      error = "--baud needs 45.45 or 50, not '" + values["--baud"] + "'";
    }
  }
  if (number("--stop-bits", &v)) {
    if (v == 1.5 || v == 2) {
      o.tones.stopBits = v;
    } else {
      error = "--stop-bits needs 1.5 or 2, not '" + values["--stop-bits"] + "'";
    }
  }
  if (number("--rate", &v)) {
    if (v >= 8000 && v <= 192000 && v == std::floor(v)) {
      o.tones.rate = static_cast<int>(v);
    } else {
      error = "--rate needs a whole number of hertz from 8000 to 192000, not '" + values["--rate"] + "'";
    }
  }
  if (number("--level", &v)) {
    if (v <= 0 && v >= -60) {
      o.tones.amplitude = std::pow(10.0, v / 20);
    } else {
      error = "--level needs dB from -60 to 0, not '" + values["--level"] + "'";
    }
  }

  if (error.empty() && values.count("--figures")) {
    if (auto f = tty::baudot::parseFigures(values["--figures"])) {
      o.tones.figures = *f;
    } else {
      error = "--figures needs us or ita2, not '" + values["--figures"] + "'";
    }
  }
  o.tones.unshiftOnSpace = given.count("--no-unshift-on-space") == 0;

  auto only = [&](const std::string& name, bool allowed, const std::string& with) {
    if (error.empty() && given.count(name) && !allowed) error = name + " goes only with " + with;
  };
  const bool device = given.count("--port") > 0;
  for (const char* n : {"--folder", "--input-file", "--output-file", "--log", "--input-device"})
    only(n, device, "--port");
  only("--output-device", device || o.mode == Mode::Encode, "--port or --encode");
  only("--output", o.mode == Mode::Encode, "--encode");
  only("--quiet", o.mode == Mode::Decode, "--decode");
  only("--no-unshift-on-space", device || o.mode == Mode::Decode, "--port or --decode");
  if (error.empty() && given.count("--input-file") && given.count("--input-device"))
    error = "give --input-device or --input-file, not both";
  if (error.empty() && given.count("--output-file") && given.count("--output-device"))
    error = "give --output-device or --output-file, not both";
  if (error.empty() && given.count("--output") && given.count("--output-device"))
    error = "give --output or --output-device, not both";

  if (error.empty() && device) {
    const std::string& p = values["--port"];
    if (auto name = tty::portLinkName(p)) {
      o.port = *name;
    } else {
      error = "--port needs a port name COM1 to COM16, not '" + p + "'";
    }
    if (error.empty()) {
      if (values.count("--folder")) {
        o.portDir = values["--folder"];
      } else if (portDirFromEnv && !portDirFromEnv->empty()) {
        o.portDir = *portDirFromEnv;
      } else {
        error = "no port folder: give --folder DIR or set CORVALIS_PORT_DIR";
      }
    }
  }
  if (!error.empty()) {
    result.error = error;
    return result;
  }
  o.inputDevice = values["--input-device"];
  o.outputDevice = values["--output-device"];
  o.inputFile = values["--input-file"];
  o.outputFile = values["--output-file"];
  o.logPath = values["--log"];
  o.wavOut = values["--output"];
  o.wavIn = values["--decode"];
  o.quiet = given.count("--quiet") > 0;
  result.options = o;
  return result;
}

}  // namespace softtty
