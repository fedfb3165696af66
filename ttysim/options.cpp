#include "options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>

#include "pty_link.h"

namespace ttysim {
namespace {

bool parseSeconds(const std::string& s, double* out) {
  double v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v) || v < 0)
    return false;
  *out = v;
  return true;
}

template <typename T>
bool parseInteger(const std::string& s, T* out) {
  T v{};
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return false;
  *out = v;
  return true;
}

}  // namespace

std::string usageText() {
  return "Usage: ttysim --device TYPE [options]\n"
         "\n"
         "Plays a TTY or TTY modem on a pseudo-terminal linked as COMn in the port folder, with the\n"
         "far-end person of a test call behind it.\n"
         "\n"
         "Device and port:\n"
         "  -d, --device TYPE        the device to play (required), one of\n" +
         deviceNamesHelp("                             ") +
         "  -p, --port COMn          name of the link in the port folder (default COM1; COM1 to COM16)\n"
         "      --port-dir DIR       the port folder (default: $CORVALIS_PORT_DIR); made when missing\n"
         "\n"
         "Far end:\n"
         "  -s, --script FILE        the conversation script; without one the far end only listens\n"
         "      --side odd|even      the turns the far end types (needed with --script)\n"
         "      --cps N              typing pace, characters per second (default 6, doubled on a turbo\n"
         "                           connection unless given)\n"
         "      --line-end WHAT      typed after each script line: space (default), cr, crlf or none\n"
         "      --start-delay S      from the call coming up to the first turn, when it is ours (default 3)\n"
         "      --quiet S            silence after the other side's GA or SK before we reply (default 1.5)\n"
         "      --give-up S          silence after other text before we reply anyway (default 6)\n"
         "\n"
         "Ringing:\n"
         "      --ring-after S       ring S seconds after the program first opens the port\n"
         "      --ring-on-signal     ring when sent SIGUSR1\n"
         "      --rings N            stop after N unanswered RING lines (default 0: until answered)\n"
         "      --ring-interval S    seconds between RING lines (default 6)\n"
         "\n"
         "Modems:\n"
         "      --turbo MODE         turbo code connections: auto (as the program asks, default), on, off\n"
         "      --connect-delay S    from ATA or ATD to the CONNECT line (default 1)\n"
         "      --connect-text TEXT  the CONNECT line without turbo (default \"CONNECT TTY\")\n"
         "      --guard S            silence needed around the \"+++\" escape (default 1)\n"
         "\n"
         "Channel errors (a rate is a fraction from 0 to 1, or a percentage such as 2%):\n"
         "      --errors RATES        both directions, e.g. shift=0.02,drop=0.01,insert=0.005,subst=1%\n"
         "      --errors-to-far RATES       only from the program to the far end\n"
         "      --errors-to-program RATES   only from the far end to the program\n"
         "      --channel text|audio[,snr=DB,offset=HZ,timing=PCT,dropouts=RATE]\n"
         "                [,codec=amr-nb:MODE,fer=RATE,burst=FRAMES]\n"
         "                           text (default): the rates above; audio: each character is sent as\n"
         "                           Baudot tones through noise, frequency and timing errors and lost\n"
         "                           20 ms audio frames, and decoded, both ways; codec: through a mobile\n"
         "                           network's AMR-NB speech codec (MODE 4.75 to 12.2 kbit/s) with\n"
         "                           frame erasures at fer, in runs of burst frames on average\n"
         "                [,delay=MS,jitter=MS]  either channel: each character arrives MS ms after\n"
         "                           it was sent, give or take the jitter (drawn from the seed), and\n"
         "                           never before the one sent before it\n"
         "      --seed N             seed of the errors (default 1); the same seed gives the same errors\n"
         "\n"
         "Files and the end of a run:\n"
         "      --received FILE      what arrived at the far end\n"
         "      --sent FILE          what the far end typed\n"
         "      --log FILE           every byte on the port and every event, with times\n"
         "      --record DIR         save the far end's record of each call as the program would, in\n"
         "                           DIR/MMDD-HHMM-ID.TXT, with its times in MMDD-HHMM-ID.timing.csv\n"
         "      --computer-id ID     the far end's COMPUTERID and the end of its files' names (default\n"
         "                           FAREND)\n"
         "      --record-value KEY=VALUE\n"
         "                           a value line of the far end's record: TYPE, SIGNAL, CABLEID,\n"
         "                           PHONEMODEL, PHONETECH, USERNAME, LOCATION, NETWORKINFO, DEVICE, PORT,\n"
         "                           DIAL#, SCRIPTUSED; repeat for several\n"
         "      --clock-shift S      the far end's clock reads S seconds ahead (negative: behind) in its\n"
         "                           record and timing file: a test and demo aid for clocks that differ\n"
         "      --calls N            take N calls in a row: after a call has been hung up, the next\n"
         "                           one rings (default 1); {call} in the far end's turns is typed\n"
         "                           as the number of the call\n"
         "      --call-gap S         from a hang-up to the next call (default 2)\n"
         "      --drop-after S       a modem loses the carrier S seconds into the first call (NO CARRIER)\n"
         "      --pull-after S       the device is pulled out S seconds into the first call: the terminal\n"
         "                           closes and its link goes, until it is back after --pull-for\n"
         "      --pull-for S         how long the pulled device stays away (default 4)\n"
         "      --linger S           after the call, exit once the line is quiet this long (default 8)\n"
         "      --timeout S          give up after S seconds (exit status 3)\n"
         "  -h, --help               show this help\n"
         "      --version            show the version\n"
         "\n"
         "Exit status: 0 the call ended (hung up, or the script ended); 1 bad options or a system\n"
         "error; 3 the timeout passed; 128+N ended by signal N (SIGINT, SIGTERM, SIGHUP).\n";
}

