// SPDX-License-Identifier: Apache-2.0
#include "options.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <map>
#include <type_traits>
#include <utility>

#include "command_line.h"
#include "pty_link.h"

namespace rttmodem::console {
namespace {

template <typename T>
bool number(const std::string& s, T* out) {
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && p == s.data() + s.size();
}

}  // namespace

std::string usageText() {
  return "Usage: rttmodem --listen PORT [options]   wait for a call (PORT 0: a free port)\n"
         "       rttmodem --dial URI [options]      call sip:user@host:port\n"
         "       rttmodem --port COMn [options]     a TTY modem on a pseudo-terminal\n"
         "       rttmodem --tty-serial DEV|--tty-audio (--listen PORT|--dial URI) [options]  a gateway\n"
         "\n"
         "A real-time text phone (SIP, T.140 text with redundancy). Text typed on standard input\n"
         "(Windows-1252, CR LF line ends, BS erases) goes to the far end; text from the far end is\n"
         "written to standard output the same way. Call events and each call's counts go to\n"
         "standard error, one line each.\n"
         "\n"
         "The modem (--port COMn): an NXi modem on a pseudo-terminal linked as COMn in the port\n"
         "folder, for corvalis to drive: ATD<number> places a call, RING lines announce one, ATA\n"
         "answers, CONNECT when it is up, +++/ATH or EOT hang up, NO CARRIER, BUSY or NO ANSWER when\n"
         "it ends or fails. Events go to standard output, starting with a ready line.\n"
         "      --port COMn          the link's name, COM1 to COM16\n"
         "      --port-dir DIR       the port folder (default $CORVALIS_PORT_DIR)\n"
         "      --listen PORT        the SIP port calls come to (default: a free one)\n"
         "      --dial-host HOST[:P] where a number dialled without a host is called (default: the\n"
         "                           registrar's host with --register)\n"
         "      --connect-text TEXT  the CONNECT line (default \"CONNECT TTY\")\n"
         "\n"
         "The gateway: text of the calls to and from a TTY on the circuit side, one call after\n"
         "another as --listen and --dial say. Events go to standard output.\n"
         "      --tty-serial DEV     a TTY on a serial device (a path, or COMn in the port folder)\n"
         "      --tty-audio          a TTY's Baudot tones through the sound card, or:\n"
         "      --input-device NAME  where the tones are heard (default: the sound server's default)\n"
         "      --output-device NAME where the tones are played (default: the sound server's default)\n"
         "      --input-file PATH    hear raw audio (16-bit little-endian mono, 8000 Hz) from a file\n"
         "                           or named pipe\n"
         "      --output-file PATH   play raw audio into a file or named pipe, in real time\n"
         "      --baud N             45.45 (default) or 50\n"
         "\n"
         "Calls:\n"
         "      --host ADDR          address to listen on and to give the far end (default 127.0.0.1)\n"
         "      --sip-port PORT      --dial: the SIP port to use (default: a free one)\n"
         "      --user NAME          our SIP user name (default rttmodem)\n"
         "      --calls N            --listen: exit after N calls (default 1; 0: never)\n"
         "      --answer-timeout S   --dial: give up on a call not answered in S seconds (default 60)\n"
         "      --pace CPS           send standard input at CPS characters a second, as typed\n"
         "\n"
         "Registration:\n"
         "      --register URI       register as URI (sip:user@registrar[:port]) and call through it\n"
         "      --auth-user NAME     user name for the digest (default: the user of URI)\n"
         "      --password-file FILE the account's password (first line); or set RTTMODEM_PASSWORD\n"
         "      --accept-direct      also take calls that come straight here, not through the\n"
         "                           registrar (by default they are refused with 403)\n"
         "\n"
         "Text:\n"
         "      --redundancy N       redundant generations sent (0 to 5, default 2)\n"
         "      --loss P[,burst=N]   withhold P % of the text packets we send, in runs of N on average\n"
         "      --delay MS           delay every text packet we send by MS milliseconds\n"
         "      --jitter MS          delay each one a further 0 to MS milliseconds (reorders them)\n"
         "      --reorder P          swap a packet with the next one with probability P (0 to 1)\n"
         "      --duplicate P        send a packet twice with probability P (0 to 1)\n"
         "      --ssrc-change S      restart our text stream (new SSRC, sequence and timestamps)\n"
         "                           at the first pause after S seconds of the call\n"
         "      --reinvite S         send a re-INVITE with our offer S seconds into the call\n"
         "      --hold S             put the call's audio on hold S seconds into the call (a re-INVITE,\n"
         "                           audio sendonly) and take it off 5 s later; text goes on\n"
         "      --text-only          offer text alone when calling (no audio line)\n"
         "      --add-text S         offer audio alone when calling, and add text by a re-INVITE\n"
         "                           S seconds into the call (what is typed before waits for it)\n"
         "      --seed N             seed of --loss and of the impairments (default 1)\n"
         "      --trace-dir DIR      write a wire trace of each call into DIR (for rttcheck)\n"
         "\n"
         "A test far end (--listen, on the console):\n"
         "      --refuse STATUS      refuse every call with this SIP status (400 to 699)\n"
         "      --no-answer          let calls ring without answering\n"
         "\n"
         "  -h, --help               this text\n"
         "      --version            the kit's version\n"
         "\n"
         "Exit status: 0 after the calls, 1 after a usage or start-up error, 2 when a call did not come\n"
         "up (busy, no answer, refused, failed) or the registration failed.\n";
}

std::optional<std::string> registrarOf(const std::string& aor, std::string* userOut) {
  if (aor.rfind("sip:", 0) != 0) return std::nullopt;
  std::string rest = aor.substr(4);
  rest = rest.substr(0, rest.find_first_of(";?>"));
  const std::size_t at = rest.find('@');
  if (at == std::string::npos || at == 0 || at + 1 >= rest.size()) return std::nullopt;
  *userOut = rest.substr(0, at);
  return "sip:" + rest.substr(at + 1);
}

std::optional<std::string> dialTarget(std::string_view dialString, const std::string& dialHost) {
  std::string s(dialString);
  // What a program puts before the number: spaces, and T (tone) or P (pulse).
  std::size_t from = 0;
  while (from < s.size() &&
         (s[from] == ' ' || ((s[from] == 'T' || s[from] == 'P' || s[from] == 't' || s[from] == 'p') &&
                             from + 1 < s.size() && s[from + 1] == ' ')))
    ++from;
  s = s.substr(from);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  if (s.size() > 4 && (s.rfind("sip:", 0) == 0 || s.rfind("SIP:", 0) == 0)) return "sip:" + s.substr(4);
  if (s.find('@') != std::string::npos && s.find(' ') == std::string::npos) {
    if (s.front() == '@' || s.back() == '@') return std::nullopt;
    return "sip:" + s;
  }
  std::string number;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if ((c >= '0' && c <= '9') || c == '*' || c == '#' || c == '+') {
      number += c;
    } else if (c == ' ' || c == '-' || c == '(' || c == ')' || c == ',' || c == 'W' || c == 'w' ||
               ((c == 'T' || c == 'P' || c == 't' || c == 'p') && i == 0)) {
      continue;
    } else {
      return std::nullopt;
    }
  }
  if (number.empty() || dialHost.empty()) return std::nullopt;
  return "sip:" + number + "@" + dialHost;
}

