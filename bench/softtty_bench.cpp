// SPDX-License-Identifier: Apache-2.0
// softtty's decoder against minimodem's TDD mode, one impairment at a time, and both through a
// mobile network's speech codec (AMR-NB) with frame erasures.
//
//   softtty_bench [build_folder]              everything below but the day
//   softtty_bench [build_folder] --amr        only the tables through the codec
//   softtty_bench [build_folder] --only TEXT  only the rows whose impairment and level contain TEXT
//                                             (--keep DIR: their audio files stay in DIR)
//   softtty_bench [build_folder] --noise      only the ten minutes of noise alone
//   softtty_bench [build_folder] --day HOURS [--rate HZ]
//                                             HOURS of loud noise, then a quiet text (see dayRun)
//
// The text of samples/script.txt (its lines joined by spaces, as a TTY user types them) is sent as
// tones the way a TTY sends them (1.5 stop bits), through one impairment at one level per row:
// white noise over the 4 kHz band, noise confined to the tones' band (1200 to 2000 Hz), tones off
// frequency, bits short or long, a quiet or a clipped line, a level that drops halfway, a quiet
// turn between two loud ones in one recording, a sender whose stop varies from character to
// character (and whose bits jitter), phase jumps, audio frames lost (silence), repeated or left
// out, a sender that relies on unshift-on-space, and the AMR-NB codec; then a tone alone (the
// mark, the space), where nothing is to be printed, and samples deleted from the audio or
// inserted into it at four points of the text, where softtty may lose at most 10 characters at
// each. Each row is the mean of ten files with seeds of their own (the sender's quirks and stops,
// the noise, the slips' points), decoded two at a time; nothing is folded into a worst or best of
// several. Each file is decoded by `softtty --decode` and by `minimodem --rx tdd --stopbits 1.5`
// (the stop bits of the signal: minimodem's TDD mode expects 2 by default), and each text is
// scored by its character error rate against what was sent. Then ten minutes of noise alone, the
// CER against the frame erasure rate at each of the codec's eight modes (one file a cell), and the
// same erasures (independent and in runs) on this back-to-back audio and on ttysim's own channel,
// whose sender holds the carrier 3 bits after each character, ten files a row.
//
// Exits with 1 when minimodem is missing, when softtty makes an error in any file of a row where it
// is expected to make none (the rows marked "survivable"), when its CER on a row is more than 0.5
// points above minimodem's, when it prints a character from noise or a tone alone, when it loses
// more than 10 characters at a slip in any file, or when it decodes slower than 50 times real time
// on one core.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio_line.h"
#include "baudot.h"
#include "codec.h"
#include "impair.h"
#include "run_program.h"
#include "temp_dir.h"
#include "tones.h"
#include "wav.h"

namespace {

namespace fs = std::filesystem;
using kit::testing::runProgram;

// What a receiver that heard everything prints for the text: capitals, figures as the US table
// has them, nothing for characters with no Baudot form.
std::string asReceived(const std::string& text) {
  namespace baudot = tty::baudot;
  std::string out;
  for (char c : text) {
    auto code = baudot::encode(static_cast<unsigned char>(c));
    if (!code) continue;
    out += baudot::decode(
        code->code, code->shift == baudot::Shift::Figures ? baudot::Shift::Figures : baudot::Shift::Letters);
  }
  return out;
}

// Character error rate in per cent: edits (insertions, deletions, substitutions) over the length
// of the reference. Line ends are not compared.
double cer(const std::string& reference, std::string got) {
  std::erase_if(got, [](char c) { return c == '\r' || c == '\n'; });
  const std::size_t n = reference.size(), m = got.size();
  std::vector<std::size_t> row(m + 1), next(m + 1);
  for (std::size_t j = 0; j <= m; ++j) row[j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    next[0] = i;
    for (std::size_t j = 1; j <= m; ++j) {
      next[j] =
          std::min({row[j] + 1, next[j - 1] + 1, row[j - 1] + (reference[i - 1] == got[j - 1] ? 0 : 1)});
    }
    row.swap(next);
  }
  return 100.0 * static_cast<double>(row[m]) / static_cast<double>(std::max<std::size_t>(n, 1));
}

double childCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string findInPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    fs::path p = fs::path(dir) / name;
    if (access(p.c_str(), X_OK) == 0) return p.string();
  }
  return {};
}

struct Row {
  std::string impairment, level;
  bool survivable = false;  // softtty is expected to make no error here
  tty::SenderQuirks quirks{};
  tty::Impairments path{};
  double amplitude = 0.5;
  double clip = 0;    // gain before clipping at full scale; 0: none
  double stepDb = 0;  // the level changes by this much halfway through the transmission
  // Not 0: the text as three turns of a call in one recording, the first and last at -6 dBFS and
  // the middle one at this level (dBFS), a second of silence between them.
  double turnDbfs = 0;
  // The seed of the row's first file, the next files' seeds following it; 0: one given in turn
  // (10100, 10200, ...). The rows that were ten files before keep the seeds they were published with.
  std::uint64_t seed = 0;
  std::optional<tty::CodecSettings> codec = std::nullopt;
  // Not 0: no text, only a tone of this frequency (4 to 8 s of it, within 5 Hz, its start phase
  // drawn per file) at `amplitude`, with half a second of silence either side.
  double toneHz = 0;
  // Not 0: this many samples deleted from the audio, or inserted into it (the ones just before
  // played again, or silence), at slipEvents points spread over the text.
  int slipSamples = 0;
  enum class Slip { Delete, Repeat, Silence } slipKind = Slip::Delete;
  int slipEvents = 4;
  bool leadingDrawn = false;  // the silence before the text drawn per file (see make)
  // Not 0: a sender whose stop after each character is drawn from [stopFrom, stopTo] bits and whose
  // changes between bits land up to jitterMs either side of where they are due.
  double stopFrom = 0, stopTo = 0, jitterMs = 0;
  int files = 10;  // files decoded for the row, each with its own seed; the row gives their mean CER
  int rate = 8000;
};

