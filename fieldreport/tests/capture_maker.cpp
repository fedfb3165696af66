// SPDX-License-Identifier: Apache-2.0
#include "capture_maker.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "capture/capture.h"

namespace capture_maker {
namespace {

const std::string kLetters = "ETAOINSHRDLCUMWFGYPBVKJXQZ";
const std::string kFigures = "0123456789-.,?";
// Pairs of characters on the same Baudot code: kFigureOf[i] is the figure of letter kLetterOf[i].
const std::string kFigureOf = "0123456789-.,?";
const std::string kLetterOf = "PQWERTYUIOAMNB";

std::size_t pick(std::mt19937_64& rng, std::size_t n) {
  return static_cast<std::size_t>(rng() % n);
}

bool chance(std::mt19937_64& rng, double p) {
  return static_cast<double>(rng() % 1000000) < p * 1000000.0;
}

// The character on the same code in the other shift: digits and letters of the top row, the
// minus and A, the full stop and M, the comma and N, the question mark and B.
char otherShift(char c) {
  const std::size_t f = kFigureOf.find(c);
  if (f != std::string::npos) return kLetterOf[f];
  const std::size_t l = kLetterOf.find(c);
  if (l != std::string::npos) return kFigureOf[l];
  return c;
}

std::string word(std::mt19937_64& rng) {
  std::string w;
  const bool figures = pick(rng, 6) == 0;
  const std::size_t length = 1 + pick(rng, 8);
  for (std::size_t i = 0; i < length; ++i) {
    if (figures) {
      w += kFigures[pick(rng, 10)];
    } else {
      const std::size_t a = pick(rng, kLetters.size()), b = pick(rng, kLetters.size());
      w += kLetters[std::min(a, b)];
    }
  }
  return w;
}

}  // namespace

Turns makeTurns(std::mt19937_64& rng, int count) {
  Turns turns;
  for (int t = 0; t < count; ++t) {
    std::vector<std::string> lines;
    const std::size_t lineCount = 1 + pick(rng, 3);
    for (std::size_t l = 0; l < lineCount; ++l) {
      std::string line;
      const std::size_t words = 2 + pick(rng, 8);
      for (std::size_t w = 0; w < words; ++w) {
        if (w) line += pick(rng, 12) == 0 ? "~ " : " ";
        line += word(rng);
      }
      if (l + 1 == lineCount) line += t + 1 == count ? " SK" : " GA";
      lines.push_back(line);
    }
    turns.push_back(lines);
  }
  return turns;
}

std::string scriptFile(const Turns& turns) {
  std::string s;
  for (const auto& turn : turns) {
    for (const auto& line : turn) s += line + "\r\n";
    s += "\r\n";
  }
  return s;
}

std::string garble(std::mt19937_64& rng, std::string_view text, const Channel& ch) {
  std::string out;
  bool shifted = false;  // the current word arrives in the other shift
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ') shifted = false;
    if (c != ' ' && (i == 0 || text[i - 1] == ' ')) shifted = chance(rng, ch.shift);
    if (chance(rng, ch.drop)) continue;
    if (chance(rng, ch.subst)) {
      out += kLetters[pick(rng, kLetters.size())];
    } else {
      out += shifted ? otherShift(c) : c;
    }
    if (chance(rng, ch.insert)) out += kLetters[pick(rng, kLetters.size())];
  }
  return out;
}

std::string dateTime(long long seconds) {
  // Civil date from days since 1970 (Howard Hinnant's algorithm).
  long long z = seconds / 86400 + 719468;
  const long long era = z / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long d = doy - (153 * mp + 2) / 5 + 1;
  const long long m = mp < 10 ? mp + 3 : mp - 9;
  const long long y = yoe + era * 400 + (m <= 2);
  const long long s = seconds % 86400;
  char text[128];
  std::snprintf(text, sizeof text, "%02lld/%02lld/%02lld %02lld:%02lld:%02lld", m, d, y % 100, s / 3600,
                s / 60 % 60, s % 60);
  return text;
}