ParseResult parseOptions(const std::vector<std::string>& args,
                         const std::optional<std::string>& passwordFromEnv,
                         const std::optional<std::string>& portDirFromEnv) {
  ParseResult r;
  Options o;
  bool listen = false, dial = false, audioGiven = false, baudGiven = false, endsHere = false;
  std::string passwordFile;
  auto fail = [&](const std::string& message) {
    r.error = message;
    return r;
  };
  kit::cli::OptionTable table;
  // What each option says when its value is missing or wrong.
  std::map<std::string, std::string> needs;
  // An option whose value must pass `ok`; the value is read into *target first.
  auto checked = [&]<typename T>(const std::string& name, T* target, std::string need, auto ok) {
    needs[name] = need;
    table.value(name, [target, need, ok](const std::string&, const std::string& v) {
      if constexpr (std::is_same_v<T, std::string>) {
        *target = v;
      } else if (!number(v, target)) {
        return need;
      }
      return ok(*target) ? std::string() : need;
    });
  };
  auto any = [](const auto&) { return true; };
  auto filled = [](const std::string& v) { return !v.empty(); };
  auto port = [](int p) { return p >= 0 && p <= 65535; };
  table.flag("--help", [&](const std::string&) {
    o.mode = Mode::Help;
    endsHere = true;
    table.stop();
    return std::string();
  });
  table.alias("-h", "--help");
  table.flag("--version", [&](const std::string&) {
    o.mode = Mode::Version;
    endsHere = true;
    table.stop();
    return std::string();
  });
  checked("--listen", &o.sipPort, "--listen needs a port from 0 to 65535", [&](int p) {
    listen = true;
    return port(p);
  });
  needs["--dial"] = "--dial needs a SIP URI";
  table.value("--dial", [&](const std::string&, const std::string& v) {
    o.dialUri = v;
    dial = true;
    return v.rfind("sip:", 0) == 0 ? std::string() : "--dial needs a sip: URI, not '" + v + "'";
  });
  checked("--sip-port", &o.sipPort, "--sip-port needs a port from 0 to 65535", port);
  needs["--port"] = "--port needs a port name COM1 to COM16";
  table.value("--port", [&](const std::string&, const std::string& v) {
    auto name = tty::portLinkName(v);
    if (!name) return "--port needs a port name COM1 to COM16, not '" + v + "'";
    o.port = *name;
    return std::string();
  });
  table.alias("-p", "--port");
  checked("--port-dir", &o.portDir, "--port-dir needs a folder", filled);
  table.alias("--folder", "--port-dir");
  checked("--dial-host", &o.dialHost, "--dial-host needs host[:port]", [](const std::string& v) {
    return !v.empty() && v.find_first_of("@ ;<>") == std::string::npos;
  });
  checked("--connect-text", &o.connectText, "--connect-text needs a line that begins with CONNECT",
          [](const std::string& v) { return v.starts_with("CONNECT"); });
  checked("--tty-serial", &o.serialDevice, "--tty-serial needs a device", filled);
  table.flag("--tty-audio", &audioGiven);
  const std::pair<const char*, std::string*> audioNames[] = {{"--input-device", &o.inputDevice},
                                                             {"--output-device", &o.outputDevice},
                                                             {"--input-file", &o.inputFile},
                                                             {"--output-file", &o.outputFile}};
  for (auto [name, target] : audioNames)
    checked(name, target, std::string(name) + " needs a value", filled);
  checked("--baud", &o.baud, "--baud needs 45.45 or 50", [&](double b) {
    baudGiven = true;
    return b == 45.45 || b == 50;
  });
  checked("--host", &o.host, "--host needs an address", filled);
  checked("--user", &o.user, "--user needs a plain user name",
          [](const std::string& v) { return !v.empty() && v.find_first_of("@:;<> ") == std::string::npos; });
  checked("--register", &o.registerUri, "--register needs a SIP URI", any);
  table.flag("--accept-direct", &o.acceptDirect);
  checked("--auth-user", &o.authUser, "--auth-user needs a name", filled);
  checked("--password-file", &passwordFile, "--password-file needs a file", any);
  const std::string noPassword =
      "a password is never given on the command line: use --password-file or RTTMODEM_PASSWORD";
  table.flag("--password", [&](const std::string&) { return noPassword; });
  checked("--redundancy", &o.generations, "--redundancy needs a number from 0 to 5",
          [](int g) { return g >= 0 && g <= rtt::kMaxGenerations; });
  needs["--loss"] = "--loss needs P[,burst=N]";
  table.value("--loss", [&](const std::string&, const std::string& v) {
    std::string error;
    o.loss = rtt::parseLoss(v, &error);
    return o.loss ? std::string() : "--" + error;
  });
  auto milliseconds = [](int ms) { return ms >= 0 && ms <= rtt::kMaxImpairMs; };
  checked("--delay", &o.impair.delayMs, "--delay needs milliseconds from 0 to 5000", milliseconds);
  checked("--jitter", &o.impair.jitterMs, "--jitter needs milliseconds from 0 to 5000", milliseconds);
  auto probability = [](double p) { return p >= 0 && p <= 1; };
  checked("--reorder", &o.impair.reorder, "--reorder needs a probability from 0 to 1", probability);
  checked("--duplicate", &o.impair.duplicate, "--duplicate needs a probability from 0 to 1", probability);
  checked("--ssrc-change", &o.impair.ssrcChangeSeconds, "--ssrc-change needs seconds from 1 to 86400",
          [](int s) { return s >= 1 && s <= 86400; });
  checked("--reinvite", &o.reinvite, "--reinvite needs seconds from 1 to 86400",
          [](int s) { return s >= 1 && s <= 86400; });
  checked("--hold", &o.hold, "--hold needs seconds from 1 to 86400", [](int s) { return s >= 1 && s <= 86400; });
  table.flag("--text-only", &o.textOnly);
  checked("--add-text", &o.addText, "--add-text needs seconds from 1 to 86400", [](int s) { return s >= 1 && s <= 86400; });
  checked("--seed", &o.seed, "--seed needs a whole number", any);
  checked("--pace", &o.pace, "--pace needs characters a second, above 0 and at most 1000",
          [](double p) { return p > 0 && p <= 1000; });
  checked("--calls", &o.calls, "--calls needs a number, 0 or more", [](int n) { return n >= 0; });
  checked("--answer-timeout", &o.answerTimeout, "--answer-timeout needs seconds from 1 to 3600",
          [](int s) { return s >= 1 && s <= 3600; });
  checked("--refuse", &o.refuse, "--refuse needs a SIP status from 400 to 699",
          [](int s) { return s >= 400 && s <= 699; });
  table.flag("--no-answer", &o.noAnswer);
  checked("--trace-dir", &o.traceDir, "--trace-dir needs a folder", filled);
  table.problems([&](const kit::cli::Problem& p) {
    using Kind = kit::cli::Problem::Kind;
    if (p.name == "--password") return noPassword;
    if (p.kind == Kind::NeedsValue && needs.count(p.name)) return needs[p.name];
    // A word that is no option is as unknown here as a misspelt one.
    if (p.kind == Kind::Unexpected) return "unknown option '" + p.word + "'";
    return kit::cli::message(p);
  });
  if (std::string error = table.parse(args); !error.empty()) return fail(error);
  if (endsHere) {
    r.options = o;
    return r;
  }
  const bool modem = !o.port.empty(), serial = !o.serialDevice.empty();
  const bool audioFiles = !o.inputDevice.empty() || !o.outputDevice.empty() || !o.inputFile.empty() ||
                          !o.outputFile.empty() || baudGiven;
  if (modem + serial + audioGiven > 1) return fail("give one of --port, --tty-serial and --tty-audio");
  if (audioFiles && !audioGiven)
    return fail(
        "--input-device, --output-device, --input-file, --output-file and --baud go with --tty-audio");
  if (!o.inputDevice.empty() && !o.inputFile.empty())
    return fail("give --input-device or --input-file, not both");
  if (!o.outputDevice.empty() && !o.outputFile.empty())
    return fail("give --output-device or --output-file, not both");
  if (o.textOnly && o.addText) return fail("--text-only offers no audio to add text to: not with --add-text");
  o.front = modem ? Front::Modem : serial ? Front::Serial : audioGiven ? Front::Audio : Front::Console;
  if (modem) {
    if (dial) return fail("the modem dials what the program asks (ATD): --dial does not go with --port");
    listen = true;
  } else if (!o.dialHost.empty()) {
    return fail("--dial-host goes with --port");
  }
  if (o.portDir.empty() && portDirFromEnv) o.portDir = *portDirFromEnv;
  const bool serialByName = serial && tty::portLinkName(o.serialDevice).has_value();
  if ((modem || serialByName) && o.portDir.empty())
    return fail("no port folder: give --port-dir DIR or set CORVALIS_PORT_DIR");
  if (serialByName) o.serialDevice = o.portDir + "/" + *tty::portLinkName(o.serialDevice);
  if (listen == dial) return fail("give one of --listen PORT and --dial URI");
  o.mode = listen ? Mode::Listen : Mode::Dial;
  if (!o.registerUri.empty()) {
    std::string user;
    if (!registrarOf(o.registerUri, &user))
      return fail("--register needs sip:user@host[:port], not '" + o.registerUri + "'");
    if (o.authUser.empty()) o.authUser = user;
    if (!passwordFile.empty()) {
      std::ifstream in(passwordFile);
      if (!in || !std::getline(in, o.password))
        return fail("cannot read the password file '" + passwordFile + "'");
      if (!o.password.empty() && o.password.back() == '\r') o.password.pop_back();
    } else if (passwordFromEnv) {
      o.password = *passwordFromEnv;
    }
    if (o.password.empty())
      return fail("--register needs a password: --password-file FILE or RTTMODEM_PASSWORD");
  } else if (!passwordFile.empty()) {
    return fail("--password-file is for --register");
  } else if (o.acceptDirect) {
    return fail("--accept-direct is for --register");
  }
  if ((o.mode == Mode::Dial || o.front == Front::Modem) && (o.refuse || o.noAnswer))
    return fail("--refuse and --no-answer are for --listen");
  if (o.front == Front::Modem && o.pace > 0) return fail("--pace is for the console and the gateway");
  if (o.front == Front::Modem && o.registerUri.size() && o.dialHost.empty()) {
    std::string user;
    const std::string registrar = *registrarOf(o.registerUri, &user);
    o.dialHost = registrar.substr(4);
  }
  r.options = o;
  return r;
}

}  // namespace rttmodem::console
