#include "options.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>

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
         "\n"
         "A real-time text phone (SIP, T.140 text with redundancy). Text typed on standard input\n"
         "(Windows-1252, CR LF line ends, BS erases) goes to the far end; text from the far end is\n"
         "written to standard output the same way. Call events and each call's counts go to\n"
         "standard error, one line each.\n"
         "\n"
         "Calls:\n"
         "      --host ADDR          address to listen on and to give the far end (default 127.0.0.1)\n"
         "      --port PORT          --dial: the SIP port to use (default: a free one)\n"
         "      --user NAME          our SIP user name (default rttmodem)\n"
         "      --calls N            --listen: exit after N calls (default 1; 0: never)\n"
         "      --answer-timeout S   --dial: give up on a call not answered in S seconds (default 60)\n"
         "      --pace CPS           send standard input at CPS characters a second, as typed\n"
         "\n"
         "Registration:\n"
         "      --register URI       register as URI (sip:user@registrar[:port]) and call through it\n"
         "      --auth-user NAME     user name for the digest (default: the user of URI)\n"
         "      --password-file FILE the account's password (first line); or set RTTMODEM_PASSWORD\n"
         "\n"
         "Text:\n"
         "      --redundancy N       redundant generations sent (0 to 5, default 2)\n"
         "      --loss P[,burst=N]   withhold P % of the text packets we send, in runs of N on average\n"
         "      --seed N             seed of --loss (default 1)\n"
         "\n"
         "A test far end (--listen):\n"
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

ParseResult parseOptions(const std::vector<std::string>& args,
                         const std::optional<std::string>& passwordFromEnv) {
  ParseResult r;
  Options o;
  bool listen = false, dial = false;
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
    } else if (a == "--port") {
      if (!value(&v) || !number(v, &o.sipPort) || o.sipPort < 0 || o.sipPort > 65535)
        return fail("--port needs a port from 0 to 65535");
    } else if (a == "--host") {
      if (!value(&o.host) || o.host.empty()) return fail("--host needs an address");
    } else if (a == "--user") {
      if (!value(&o.user) || o.user.empty() || o.user.find_first_of("@:;<> ") != std::string::npos)
        return fail("--user needs a plain user name");
    } else if (a == "--register") {
      if (!value(&o.registerUri)) return fail("--register needs a SIP URI");
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
  }
  if (o.mode == Mode::Dial && (o.refuse || o.noAnswer))
    return fail("--refuse and --no-answer are for --listen");
  r.options = o;
  return r;
}

}  // namespace rttmodem::console
