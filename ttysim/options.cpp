// SPDX-License-Identifier: Apache-2.0
#include "options.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>

#include "command_line.h"
#include "pty_link.h"

namespace ttysim {
namespace {

using kit::cli::OptionTable;

// What the options say, before they are checked together.
struct Given {
  Options o;
  bool deviceGiven = false;
  bool sideGiven = false;
  std::optional<ErrorRates> both, toFar, toProgram;
  std::optional<std::string> recordFolder, computerId;
  std::vector<std::pair<std::string, std::string>> recordValues;
};

std::optional<double> parseSeconds(const std::string& v) {
  auto t = kit::cli::number(v);
  if (!t || *t < 0) return std::nullopt;
  return t;
}

std::string needsSeconds(const std::string& name, const std::string& v) {
  return name + " needs a number of seconds, 0 or more, not '" + v + "'";
}

// A number of seconds, 0 or more, into field.
template <typename Field>
OptionTable::ValueHandler seconds(Field* field) {
  return [field](const std::string& name, const std::string& v) {
    auto t = parseSeconds(v);
    if (!t) return needsSeconds(name, v);
    *field = *t;
    return std::string();
  };
}

OptionTable::ValueHandler rates(std::optional<ErrorRates>* field) {
  return [field](const std::string& name, const std::string& v) {
    std::string why;
    *field = parseErrorRates(v, &why);
    return *field ? std::string() : name + ": " + why;
  };
}

// A whole number from `least` up into field.
template <typename T>
OptionTable::ValueHandler count(T* field, T least) {
  return [field, least](const std::string& name, const std::string& v) {
    auto n = kit::cli::integer<T>(v);
    if (n) *field = *n;
    if (!n || *n < least)
      return name + " needs a whole number, " + std::to_string(least) + " or more, not '" + v + "'";
    return std::string();
  };
}

void deviceOptions(OptionTable& t, Given& g) {
  Options& o = g.o;
  t.value("--device", [&](const std::string& name, const std::string& v) {
    g.deviceGiven = true;
    auto d = parseDevice(v);
    if (!d) return "unknown device '" + v + "' for " + name + "; use one of\n" + deviceNamesHelp();
    o.session.device = *d;
    return std::string();
  });
  t.value("--port", [&](const std::string& name, const std::string& v) {
    auto port = tty::portLinkName(v);
    if (!port) return name + " needs a port name COM1 to COM16, not '" + v + "'";
    o.port = *port;
    return std::string();
  });
  t.value("--port-dir", &o.portDir);
}

void farEndOptions(OptionTable& t, Given& g) {
  SessionConfig& s = g.o.session;
  t.value("--script", &g.o.scriptPath);
  t.value("--side", [&](const std::string& name, const std::string& v) {
    g.sideGiven = true;
    if (v != "odd" && v != "even") return name + " needs odd or even, not '" + v + "'";
    s.side = v == "odd" ? Side::Odd : Side::Even;
    return std::string();
  });
  t.value("--cps", [&](const std::string& name, const std::string& v) {
    s.cpsGiven = true;
    auto cps = parseSeconds(v);
    if (cps) s.cps = *cps;
    if (!cps || s.cps <= 0 || s.cps > 1000)
      return name + " needs a pace above 0 and at most 1000 characters per second, not '" + v + "'";
    return std::string();
  });
  t.value("--line-end", [&](const std::string& name, const std::string& v) {
    static const std::map<std::string, std::string> ends = {
        {"space", " "}, {"cr", "\r"}, {"crlf", "\r\n"}, {"none", ""}};
    auto it = ends.find(v);
    if (it == ends.end()) return name + " needs space, cr, crlf or none, not '" + v + "'";
    s.lineEnd = it->second;
    return std::string();
  });
  t.value("--start-delay", seconds(&s.startDelay));
  t.value("--quiet", seconds(&s.quiet));
  t.value("--give-up", seconds(&s.giveUp));
}

void ringAndModemOptions(OptionTable& t, Given& g) {
  SessionConfig& s = g.o.session;
  t.value("--ring-after", seconds(&s.ringAfter));
  t.flag("--ring-on-signal", &s.ringOnSignal);
  t.value("--rings", count(&s.rings, 0));
  t.value("--ring-interval", seconds(&s.ringInterval));
  t.value("--turbo", [&](const std::string& name, const std::string& v) {
    static const std::map<std::string, TurboMode> modes = {
        {"auto", TurboMode::Auto}, {"on", TurboMode::On}, {"off", TurboMode::Off}};
    auto it = modes.find(v);
    if (it == modes.end()) return name + " needs auto, on or off, not '" + v + "'";
    s.modem.turbo = it->second;
    return std::string();
  });
  t.value("--connect-delay", seconds(&s.modem.connectDelay));
  t.value("--connect-text", [&](const std::string& name, const std::string& v) {
    if (v.empty() || v.find_first_of("\r\n") != std::string::npos) return name + " needs a one-line text";
    s.modem.plainConnect = v;
    return std::string();
  });
  t.value("--guard", seconds(&s.modem.guard));
}

void channelOptions(OptionTable& t, Given& g) {
  SessionConfig& s = g.o.session;
  t.value("--errors", rates(&g.both));
  t.value("--errors-to-far", rates(&g.toFar));
  t.value("--errors-to-program", rates(&g.toProgram));
  t.value("--channel", [&](const std::string& name, const std::string& v) {
    std::string why;
    return parseChannel(v, &s.audio, &why, &s.delay) ? std::string() : name + ": " + why;
  });
  t.value("--seed", [&](const std::string& name, const std::string& v) {
    auto seed = kit::cli::integer<std::uint64_t>(v);
    if (!seed) return name + " needs a whole number, 0 or more, not '" + v + "'";
    s.seed = *seed;
    return std::string();
  });
}

void recordOptions(OptionTable& t, Given& g) {
  t.value("--record", [&](const std::string& name, const std::string& v) {
    g.recordFolder = v;
    return v.empty() ? name + " needs a folder" : std::string();
  });
  t.value("--computer-id", [&](const std::string& name, const std::string& v) {
    g.computerId = v;
    const bool bad =
        v.empty() || v.size() > 64 || v == "." || v == ".." || std::any_of(v.begin(), v.end(), [](char c) {
          return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 32;
        });
    return bad ? name + " needs a name that can end a file name (no / or \\), not '" + v + "'"
               : std::string();
  });
  t.value("--record-value", [&](const std::string& name, const std::string& v) {
    const std::size_t eq = v.find('=');
    const std::string key = v.substr(0, eq);
    if (eq == std::string::npos || !isRecordValueKey(key)) {
      return name +
             " needs KEY=VALUE with KEY one of TYPE, SIGNAL, CABLEID, PHONEMODEL, PHONETECH, "
             "USERNAME, LOCATION, NETWORKINFO, DEVICE, PORT, DIAL#, SCRIPTUSED; not '" +
             v + "'";
    }
    if (v.find_first_of("\r\n") != std::string::npos) return name + " needs a one-line value";
    g.recordValues.emplace_back(key, v.substr(eq + 1));
    return std::string();
  });
  t.value("--clock-shift", [&](const std::string& name, const std::string& v) {
    auto shift = kit::cli::number(v);
    if (!shift || std::fabs(*shift) > 7 * 86400)
      return name + " needs a number of seconds, within a week either way, not '" + v + "'";
    g.o.clockShift = *shift;
    return std::string();
  });
}

void runOptions(OptionTable& t, Given& g) {
  Options& o = g.o;
  SessionConfig& s = o.session;
  t.value("--received", &o.receivedPath);
  t.value("--sent", &o.sentPath);
  t.value("--log", &o.logPath);
  t.value("--linger", seconds(&s.linger));
  t.value("--calls", count(&s.calls, 1));
  t.value("--call-gap", seconds(&s.callGap));
  t.value("--drop-after", seconds(&s.dropAfter));
  t.value("--pull-after", seconds(&s.pullAfter));
  t.value("--pull-for", seconds(&s.pullFor));
  t.value("--timeout", [&](const std::string& name, const std::string& v) {
    auto timeout = parseSeconds(v);
    if (!timeout || *timeout <= 0) return name + " needs a number of seconds above 0, not '" + v + "'";
    o.timeout = *timeout;
    return std::string();
  });
  t.flag("--help", [&](const std::string&) {
    o.help = true;
    t.stop();
    return std::string();
  });
  t.flag("--version", [&](const std::string&) {
    o.version = true;
    t.stop();
    return std::string();
  });
  t.alias("-d", "--device").alias("-p", "--port").alias("-s", "--script").alias("-h", "--help");
}

// What the options must say together.
std::string checkTogether(Given& g, const std::optional<std::string>& portDirFromEnv) {
  Options& o = g.o;
  if (!g.deviceGiven) return "no device: give --device TYPE";
  if (o.portDir.empty()) {
    if (!portDirFromEnv || portDirFromEnv->empty())
      return "no port folder: give --port-dir DIR or set CORVALIS_PORT_DIR";
    o.portDir = *portDirFromEnv;
  }
  if (!o.scriptPath.empty() && !g.sideGiven) return "--script needs --side odd or --side even";
  if (o.scriptPath.empty() && g.sideGiven) return "--side needs --script";
  if (o.session.dropAfter && !isModem(o.session.device))
    return "--drop-after needs a modem: a TTY has no carrier to lose";
  if (!g.recordFolder && (g.computerId || !g.recordValues.empty()))
    return std::string(g.computerId ? "--computer-id" : "--record-value") + " goes with --record FOLDER";
  if (o.session.audio && (g.both || g.toFar || g.toProgram))
    return "--errors goes only with --channel text: on an audio channel the errors come from the tones";
  return {};
}

// The far end's record of each call, from --record and what goes with it.
RecordConfig recordConfig(const Given& g) {
  const Options& o = g.o;
  RecordConfig r;
  r.folder = *g.recordFolder;
  if (g.computerId) r.computerId = *g.computerId;
  r.clockShift = o.clockShift;
  // The far end that types the odd turns is the side that answered: an incoming call for it.
  r.direction = o.session.side == Side::Odd ? "Incoming Call" : "Outgoing Call";
  std::error_code ec;
  if (!o.scriptPath.empty()) r.scriptPath = std::filesystem::absolute(o.scriptPath, ec).string();
  r.port = o.port.substr(3);
  r.values = g.recordValues;
  return r;
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
  Given g;
  OptionTable t;
  deviceOptions(t, g);
  farEndOptions(t, g);
  ringAndModemOptions(t, g);
  channelOptions(t, g);
  recordOptions(t, g);
  runOptions(t, g);
  ParseResult result;
  result.error = t.parse(args);
  if (result.error.empty() && !t.stopped()) result.error = checkTogether(g, portDirFromEnv);
  if (!result.error.empty()) return result;
  if (g.recordFolder) g.o.record = recordConfig(g);
  SessionConfig& s = g.o.session;
  if (g.both) s.toFar = s.toProgram = *g.both;
  if (g.toFar) s.toFar = *g.toFar;
  if (g.toProgram) s.toProgram = *g.toProgram;
  result.options = g.o;
  return result;
}

}  // namespace ttysim