struct Scores {
  double ours = 0, theirs = 0;
  std::size_t oursChars = 0, theirsChars = 0;  // characters printed
};

// Runs work(0) to work(n - 1) on two threads: the machine's two cores.
void onTwoThreads(int n, const std::function<void(int)>& work) {
  std::atomic<int> next{0};
  auto loop = [&] {
    for (int i = next++; i < n; i = next++) work(i);
  };
  std::thread other(loop);
  loop();
  other.join();
}

std::size_t printedChars(const std::string& s) {
  return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) { return c != '\r' && c != '\n'; }));
}

class Bench {
 public:
  Bench(std::string softtty, std::string minimodem, kit::testing::TempDir& dir)
      : softtty_(std::move(softtty)), minimodem_(std::move(minimodem)), dir_(dir) {}

  // Makes `files` files (makeFile(i) gives the i-th), decodes each with both programs, two
  // decodes at a time, and scores both against the reference. softtty's files are all decoded
  // before minimodem's, so that each program's CPU time is its own.
  // With keep() the files stay there, named after `name`.
  std::vector<Scores> runFiles(int files, const std::function<std::vector<float>(int)>& makeFile,
                               const std::string& reference, double stopBits = 1.5, int rate = 8000,
                               std::string name = "file") {
    std::vector<std::string> wavs(static_cast<std::size_t>(files));
    std::vector<double> seconds(wavs.size());
    for (char& c : name) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') c = '_';
    }
    onTwoThreads(files, [&](int i) {
      const auto f = static_cast<std::size_t>(i);
      const std::string file = name + "-" + std::to_string(i) + ".wav";
      wavs[f] = keep_.empty() ? dir_.file(file) : (fs::path(keep_) / file).string();
      std::vector<float> audio = makeFile(i);
      seconds[f] = static_cast<double>(audio.size()) / rate;
      std::string error;
      if (!tty::writeWav(wavs[f], tty::Audio{rate, std::move(audio)}, &error)) fail(error);
    });
    for (double x : seconds) audioSeconds_ += x;
    std::vector<Scores> scores(wavs.size());
    auto decodeAll = [&](const std::function<std::string(const std::string&)>& decode, bool ours) {
      const double before = childCpuSeconds();
      onTwoThreads(files, [&](int i) {
        const auto f = static_cast<std::size_t>(i);
        const std::string out = decode(wavs[f]);
        (ours ? scores[f].ours : scores[f].theirs) = cer(reference, out);
        (ours ? scores[f].oursChars : scores[f].theirsChars) = printedChars(out);
      });
      (ours ? ourCpu_ : theirCpu_) += childCpuSeconds() - before;
    };
    decodeAll(
        [&](const std::string& wav) {
          auto r = runProgram({softtty_, "--decode", wav, "--quiet"});
          if (r.exitCode != 0) fail("softtty failed: " + r.err);
          return r.out;
        },
        true);
    char stop[16];
    std::snprintf(stop, sizeof stop, "%g", stopBits);
    decodeAll([&](const std::string& wav) { return runProgram({minimodem_, "--rx", "tdd", "--stopbits", stop, "-q", "-f", wav}).out; },
              false);
    if (keep_.empty()) {
      for (const auto& w : wavs) fs::remove(w);
    }
    return scores;
  }
  // One file.
  Scores run(const std::vector<float>& audio, const std::string& reference, double stopBits = 1.5,
             int rate = 8000) {
    return runFiles(1, [&audio](int) { return audio; }, reference, stopBits, rate)[0];
  }
  void keep(std::string folder) { keep_ = std::move(folder); }
  double speed() const { return ourCpu_ > 0 ? audioSeconds_ / ourCpu_ : 0; }
  double theirSpeed() const { return theirCpu_ > 0 ? audioSeconds_ / theirCpu_ : 0; }
  double audioSeconds() const { return audioSeconds_; }
  double ourCpu() const { return ourCpu_; }

  [[noreturn]] static void fail(const std::string& why) {
    std::fprintf(stderr, "softtty_bench: %s\n", why.c_str());
    std::exit(1);
  }

 private:
  std::string softtty_, minimodem_;
  kit::testing::TempDir& dir_;
  std::string keep_;
  double audioSeconds_ = 0, ourCpu_ = 0, theirCpu_ = 0;
};

// The text as a sender sends it whose character period varies: continuous-phase tones, a LTRS
// first, FIGS or LTRS when the shift changes (FIGS again after a space), each character's stop
// drawn from [stopFrom, stopTo] bits and each change between bits up to jitterMs off.
std::vector<float> uneven(const std::string& text, const tty::Tones& tones, const Row& r,
                          std::uint64_t seed) {
  namespace baudot = tty::baudot;
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> stop(r.stopFrom, r.stopTo), jitter(-r.jitterMs, r.jitterMs);
  const double bit = tones.samplesPerBit(), perMs = tones.rate / 1000.0;
  std::vector<float> out;
  double phase = 0, clock = 0;
  auto tone = [&](bool mark, double until) {
    const double step = 2 * std::numbers::pi * (mark ? tones.markHz : tones.spaceHz) / tones.rate;
    for (; static_cast<double>(out.size()) < until; phase += step)
      out.push_back(static_cast<float>(tones.amplitude * std::sin(phase)));
  };
  auto code = [&](int c) {
    const double start = clock;
    for (int j = 0; j < 6; ++j)
      tone(j > 0 && ((c >> (j - 1)) & 1) != 0, start + (j + 1) * bit + jitter(random) * perMs);
    clock = start + (6 + stop(random)) * bit;
    tone(true, clock + jitter(random) * perMs);
  };
  tone(true, tones.leadIn * tones.rate);
  clock = static_cast<double>(out.size());
  for (int c : baudot::codesOf(text)) code(c);
  tone(true, clock + 0.3 * tones.rate);
  return out;
}