ParseResult parseOptions(const std::vector<std::string>& args,
                         const std::optional<std::string>& portDirFromEnv) {
  Options o;
  ParseResult result;
  bool sideGiven = false;
  std::optional<ErrorRates> both, toFar, toProgram;
  std::string error;
  std::optional<std::string> recordFolder, computerId;
  std::vector<std::pair<std::string, std::string>> recordValues;

  auto seconds = [&](double* field) {
    return [&error, field](const std::string& name, const std::string& v) {
      if (!parseSeconds(v, field)) error = name + " needs a number of seconds, 0 or more, not '" + v + "'";
    };
  };
  auto rates = [&](std::optional<ErrorRates>* field) {
    return [&error, field](const std::string& name, const std::string& v) {
      std::string why;
      *field = parseErrorRates(v, &why);
      if (!*field) error = name + ": " + why;
    };
  };
  SessionConfig& s = o.session;
  using Handler = std::function<void(const std::string&, const std::string&)>;
  const std::map<std::string, Handler> withValue = {
      {"--device",
       [&](const std::string& name, const std::string& v) {
         auto d = parseDevice(v);
         if (!d) {
           error = "unknown device '" + v + "' for " + name + "; use one of\n" + deviceNamesHelp();
         } else {
           s.device = *d;
         }
       }},
      {"--port",
       [&](const std::string& name, const std::string& v) {
         if (auto port = tty::portLinkName(v)) {
           o.port = *port;
         } else {
           error = name + " needs a port name COM1 to COM16, not '" + v + "'";
         }
       }},
      {"--port-dir", [&](const std::string&, const std::string& v) { o.portDir = v; }},
      {"--script", [&](const std::string&, const std::string& v) { o.scriptPath = v; }},
      {"--side",
       [&](const std::string& name, const std::string& v) {
         sideGiven = true;
         if (v == "odd") {
           s.side = Side::Odd;
         } else if (v == "even") {
           s.side = Side::Even;
         } else {
           error = name + " needs odd or even, not '" + v + "'";
         }
       }},
      {"--cps",
       [&](const std::string& name, const std::string& v) {
         s.cpsGiven = true;
         if (!parseSeconds(v, &s.cps) || s.cps <= 0 || s.cps > 1000) {
           error = name + " needs a pace above 0 and at most 1000 characters per second, not '" + v + "'";
         }
       }},
      {"--line-end",
       [&](const std::string& name, const std::string& v) {
         static const std::map<std::string, std::string> ends = {
             {"space", " "}, {"cr", "\r"}, {"crlf", "\r\n"}, {"none", ""}};
         auto it = ends.find(v);
         if (it == ends.end()) {
           error = name + " needs space, cr, crlf or none, not '" + v + "'";
         } else {
           s.lineEnd = it->second;
         }
       }},
      {"--start-delay", seconds(&s.startDelay)},
      {"--quiet", seconds(&s.quiet)},
      {"--give-up", seconds(&s.giveUp)},
      {"--ring-after",
       [&](const std::string& name, const std::string& v) {
         double t = 0;
         if (!parseSeconds(v, &t)) {
           error = name + " needs a number of seconds, 0 or more, not '" + v + "'";
         } else {
           s.ringAfter = t;
         }
       }},
      {"--rings",
       [&](const std::string& name, const std::string& v) {
         if (!parseInteger(v, &s.rings) || s.rings < 0)
           error = name + " needs a whole number, 0 or more, not '" + v + "'";
       }},
      {"--ring-interval", seconds(&s.ringInterval)},
      {"--turbo",
       [&](const std::string& name, const std::string& v) {
         if (v == "auto") {
           s.modem.turbo = TurboMode::Auto;
         } else if (v == "on") {
           s.modem.turbo = TurboMode::On;
         } else if (v == "off") {
           s.modem.turbo = TurboMode::Off;
         } else {
           error = name + " needs auto, on or off, not '" + v + "'";
         }
       }},
      {"--connect-delay", seconds(&s.modem.connectDelay)},
      {"--connect-text",
       [&](const std::string& name, const std::string& v) {
         if (v.empty() || v.find_first_of("\r\n") != std::string::npos) {
           error = name + " needs a one-line text";
         } else {
           s.modem.plainConnect = v;
         }
       }},
      {"--guard", seconds(&s.modem.guard)},
      {"--errors", rates(&both)},
      {"--channel",
       [&](const std::string& name, const std::string& v) {
         std::string why;
         if (!parseChannel(v, &s.audio, &why, &s.delay)) error = name + ": " + why;
       }},
      {"--errors-to-far", rates(&toFar)},
      {"--errors-to-program", rates(&toProgram)},
      {"--seed",
       [&](const std::string& name, const std::string& v) {
         if (!parseInteger(v, &s.seed)) error = name + " needs a whole number, 0 or more, not '" + v + "'";
       }},
      {"--received", [&](const std::string&, const std::string& v) { o.receivedPath = v; }},
      {"--sent", [&](const std::string&, const std::string& v) { o.sentPath = v; }},
      {"--log", [&](const std::string&, const std::string& v) { o.logPath = v; }},
      {"--record",
       [&](const std::string& name, const std::string& v) {
         if (v.empty()) error = name + " needs a folder";
         recordFolder = v;
       }},
      {"--computer-id",
       [&](const std::string& name, const std::string& v) {
         const bool bad = v.empty() || v.size() > 64 || v == "." || v == ".." ||
                          std::any_of(v.begin(), v.end(), [](char c) {
                            return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 32;
                          });
         if (bad) error = name + " needs a name that can end a file name (no / or \\), not '" + v + "'";
         computerId = v;
       }},
      {"--record-value",
       [&](const std::string& name, const std::string& v) {
         const std::size_t eq = v.find('=');
         const std::string key = v.substr(0, eq);
         if (eq == std::string::npos || !isRecordValueKey(key)) {
           error = name +
                   " needs KEY=VALUE with KEY one of TYPE, SIGNAL, CABLEID, PHONEMODEL, PHONETECH, "
                   "USERNAME, LOCATION, NETWORKINFO, DEVICE, PORT, DIAL#, SCRIPTUSED; not '" +
                   v + "'";
         } else if (v.find_first_of("\r\n") != std::string::npos) {
           error = name + " needs a one-line value";
         } else {
           recordValues.emplace_back(key, v.substr(eq + 1));
         }
       }},
      {"--clock-shift",
       [&](const std::string& name, const std::string& v) {
         double shift = 0;
         auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), shift);
         if (v.empty() || ec != std::errc() || end != v.data() + v.size() || !std::isfinite(shift) ||
             std::fabs(shift) > 7 * 86400) {
           error = name + " needs a number of seconds, within a week either way, not '" + v + "'";
         } else {
           o.clockShift = shift;
         }
       }},
      {"--linger", seconds(&s.linger)},
      {"--calls",
       [&](const std::string& name, const std::string& v) {
         if (!parseInteger(v, &s.calls) || s.calls < 1)
           error = name + " needs a whole number, 1 or more, not '" + v + "'";
       }},
      {"--call-gap", seconds(&s.callGap)},
      {"--drop-after",
       [&](const std::string& name, const std::string& v) {
         double t = 0;
         if (!parseSeconds(v, &t)) {
           error = name + " needs a number of seconds, 0 or more, not '" + v + "'";
         } else {
           s.dropAfter = t;
         }
       }},
      {"--pull-after",
       [&](const std::string& name, const std::string& v) {
         double t = 0;
         if (!parseSeconds(v, &t)) {
           error = name + " needs a number of seconds, 0 or more, not '" + v + "'";
         } else {
           s.pullAfter = t;
         }
       }},
      {"--pull-for", seconds(&s.pullFor)},
      {"--timeout",
       [&](const std::string& name, const std::string& v) {
         double t = 0;
         if (!parseSeconds(v, &t) || t <= 0) {
           error = name + " needs a number of seconds above 0, not '" + v + "'";
         } else {
           o.timeout = t;
         }
       }},
  };
  const std::map<std::string, std::string> shortNames = {
      {"-d", "--device"}, {"-p", "--port"}, {"-s", "--script"}, {"-h", "--help"}};

  bool deviceGiven = false;
  for (std::size_t i = 0; i < args.size() && error.empty(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (auto it = shortNames.find(name); it != shortNames.end()) name = it->second;
    if (name.starts_with("--")) {
      if (auto eq = name.find('='); eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
      }
    }
    if (name == "--help" || name == "--version") {
      o.help = name == "--help";
      o.version = name == "--version";
      result.options = o;
      return result;
    }
    if (name == "--ring-on-signal") {
      if (value) error = name + " takes no value";
      s.ringOnSignal = true;
      continue;
    }
    auto it = withValue.find(name);
    if (it == withValue.end()) {
      error = name.starts_with("-") ? "unknown option '" + name + "'" : "unexpected argument '" + name + "'";
      break;
    }
    if (!value) {
      if (i + 1 >= args.size()) {
        error = name + " needs a value";
        break;
      }
      value = args[++i];
    }
    if (name == "--device") deviceGiven = true;
    it->second(name, *value);
  }

  if (error.empty() && !deviceGiven) error = "no device: give --device TYPE";
  if (error.empty() && o.portDir.empty()) {
    if (portDirFromEnv && !portDirFromEnv->empty()) {
      o.portDir = *portDirFromEnv;
    } else {
      error = "no port folder: give --port-dir DIR or set CORVALIS_PORT_DIR";
    }
  }
  if (error.empty() && !o.scriptPath.empty() && !sideGiven)
    error = "--script needs --side odd or --side even";
  if (error.empty() && o.scriptPath.empty() && sideGiven) error = "--side needs --script";
  if (error.empty() && s.dropAfter && !isModem(s.device))
    error = "--drop-after needs a modem: a TTY has no carrier to lose";
  if (!error.empty()) {
    result.error = error;
    return result;
  }
  if (!recordFolder && (computerId || !recordValues.empty())) {
    result.error =
        std::string(computerId ? "--computer-id" : "--record-value") + " goes with --record FOLDER";
    return result;
  }
  if (recordFolder) {
    RecordConfig r;
    r.folder = *recordFolder;
    if (computerId) r.computerId = *computerId;
    r.clockShift = o.clockShift;
    // The far end that types the odd turns is the side that answered: an incoming call for it.
    r.direction = s.side == Side::Odd ? "Incoming Call" : "Outgoing Call";
    std::error_code ec;
    if (!o.scriptPath.empty()) r.scriptPath = std::filesystem::absolute(o.scriptPath, ec).string();
    r.port = o.port.substr(3);
    r.values = recordValues;
    o.record = r;
  }
  if (s.audio && (both || toFar || toProgram)) {
    result.error =
        "--errors goes only with --channel text: on an audio channel the errors come from the tones";
    return result;
  }
  if (both) s.toFar = s.toProgram = *both;
  if (toFar) s.toFar = *toFar;
  if (toProgram) s.toProgram = *toProgram;
  result.options = o;
  return result;
}

}  // namespace ttysim