Call makeCall(std::mt19937_64& rng, const Turns& turns, const std::string& scriptPath, const Conditions& c,
              long long startSeconds, double seconds, const Channel& channel, int keepTurns) {
  // On an incoming call this side sends the odd turns and receives the even ones.
  const bool farEndEven = c.direction == "Incoming Call";
  Call call;
  std::string conversation;
  int kept = 0;
  bool dropped = false;
  for (std::size_t t = 0; t < turns.size(); ++t) {
    const bool farEnd = (t % 2 == 1) == farEndEven;
    std::string typed;
    for (const auto& line : turns[t]) {
      for (char ch : line)
        if (ch != '~') typed += ch;
      typed += ' ';
    }
    if (farEnd) call.reference += typed;
    dropped = dropped || (keepTurns >= 0 && kept >= keepTurns);
    if (dropped) continue;
    if (!farEnd) {
      conversation += (conversation.empty() ? "" : "\r\n\r\n") + std::string("SEND: ") + typed;
      continue;
    }
    ++kept;
    const std::string arrived = garble(rng, typed, channel);
    call.received += arrived;
    // The view shows a received CR LF, and a modem's own line break, as two marks.
    std::string shown;
    for (char ch : arrived) {
      shown += ch;
      if (ch == ' ' && pick(rng, 9) == 0) shown += "\xB1\xB2";
    }
    conversation += (conversation.empty() ? "" : "\r\n\r\n") + std::string("RECD: ") + shown;
  }
  for (auto* text : {&call.reference, &call.received})
    while (!text->empty() && text->back() == ' ') text->pop_back();
  char length[32];
  std::snprintf(length, sizeof length, "%.1f", seconds);
  // Written as the program writes it: a landline call's phone lines say N/A, a modem's outgoing
  // call says the number dialled.
  capture::CallValues v;
  v.computerId = c.computer;
  v.type = c.type;
  v.direction = c.direction;
  v.signal = c.signal;
  v.cableId = "C1";
  v.phoneModel = c.phoneModel;
  v.phoneTech = c.phoneTech;
  v.userName = "tester";
  v.location = "Route 9";
  v.networkInfo = c.network;
  v.device = c.device;
  v.port = "1";
  v.turboDetected = true;
  v.dialNumber = "5550142";
  v.scriptCompleted = keepTurns < 0;
  v.scriptUsed = scriptPath;
  capture::Record record;
  record.started = dateTime(startSeconds);
  record.ended = capture::endedText(dateTime(startSeconds + static_cast<long long>(seconds)), length);
  record.conversation = conversation;
  record.values = capture::valueLines(v);
  call.record = capture::recordBytes(record);
  return call;
}

namespace {

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

// MMDD-HHMM of a moment, as the capture files are named.
std::string filePrefix(long long seconds) {
  const std::string d = dateTime(seconds);  // MM/DD/YY HH:MM:SS
  return d.substr(0, 2) + d.substr(3, 2) + "-" + d.substr(9, 2) + d.substr(12, 2);
}

}  // namespace

std::vector<CaptureFile> writeDay(const std::string& dir, const DayOptions& o) {
  namespace fs = std::filesystem;
  std::mt19937_64 rng(o.seed);
  fs::create_directories(fs::path(dir) / "scripts");
  fs::create_directories(fs::path(dir) / "captures");
  std::vector<Turns> scripts;
  std::vector<std::string> scriptPaths;
  for (const char* name : {"greeting.txt", "numbers.txt", "directions.txt"}) {
    scripts.push_back(makeTurns(rng, 6 + static_cast<int>(pick(rng, 5))));
    scriptPaths.push_back(fs::absolute(fs::path(dir) / "scripts" / name).string());
    writeFile(scriptPaths.back(), scriptFile(scripts.back()));
  }
  const char* types[] = {"Wireless Calls (Stationary)", "Wireless Calls (Moving)",
                         "Landline Calls (Acoustic)"};
  const char* devices[] = {"NXi modem", "Ultratec Supercom"};
  const char* signals[] = {"Strong", "Weak"};
  std::vector<CaptureFile> files;
  long long start = 1'790'000'000;  // 9 September 2026, 14:13:20
  for (int call = 0; call < o.calls; ++call) {
    const std::size_t s = pick(rng, scripts.size());
    Conditions lab;
    lab.type = types[pick(rng, 3)];
    lab.device = devices[pick(rng, 2)];
    lab.signal = signals[pick(rng, 2)];
    lab.direction = call % 2 ? "Outgoing Call" : "Incoming Call";
    const bool landline = capture::isLandline(lab.type);
    const double worse = (lab.type.find("Moving") != std::string::npos ? 2.0 : 1.0) *
                         (lab.signal == "Weak" && !landline ? 3.0 : 1.0);
    const Channel channel{0.002 * worse * static_cast<double>(pick(rng, 3)), 0.002 * worse, 0.001 * worse,
                          0.01 * worse * static_cast<double>(pick(rng, 3))};
    const int keep = o.droppedEvery > 0 && call % o.droppedEvery == o.droppedEvery - 1 ? 1 : -1;
    const double seconds = 60.0 + static_cast<double>(pick(rng, 600)) / 10.0;
    std::vector<Conditions> ends = {lab};
    if (o.bothEnds && call % 2 == 0) {
      Conditions car = lab;
      car.computer = "CAR1";
      car.direction = lab.direction == "Incoming Call" ? "Outgoing Call" : "Incoming Call";
      ends.push_back(car);
    }
    for (std::size_t e = 0; e < ends.size(); ++e) {
      const long long at = start + static_cast<long long>(e) * 4;
      const Call made = makeCall(rng, scripts[s], scriptPaths[s], ends[e], at, seconds, channel, keep);
      const fs::path path = fs::path(dir) / "captures" / (filePrefix(at) + "-" + ends[e].computer + ".TXT");
      writeFile(path, made.record);
      files.push_back({path.string(), scriptPaths[s], ends[e].direction == "Incoming Call"});
    }
    start += 300;
  }
  return files;
}

}  // namespace capture_maker