// A tone alone: half a second of silence, 4 to 8 s of the tone (its length, its frequency within
// 5 Hz and its start phase drawn from the seed), half a second of silence.
std::vector<float> toneAlone(const Row& r, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  const double seconds = std::uniform_real_distribution<double>(4, 8)(random);
  const double hz = r.toneHz + std::uniform_real_distribution<double>(-5, 5)(random);
  double phase = std::uniform_real_distribution<double>(0, 2 * std::numbers::pi)(random);
  std::vector<float> out(static_cast<std::size_t>(0.5 * r.rate), 0.0f);
  const auto n = static_cast<std::size_t>(seconds * r.rate);
  for (std::size_t i = 0; i < n; ++i, phase += 2 * std::numbers::pi * hz / r.rate)
    out.push_back(static_cast<float>(r.amplitude * std::sin(phase)));
  out.resize(out.size() + static_cast<std::size_t>(0.5 * r.rate), 0.0f);
  return out;
}

// Samples deleted from the audio, or inserted (the ones just before a point played again, or
// silence), as a buffer that slips does, at r.slipEvents points: the span from `from` to the end less `tail` is cut in as
// many equal parts, and each event falls in the middle 80 % of its part.
void slip(std::vector<float>& audio, const Row& r, std::size_t from, std::size_t tail, std::uint64_t seed) {
  if (audio.size() < from + tail + 2 * static_cast<std::size_t>(r.slipSamples)) return;
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> where(0.1, 0.9);
  const double part = static_cast<double>(audio.size() - from - tail) / r.slipEvents;
  std::vector<std::size_t> at;
  for (int e = 0; e < r.slipEvents; ++e)
    at.push_back(from + static_cast<std::size_t>((e + where(random)) * part));
  const auto n = static_cast<std::ptrdiff_t>(r.slipSamples);
  // From the last event back, so that the earlier points stay where they were drawn.
  for (auto it = at.rbegin(); it != at.rend(); ++it) {
    const auto p = audio.begin() + static_cast<std::ptrdiff_t>(*it);
    if (r.slipKind == Row::Slip::Repeat) {
      const std::vector<float> again(p - n, p);
      audio.insert(p, again.begin(), again.end());
    } else if (r.slipKind == Row::Slip::Silence) {
      audio.insert(p, static_cast<std::size_t>(n), 0.0f);
    } else {
      audio.erase(p, p + n);
    }
  }
}

std::vector<float> make(const Row& r, const std::string& text, std::uint64_t seed) {
  if (r.toneHz > 0) return toneAlone(r, seed);
  tty::Tones tones;
  tones.rate = r.rate;
  tones.amplitude = r.amplitude;
  tty::SenderQuirks quirks = r.quirks;
  quirks.seed = seed;
  // The silence before the text: half a second, or drawn to the sample from 0.3 to 0.7 s, which
  // moves the text's bits against the decoders' blocks and the path's frames from file to file
  // (a row with no noise would otherwise have ten files the same).
  double leading = 0.5;
  if (r.leadingDrawn) {
    std::mt19937_64 random(seed * 6151);
    leading = std::uniform_real_distribution<double>(0.3, 0.7)(random);
  }
  std::vector<float> signal(static_cast<std::size_t>(leading * tones.rate), 0.0f);
  if (r.turnDbfs != 0) {
    // Split at spaces into thirds; each turn keeps its spaces, so the text received is the same.
    std::vector<std::string> turns(1);
    for (char c : text) {
      turns.back() += c;
      if (c == ' ' && turns.size() < 3 && turns.back().size() * 3 >= text.size()) turns.emplace_back();
    }
    for (std::size_t i = 0; i < turns.size(); ++i) {
      tones.amplitude = i == 1 ? std::pow(10, r.turnDbfs / 20) : 0.5;
      auto tx = tty::Encoder::transmission(turns[i], tones, quirks, 0.3);
      signal.insert(signal.end(), tx.begin(), tx.end());
      signal.resize(signal.size() + static_cast<std::size_t>(tones.rate), 0.0f);
    }
  } else {
    auto tx =
        r.stopTo > 0 ? uneven(text, tones, r, seed) : tty::Encoder::transmission(text, tones, quirks, 0.3);
    const std::size_t middle = signal.size() + tx.size() / 2;
    signal.insert(signal.end(), tx.begin(), tx.end());
    const auto gain = static_cast<float>(std::pow(10, r.stepDb / 20));
    for (std::size_t i = middle; i < signal.size(); ++i) signal[i] *= gain;
  }
  signal.resize(signal.size() + static_cast<std::size_t>(0.5 * tones.rate), 0.0f);
  // Noise is measured against the nominal tone of -9 dBFS, whatever the level sent.
  tty::Impairments path = r.path;
  path.seed = seed * 7919;
  auto heard = tty::impair(signal, path, tones.rate, 0.125);
  if (r.clip > 0) {
    for (float& x : heard) x = std::clamp(x * static_cast<float>(r.clip), -1.0f, 1.0f);
  }
  if (r.codec) {
    std::string error;
    tty::CodecSettings c = *r.codec;
    c.seed = seed * 104729;
    auto codec = tty::Codec::create(c, tones.rate, &error);
    if (!codec) Bench::fail(error);
    std::vector<float> out;
    heard.resize(heard.size() + 320, 0.0f);  // the frame the codec holds back
    codec->process(heard, out);
    heard.swap(out);
  }
  if (r.slipSamples > 0) {
    // Over the characters: after the leading silence and the carrier's lead-in, before the
    // trailing carrier and silence.
    slip(heard, r, static_cast<std::size_t>((leading + tones.leadIn) * tones.rate),
         static_cast<std::size_t>(0.8 * tones.rate), seed * 31);
  }
  return heard;
}

