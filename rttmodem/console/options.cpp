// SPDX-License-Identifier: Apache-2.0
#include "options.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>

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
         "      --seed N             seed of --loss (default 1)\n"
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
  bool listen = false, dial = false, audioGiven = false, baudGiven = false;
  std::string passwordFile;
  auto fail = [&](const std::string& message) {
    r.error = message;
    return r;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string v;
    if (a == "-h" || a == "--help") {
      o.mode = Mode::Help;
      r.options = o;
      return r;
    } else if (a == "--version") {
      o.mode = Mode::Version;
      r.options = o;
      return r;
    } else if (a == "--listen") {
      if (!value(&v) || !number(v, &o.sipPort) || o.sipPort < 0 || o.sipPort > 65535)
        return fail("--listen needs a port from 0 to 65535");
      listen = true;
    } else if (a == "--dial") {
      if (!value(&o.dialUri)) return fail("--dial needs a SIP URI");
      if (o.dialUri.rfind("sip:", 0) != 0) return fail("--dial needs a sip: URI, not '" + o.dialUri + "'");
      dial = true;
    } else if (a == "--sip-port") {
      if (!value(&v) || !number(v, &o.sipPort) || o.sipPort < 0 || o.sipPort > 65535)
        return fail("--sip-port needs a port from 0 to 65535");
    } else if (a == "--port" || a == "-p") {
      if (!value(&v)) return fail("--port needs a port name COM1 to COM16");
      auto name = tty::portLinkName(v);
      if (!name) return fail("--port needs a port name COM1 to COM16, not '" + v + "'");
      o.port = *name;
    } else if (a == "--port-dir" || a == "--folder") {
      if (!value(&o.portDir) || o.portDir.empty()) return fail("--port-dir needs a folder");
    } else if (a == "--dial-host") {
      if (!value(&o.dialHost) || o.dialHost.empty() || o.dialHost.find_first_of("@ ;<>") != std::string::npos)
        return fail("--dial-host needs host[:port]");
    } else if (a == "--connect-text") {
      if (!value(&o.connectText) || !o.connectText.starts_with("CONNECT"))
        return fail("--connect-text needs a line that begins with CONNECT");
    } else if (a == "--tty-serial") {
      if (!value(&o.serialDevice) || o.serialDevice.empty()) return fail("--tty-serial needs a device");
    } else if (a == "--tty-audio") {
      audioGiven = true;
    } else if (a == "--input-device" || a == "--output-device" || a == "--input-file" ||
               a == "--output-file") {
      std::string* target = a == "--input-device"    ? &o.inputDevice
                            : a == "--output-device" ? &o.outputDevice
                            : a == "--input-file"    ? &o.inputFile
                                                     : &o.outputFile;
      if (!value(target) || target->empty()) return fail(a + " needs a value");
    } else if (a == "--baud") {
      if (!value(&v) || !number(v, &o.baud) || (o.baud != 45.45 && o.baud != 50))
        return fail("--baud needs 45.45 or 50");
      baudGiven = true;
    } else if (a == "--host") {
      if (!value(&o.host) || o.host.empty()) return fail("--host needs an address");
    } else if (a == "--user") {
      if (!value(&o.user) || o.user.empty() || o.user.find_first_of("@:;<> ") != std::string::npos)
        return fail("--user needs a plain user name");
    } else if (a == "--register") {
      if (!value(&o.registerUri)) return fail("--register needs a SIP URI");
    } else if (a == "--accept-direct") {
      o.acceptDirect = true;
    } else if (a == "--auth-user") {
      if (!value(&o.authUser) || o.authUser.empty()) return fail("--auth-user needs a name");
    } else if (a == "--password-file") {
      if (!value(&passwordFile)) return fail("--password-file needs a file");
    } else if (a == "--password") {
      return fail("a password is never given on the command line: use --password-file or RTTMODEM_PASSWORD");
    } else if (a == "--redundancy") {
      if (!value(&v) || !number(v, &o.generations) || o.generations < 0 ||
          o.generations > rtt::kMaxGenerations)
        return fail("--redundancy needs a number from 0 to 5");
    } else if (a == "--loss") {
      if (!value(&v)) return fail("--loss needs P[,burst=N]");
      std::string error;
      o.loss = rtt::parseLoss(v, &error);
      if (!o.loss) return fail("--" + error);
    } else if (a == "--seed") {
      if (!value(&v) || !number(v, &o.seed)) return fail("--seed needs a whole number");
    } else if (a == "--pace") {
      if (!value(&v) || !number(v, &o.pace) || !(o.pace > 0 && o.pace <= 1000))
        return fail("--pace needs characters a second, above 0 and at most 1000");
    } else if (a == "--calls") {
      if (!value(&v) || !number(v, &o.calls) || o.calls < 0) return fail("--calls needs a number, 0 or more");
    } else if (a == "--answer-timeout") {
      if (!value(&v) || !number(v, &o.answerTimeout) || o.answerTimeout < 1 || o.answerTimeout > 3600)
        return fail("--answer-timeout needs seconds from 1 to 3600");
    } else if (a == "--refuse") {
      if (!value(&v) || !number(v, &o.refuse) || o.refuse < 400 || o.refuse > 699)
        return fail("--refuse needs a SIP status from 400 to 699");
    } else if (a == "--no-answer") {
      o.noAnswer = true;
    } else {
      return fail("unknown option '" + a + "'");
    }
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