// The text through ttysim's audio channel: tty::AudioLine, the line that `ttysim --channel
// audio,codec=amr-nb:MODE,fer=RATE[,burst=FRAMES]` makes, sending character by character as
// ttysim does: each character's tones, the carrier held 3 bits after it for the next one, the
// codec with its erasures. The text is typed faster than the line sends it, so the carrier never
// drops. `seed` is the line's own (ttysim --seed S uses 2S+1 for the line that brings the far
// end's text to the program). Returns the audio the far end hears, with half a second of silence
// either side, and sets *printed to what ttysim's own decoder printed.
std::vector<float> throughChannel(const std::string& text, const tty::CodecSettings& codec, std::uint64_t seed,
                                  std::string* printed) {
  tty::AudioLineSettings settings;
  settings.codec = codec;
  std::string error;
  auto line = tty::AudioLine::create(settings, seed, &error);
  if (!line) Bench::fail(error);
  std::vector<float> audio(4000, 0.0f);
  line->listen(&audio);
  printed->clear();
  for (char c : text) *printed += line->pass(c);
  line->listen(nullptr);
  audio.resize(audio.size() + 4000, 0.0f);
  return audio;
}

// The same erasures on the bench's back-to-back audio and on ttysim's channel, ten files a row:
// softtty and minimodem on each, and what ttysim's own decoder printed on the channel.
void compareAmr(Bench& bench, const std::string& text, const std::string& reference, int mode,
                std::uint64_t firstSeed) {
  struct Kind {
    const char* name;
    double burst;
  };
  std::printf(
      "\nCER in per cent through AMR-NB %s kbit/s, mean of 10 files a row: the bench's back-to-back audio\n"
      "and ttysim's channel (its AudioLine: 3 bits of carrier after each character), softtty / minimodem,\n"
      "and ttysim's own decoder on the channel. Seeds S to S+9: the back-to-back file's, and ttysim --seed S\n"
      "(the line's seed 2S+1):\n\n"
      "| erasures | FER | seeds | back-to-back | ttysim's channel | ttysim's own |\n|---|---|---|---|---|---|\n",
      tty::amrModeName(mode));
  std::uint64_t seed = firstSeed;
  for (const Kind& kind : {Kind{"independent", 1}, Kind{"runs of 3 frames (mean)", 3}}) {
    for (double fer : {0.005, 0.01, 0.02, 0.05, 0.1, 0.2}) {
      Row r{"AMR-NB", "", false};
      r.codec = tty::CodecSettings{.mode = mode, .erasures = fer, .burst = kind.burst};
      constexpr int kFiles = 10;
      Scores back, line;
      double own = 0;
      const auto backs = bench.runFiles(
          kFiles, [&](int f) { return make(r, text, seed + static_cast<std::uint64_t>(f)); }, reference);
      std::vector<std::string> printed(kFiles);
      const auto lines = bench.runFiles(
          kFiles,
          [&](int f) {
            const std::uint64_t s = seed + static_cast<std::uint64_t>(f);
            return throughChannel(text, *r.codec, 2 * s + 1, &printed[static_cast<std::size_t>(f)]);
          },
          reference);
      for (std::size_t f = 0; f < kFiles; ++f) {
        const Scores& b = backs[f];
        const Scores& l = lines[f];
        back.ours += b.ours / kFiles;
        back.theirs += b.theirs / kFiles;
        line.ours += l.ours / kFiles;
        line.theirs += l.theirs / kFiles;
        own += cer(reference, printed[f]) / kFiles;
      }
      std::printf("| %s | %g %% | %llu-%llu | %.2f / %.2f | %.2f / %.2f | %.2f |\n", kind.name, fer * 100,
                  static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed + kFiles - 1),
                  back.ours, back.theirs, line.ours, line.theirs, own);
      std::fflush(stdout);
      seed += 100;
    }
  }
}

// The text of samples/script.txt, its lines joined by spaces as a TTY user types them.
std::string scriptText() {
  std::ifstream scriptFile(SAMPLES_DIR "/script.txt");
  std::string text, line;
  while (std::getline(scriptFile, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) text += line + ' ';
  }
  return text;
}

bool writeAll(int fd, const void* data, std::size_t n) {
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// A day of loud noise, then a quiet text. `hours` of white noise at -6 dBFS (6 dB below a
// full-scale sine's power, as a 16-bit recording has it, clipped at full scale), a second of
// silence, the text at -50 dBFS and a second of silence go through a pipe into `softtty --decode -`
// as a streamed WAV, made a second at a time and never kept. softtty's listing (on a file: a line
// per code heard) gives when each character began: every character printed before the text is a
// false one. Returns 1 when there is one, or when the text has an error.
int dayRun(const std::string& softtty, const std::string& text, const std::string& reference, double hours,
           int rate) {
  kit::testing::TempDir dir;
  const std::string outPath = dir.file("text.txt"), errPath = dir.file("listing.txt");
  int fds[2];
  if (pipe(fds) != 0) Bench::fail(std::string("pipe: ") + std::strerror(errno));
  std::signal(SIGPIPE, SIG_IGN);
  const auto wallStart = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) Bench::fail(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(fds[0], 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    close(fds[0]);
    close(fds[1]);
    execl(softtty.c_str(), softtty.c_str(), "--decode", "-", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  const int to = fds[1];

  // A WAV header for a stream: no length known.
  std::string header = "RIFF\xff\xff\xff\xffWAVEfmt ";
  auto le = [&header](std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) header += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  le(16, 4);
  le(1, 2);  // PCM
  le(1, 2);  // mono
  le(static_cast<std::uint32_t>(rate), 4);
  le(static_cast<std::uint32_t>(rate * 2), 4);
  le(2, 2);
  le(16, 2);
  header += "data\xff\xff\xff\xff";
  bool ok = writeAll(to, header.data(), header.size());

  const double sigma = std::pow(10, -6.0 / 20) / std::sqrt(2.0);
  std::mt19937_64 random(24);
  std::normal_distribution<float> gauss(0, static_cast<float>(sigma));
  std::vector<std::int16_t> block(static_cast<std::size_t>(rate));
  auto sample = [](float x) {
    return static_cast<std::int16_t>(std::clamp(std::round(x * 32767.0f), -32768.0f, 32767.0f));
  };
  const long noiseSeconds = std::lround(hours * 3600);
  double generating = 0;
  for (long second = 0; ok && second < noiseSeconds; ++second) {
    const auto t0 = std::chrono::steady_clock::now();
    for (auto& x : block) x = sample(gauss(random));
    generating += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ok = writeAll(to, block.data(), block.size() * sizeof block[0]);
  }
  tty::Tones quiet;
  quiet.rate = rate;
  quiet.amplitude = std::pow(10, -50.0 / 20);
  std::vector<float> tail(static_cast<std::size_t>(rate), 0.0f);
  const auto tx = tty::Encoder::transmission(text, quiet, {}, 0.3);
  tail.insert(tail.end(), tx.begin(), tx.end());
  tail.resize(tail.size() + static_cast<std::size_t>(rate), 0.0f);
  std::vector<std::int16_t> pcm;
  for (float x : tail) pcm.push_back(sample(x));
  if (ok) ok = writeAll(to, pcm.data(), pcm.size() * sizeof pcm[0]);
  close(to);
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    Bench::fail("softtty --decode - failed; its messages are in " + errPath);

  // The listing: "    time  name  code ..." per code, a name with '?' after it when doubtful.
  const double textStart = static_cast<double>(noiseSeconds) + 1.0;
  std::ifstream listing(errPath);
  std::string entry, summary;
  long falseChars = 0, doubtfulInNoise = 0;
  while (std::getline(listing, entry)) {
    if (entry.rfind("softtty: ", 0) == 0) summary = entry;
    double time = 0;
    char name[32] = "";
    int code = 0;
    if (std::sscanf(entry.c_str(), "%lf %31s %d", &time, name, &code) != 3) continue;
    const std::string n = name;
    const bool doubtful = n.size() > 1 && n.back() == '?';
    if (time >= textStart || n == "LTRS" || n == "FIGS") continue;
    (doubtful ? doubtfulInNoise : falseChars)++;
  }
  std::ifstream printedFile(outPath);
  std::string printed((std::istreambuf_iterator<char>(printedFile)), std::istreambuf_iterator<char>());
  // The characters printed before the text are the first ones printed.
  const std::string heard = printed.substr(std::min(printed.size(), static_cast<std::size_t>(falseChars)));
  const double textCer = cer(reference, heard);
  const double audioSeconds = static_cast<double>(noiseSeconds) + static_cast<double>(tail.size()) / rate;
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::printf(
      "%.2f hours of white noise at -6 dBFS, then %zu characters at -50 dBFS, %d Hz 16-bit, streamed through a "
      "pipe into softtty --decode -\n"
      "audio %.2f hours; wall time %.1f s (%.0f x real time; %.1f s of it making the noise); softtty %.1f s of "
      "CPU (%.0f x real time), at most %ld MB resident\n"
      "text after the noise: CER %.2f %%; false characters from the noise %ld (doubtful codes not printed %ld)\n"
      "%s\n",
      static_cast<double>(noiseSeconds) / 3600, reference.size(), rate, audioSeconds / 3600, wall,
      audioSeconds / wall, generating, cpu, audioSeconds / cpu, usage.ru_maxrss / 1024, textCer, falseChars,
      doubtfulInNoise, summary.c_str());
  const bool met = textCer == 0 && falseChars == 0;
  std::printf("goal %s\n", met ? "met" : "MISSED");
  return met ? 0 : 1;
}

const char* winner(double ours, double theirs) {
  if (std::fabs(ours - theirs) < 0.05) return "tie";
  return ours < theirs ? "softtty" : "minimodem";
}

}  // namespace

int main(int argc, char** argv) {
  fs::path build = "build";
  bool amrOnly = false;
  std::string only;  // not empty: only the rows whose impairment and level contain it
  std::string keep;  // not empty: the folder the rows' audio files are kept in
  bool noiseOnly = false;  double dayHours = 0;
  int dayRate = 8000;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--amr") {
      amrOnly = true;
    } else if (a == "--noise") {
      noiseOnly = true;
    } else if (a == "--keep" && i + 1 < argc) {
      keep = argv[++i];
    } else if (a == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else if (a == "--day" && i + 1 < argc) {
      dayHours = std::atof(argv[++i]);
      if (!(dayHours > 0)) Bench::fail("--day takes the hours of noise, more than 0");
    } else if (a == "--rate" && i + 1 < argc) {
      dayRate = std::atoi(argv[++i]);
      if (dayRate < 8000) Bench::fail("--rate takes 8000 Hz or more");
    } else if (!a.empty() && a[0] != '-') {
      build = a;
    } else {
      Bench::fail("usage: softtty_bench [build_folder] [--amr | --only TEXT [--keep DIR] | --noise | --day HOURS [--rate HZ]]");
    }
  }
  const std::string softtty = (build / "bin" / "softtty").string();
  if (access(softtty.c_str(), X_OK) != 0) Bench::fail("no " + softtty + " (build first)");
  if (dayHours > 0) {
    const std::string text = scriptText();
    return dayRun(softtty, text, asReceived(text), dayHours, dayRate);
  }
  const std::string minimodem = findInPath("minimodem");
  if (minimodem.empty()) Bench::fail("minimodem is not installed (apt-get install minimodem)");
  if (!tty::amrAvailable())
    Bench::fail("built without the AMR-NB codec (apt-get install libopencore-amrnb-dev)");

  const std::string text = scriptText();
  const std::string reference = asReceived(text);
  kit::testing::TempDir dir;
  Bench bench(softtty, minimodem, dir);
  if (!keep.empty()) {
    std::error_code error;
    fs::create_directories(keep, error);
    if (error) Bench::fail(keep + ": " + error.message());
    bench.keep(keep);
  }

  std::vector<Row> rows;
  std::uint64_t nextSeed = 10100;
  auto add = [&rows, &nextSeed](std::string impairment, std::string level, bool survivable,
                                const std::function<void(Row&)>& set) {
    Row r{impairment, level, survivable};
    r.leadingDrawn = true;
    set(r);
    if (r.seed == 0) {
      r.seed = nextSeed;
      nextSeed += 100;
    }
    rows.push_back(r);
  };
  add("none", "", true, [](Row&) {});
  for (double snr : {20.0, 10.0, 6.0, 3.0, 0.0, -3.0, -6.0}) {
    add("white noise, SNR", std::to_string(static_cast<int>(snr)) + " dB", snr >= 0,
        [snr](Row& r) { r.path.snrDb = snr; });
  }
  add("white noise, SNR", "-9 dB", false, [](Row& r) { r.path.snrDb = -9.0; });
  for (double snr : {10.0, 6.0, 3.0, 0.0}) {
    add("noise in 1200-2000 Hz, SNR", std::to_string(static_cast<int>(snr)) + " dB", snr >= 10,
        [snr](Row& r) {
          r.path.snrDb = snr;
          r.path.noiseLowHz = 1200;
          r.path.noiseHighHz = 2000;
        });
  }
  for (double hz : {-60.0, -40.0, -20.0, 20.0, 40.0, 60.0}) {
    char level[32];
    std::snprintf(level, sizeof level, "%+.0f Hz", hz);
    add("tones off frequency", level, std::fabs(hz) <= 40, [hz](Row& r) { r.quirks.offsetHz = hz; });
  }
  for (double t : {-0.06, -0.05, -0.02, 0.02, 0.05, 0.06}) {
    char level[32];
    std::snprintf(level, sizeof level, "%+.0f %%", t * 100);
    add("bit length", level, std::fabs(t) <= 0.05, [t](Row& r) { r.quirks.timing = t; });
  }
  // At 48 kHz with white noise up to 24 kHz: the SNR is the one in the telephone band's 4 kHz, as
  // at 8 kHz (the noise over the whole 24 kHz is six times as strong).
  for (double snr : {0.0, -3.0, -6.0}) {
    add("white noise to 24 kHz at 48 kHz, SNR in 0-4 kHz", std::to_string(static_cast<int>(snr)) + " dB",
        snr >= -3, [snr](Row& r) {
          r.rate = 48000;
          r.path.snrDb = snr - 10 * std::log10(6.0);
          r.seed = 3000 + static_cast<std::uint64_t>(-snr) * 100;
        });
  }
  add("white noise, SNR", "-9 dB, 10 files", false, [](Row& r) {
    r.path.snrDb = -9.0;
    r.seed = 4000;
  });
  add("white noise, SNR", "-6 dB, 10 files", false, [](Row& r) {
    r.path.snrDb = -6.0;
    r.seed = 4100;
  });
  add("noise in 1200-2000 Hz, SNR", "0 dB, 10 files", false, [](Row& r) {
    r.path.snrDb = 0.0;
    r.path.noiseLowHz = 1200;
    r.path.noiseHighHz = 2000;
    r.seed = 4200;
  });
  add("level", "-50 dBFS", true, [](Row& r) { r.amplitude = std::pow(10, -50.0 / 20); });
  for (double step : {-14.0, -20.0, -40.0}) {
    add("level step halfway", std::to_string(static_cast<int>(step)) + " dB", false, [step](Row& r) {
      r.stepDb = step;
    });
  }
  for (double turn : {-20.0, -46.0}) {
    add("quiet middle turn after a -6 dBFS one", std::to_string(static_cast<int>(turn)) + " dBFS", true,
        [turn](Row& r) {
          r.turnDbfs = turn;
        });
  }
  // Senders whose character period varies, each row over ten files (seeds of their own); minimodem
  // is told the shortest stop.
  struct Mix {
    double from, to, jitterMs;
  };
  std::uint64_t mixSeed = 2000;
  for (const Mix& m : {Mix{1.0, 2.0, 0}, Mix{1.5, 2.5, 0}, Mix{1.5, 3.0, 0}, Mix{1.0, 3.0, 0},
                       Mix{1.5, 1.5, 1.0}, Mix{1.0, 3.0, 1.0}}) {
    char level[64];
    if (m.from == m.to) {
      std::snprintf(level, sizeof level, "%g bits%s", m.from, m.jitterMs > 0 ? ", 1 ms jitter" : "");
    } else {
      std::snprintf(level, sizeof level, "%g-%g bits%s", m.from, m.to, m.jitterMs > 0 ? ", 1 ms jitter" : "");
    }
    add(m.jitterMs > 0 ? "stop per character, bit jitter" : "stop per character", level, true, [&](Row& r) {
      r.stopFrom = m.from;
      r.stopTo = m.to;
      r.jitterMs = m.jitterMs;
        r.seed = mixSeed;
      mixSeed += 100;
    });
  }
  add("clipped", "x10 (20 dB over full scale)", true, [](Row& r) { r.clip = 10; });
  for (double p : {0.1, 0.3}) {
    add("phase jumps per bit", std::to_string(static_cast<int>(p * 100)) + " %", true,
        [p](Row& r) { r.quirks.phaseJumps = p; });
  }
  for (double p : {0.01, 0.03, 0.05}) {
    add("20 ms frames lost (silence)", std::to_string(static_cast<int>(p * 100)) + " %", p <= 0.01,
        [p](Row& r) { r.path.lost = p; });
  }
  add("20 ms frames repeated", "1 %", false, [](Row& r) { r.path.repeated = 0.01; });
  add("20 ms frames left out", "1 %", false, [](Row& r) { r.path.dropped = 0.01; });
  add("sender relies on unshift-on-space", "no LTRS after a space", true,
      [](Row& r) { r.quirks.unshiftOnSpace = true; });
  for (int mode : {0, 7}) {
    add("AMR-NB, no erasures", std::string(tty::amrModeName(mode)) + " kbit/s", true,
        [mode](Row& r) { r.codec = tty::CodecSettings{.mode = mode}; });
  }

  // Tones alone, the mark and the space, at a few levels: nothing is to be printed.
  std::vector<Row> tonesAlone;
  for (double hz : {1400.0, 1800.0}) {
    for (double dbfs : {-6.0, -26.0, -46.0}) {
      Row r{"tone alone", std::to_string(static_cast<int>(hz)) + " Hz, " + std::to_string(static_cast<int>(dbfs)) +
                              " dBFS"};
      r.toneHz = hz;
      r.amplitude = std::pow(10, dbfs / 20);
      r.seed = nextSeed;
      nextSeed += 100;
      tonesAlone.push_back(r);
    }
  }
  // Samples deleted or repeated, a few events a file.
  constexpr double kMostLostPerSlip = 10;  // characters softtty may lose at each event
  std::vector<Row> slips;
  for (Row::Slip kind : {Row::Slip::Delete, Row::Slip::Repeat, Row::Slip::Silence}) {
    for (int n : {10, 40, 80, 160, 240}) {
      char level[48];
      std::snprintf(level, sizeof level, "%d samples (%g ms) x 4", n, n / 8.0);
      Row r{kind == Row::Slip::Delete   ? "samples deleted"
            : kind == Row::Slip::Repeat ? "samples inserted, the ones before repeated"
                                        : "samples inserted, silence",
            level};
      r.slipSamples = n;
      r.slipKind = kind;
      r.leadingDrawn = true;
      r.seed = nextSeed;
      nextSeed += 100;
      slips.push_back(r);
    }
  }
  auto chosen = [&only](const Row& r) {
    return only.empty() || (r.impairment + " " + r.level).find(only) != std::string::npos;
  };
  // Files of a row, in parallel; each file's seed follows the row's first.
  auto runRow = [&](const Row& r) {
    return bench.runFiles(
        r.files, [&](int f) { return make(r, text, r.seed + static_cast<std::uint64_t>(f)); },
        r.toneHz > 0 ? std::string() : reference, r.stopTo > 0 ? r.stopFrom : 1.5, r.rate,
        r.impairment + " " + r.level);
  };
  constexpr double kMostAboveMinimodem = 0.5;  // points of CER softtty may have over minimodem's

  std::printf("%zu characters per file; softtty %s, %s --rx tdd --stopbits 1.5\n", reference.size(),
              softtty.c_str(), minimodem.c_str());
  int missed = 0;
  auto goalMissed = [&missed](const Row& r, const char* why) {
    ++missed;
    std::fprintf(stderr, "  %s: %s %s\n", why, r.impairment.c_str(), r.level.c_str());
  };
  auto anyChosen = [&chosen](const std::vector<Row>& group) { return std::ranges::any_of(group, chosen); };
  const bool rowsToo = !amrOnly && !noiseOnly;
  if (rowsToo && anyChosen(rows)) {
    std::printf(
        "\nCER in per cent, one row per impairment and level, each the mean of 10 files with seeds of their own:\n\n");
    std::printf("| impairment | level | softtty | minimodem | fewer errors |\n|---|---|---|---|---|\n");
    for (const Row& r : rows) {
      if (!chosen(r)) continue;
      Scores s;
      bool anyError = false;
      for (const Scores& one : runRow(r)) {
        s.ours += one.ours / r.files;
        s.theirs += one.theirs / r.files;
        anyError = anyError || one.ours > 0;
      }
      std::printf("| %s | %s | %.2f | %.2f | %s |\n", r.impairment.c_str(), r.level.c_str(), s.ours, s.theirs,
                  winner(s.ours, s.theirs));
      std::fflush(stdout);
      if (r.survivable && anyError) goalMissed(r, "softtty made errors where none are expected");
      if (s.ours > s.theirs + kMostAboveMinimodem) goalMissed(r, "softtty more than 0.5 points above minimodem");
    }
  }
  if (rowsToo && anyChosen(tonesAlone)) {
    std::printf(
        "\nCharacters printed from a tone alone (4-8 s of it, within 5 Hz; no text sent), mean of 10 files a row\n"
        "and the most in one file:\n\n| impairment | level | softtty | minimodem |\n|---|---|---|---|\n");
    for (const Row& r : tonesAlone) {
      if (!chosen(r)) continue;
      double ours = 0, theirs = 0;
      std::size_t oursMost = 0, theirsMost = 0;
      for (const Scores& one : runRow(r)) {
        ours += static_cast<double>(one.oursChars) / r.files;
        theirs += static_cast<double>(one.theirsChars) / r.files;
        oursMost = std::max(oursMost, one.oursChars);
        theirsMost = std::max(theirsMost, one.theirsChars);
      }
      std::printf("| %s | %s | %.1f (most %zu) | %.1f (most %zu) |\n", r.impairment.c_str(), r.level.c_str(), ours,
                  oursMost, theirs, theirsMost);
      std::fflush(stdout);
      if (oursMost > 0) goalMissed(r, "softtty printed characters from a tone alone");
    }
  }
  if (rowsToo && anyChosen(slips)) {
    std::printf(
        "\nSamples deleted from the audio, or inserted (the ones before played again, or silence), at 4 points\n"
        "spread over the text, mean of 10 files a row: CER in per cent, and characters lost per event (edits over events; the most\n"
        "in one file in brackets):\n\n"
        "| impairment | event | softtty CER | minimodem CER | softtty lost per event | minimodem lost per event | "
        "fewer errors |\n|---|---|---|---|---|---|---|\n");
    for (const Row& r : slips) {
      if (!chosen(r)) continue;
      Scores s;
      double oursLost = 0, theirsLost = 0, oursMost = 0, theirsMost = 0;
      const double perEvent = static_cast<double>(reference.size()) / 100 / r.slipEvents;
      for (const Scores& one : runRow(r)) {
        s.ours += one.ours / r.files;
        s.theirs += one.theirs / r.files;
        oursLost += one.ours * perEvent / r.files;
        theirsLost += one.theirs * perEvent / r.files;
        oursMost = std::max(oursMost, one.ours * perEvent);
        theirsMost = std::max(theirsMost, one.theirs * perEvent);
      }
      std::printf("| %s | %s | %.2f | %.2f | %.2f (%.2f) | %.2f (%.2f) | %s |\n", r.impairment.c_str(),
                  r.level.c_str(), s.ours, s.theirs, oursLost, oursMost, theirsLost, theirsMost,
                  winner(s.ours, s.theirs));
      std::fflush(stdout);
      // A little over the bound for rounding: the figures come from a per-cent rate.
      if (oursMost > kMostLostPerSlip + 1e-9) goalMissed(r, "softtty lost more than 10 characters at an event");
      if (s.ours > s.theirs + kMostAboveMinimodem) goalMissed(r, "softtty more than 0.5 points above minimodem");
    }
  }

  // Ten minutes of noise confined to the tones' band: every character printed is a false one.
  if (!amrOnly && only.empty()) {
    Row r{"noise only", "", false};
    r.amplitude = 0;
    r.path.snrDb = 0;
    r.path.noiseLowHz = 1200;
    r.path.noiseHighHz = 2000;
    std::vector<float> silence(600 * 8000, 0.0f);
    tty::Impairments path = r.path;
    path.seed = 99;
    const Scores s = bench.run(tty::impair(silence, path, 8000, 0.125), "");
    std::printf(
        "\nfalse characters in 10 minutes of noise in 1200-2000 Hz (-9 dBFS): softtty %zu, minimodem %zu\n",
        s.oursChars, s.theirsChars);
    if (s.oursChars > 0) ++missed;
  }
  // And ten minutes of white noise, at 8 kHz and at 48 kHz (up to 24 kHz).
  for (int rate : {8000, 48000}) {
    if (amrOnly || !only.empty()) break;
    tty::Impairments path;
    path.snrDb = 0;
    path.seed = 98;
    std::vector<float> silence(static_cast<std::size_t>(600 * rate), 0.0f);
    const Scores s = bench.run(tty::impair(silence, path, rate, 0.125), "", 1.5, rate);
    std::printf(
        "false characters in 10 minutes of white noise at %d Hz (-9 dBFS): softtty %zu, minimodem %zu\n",
        rate, s.oursChars, s.theirsChars);
    if (s.oursChars > 0) ++missed;
  }

  if (!only.empty() || noiseOnly) {
    std::printf("goal %s\n", missed == 0 ? "met" : "MISSED");
    return missed == 0 ? 0 : 1;
  }
  // CER against the frame erasure rate, for each AMR-NB mode, one file a cell, with the seeds it
  // was published with (37 on).
  std::uint64_t seed = 37;
  const std::vector<double> fers = {0, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2};
  std::printf(
      "\nCER in per cent through AMR-NB against the frame erasure rate (independent erasures),\n"
      "softtty / minimodem:\n\n| mode kbit/s |");
  for (double f : fers) std::printf(" FER %g %% |", f * 100);
  std::printf("\n|---|");
  for (std::size_t i = 0; i < fers.size(); ++i) std::printf("---|");
  std::printf("\n");
  for (int mode = 0; mode < tty::kAmrModes; ++mode) {
    std::printf("| %s |", tty::amrModeName(mode));
    for (double f : fers) {
      Row r{"AMR-NB", "", false};
      r.codec = tty::CodecSettings{.mode = mode, .erasures = f};
      const Scores s = bench.run(make(r, text, seed++), reference);
      std::printf(" %.2f / %.2f |", s.ours, s.theirs);
      std::fflush(stdout);
    }
    std::printf("\n");
  }

  // The same erasures on back-to-back audio and on ttysim's channel, at ttysim's default mode.
  compareAmr(bench, text, reference, 7, 6000);

  const double speed = bench.speed();
  std::printf(
      "\nsofttty decodes %.0f x real time on one core (%.0f s of audio in %.1f s of CPU); minimodem %.0f x\n",
      speed, bench.audioSeconds(), bench.ourCpu(), bench.theirSpeed());
  if (speed < 50) ++missed;
  std::printf("goal %s\n", missed == 0 ? "met" : "MISSED");
  return missed == 0 ? 0 : 1;
}
