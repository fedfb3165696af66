// softtty's decoder against minimodem's TDD mode on one grid of generated test audio.
//
//   softtty_bench [build_folder]
//
// The text of samples/script.txt (its lines joined by spaces, as a TTY user types them) is sent
// as tones with 2 stop bits, the setting minimodem needs, at every point of the grid: SNR from
// 30 dB down to 0 dB (white noise over the whole 4 kHz band), both tones off by up to 40 Hz, bits
// 5 % short or long, and 0, 1 or 3 % of the 20 ms audio frames lost (silence in their place, as a
// receiving phone mutes an erased frame). Each file is decoded by `softtty --decode` and by
// `minimodem --rx tdd`, and each text scored by its character error rate against what was sent.
//
// The goal, checked here: softtty's CER is nowhere higher than minimodem's, and at most half of it
// where minimodem's is above 1 %; softtty decodes at least 50 times faster than real time on one
// core (its CPU time over all the files). Exits with 1 when a goal is missed or minimodem is not
// there.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "baudot.h"
#include "impair.h"
#include "run_program.h"
#include "temp_dir.h"
#include "tones.h"
#include "wav.h"

namespace {

namespace fs = std::filesystem;
using kit::testing::runProgram;

// What a receiver that heard everything prints for the text: capitals, figures as the table has
// them, nothing for characters with no Baudot form.
std::string asReceived(const std::string& text) {
  namespace baudot = ttysim::baudot;
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

struct Point {
  double snr, offset, timing, loss;
  double ours = 0, theirs = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const fs::path build = argc > 1 ? argv[1] : "build";
  const std::string softtty = (build / "bin" / "softtty").string();
  const std::string minimodem = findInPath("minimodem");
  if (access(softtty.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "softtty_bench: no %s (build first)\n", softtty.c_str());
    return 1;
  }
  if (minimodem.empty()) {
    std::fprintf(stderr, "softtty_bench: minimodem is not installed (apt-get install minimodem)\n");
    return 1;
  }

  std::ifstream scriptFile(SAMPLES_DIR "/script.txt");
  std::string text, line;
  while (std::getline(scriptFile, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) text += line + ' ';
  }
  const std::string reference = asReceived(text);

  softtty::Tones tones;
  tones.stopBits = 2;
  const double tonePower = tones.amplitude * tones.amplitude / 2;
  kit::testing::TempDir dir;
  const std::string wav = dir.file("point.wav");

  std::vector<Point> points;
  for (double snr : {30.0, 20.0, 10.0, 6.0, 3.0, 0.0})
    for (double loss : {0.0, 0.01, 0.03})
      for (double offset : {-40.0, -20.0, 0.0, 20.0, 40.0})
        for (double timing : {-0.05, 0.0, 0.05}) points.push_back({snr, offset, timing, loss});

  std::printf("%zu points, %zu characters each; softtty %s, %s\n", points.size(), reference.size(),
              softtty.c_str(), minimodem.c_str());
  double audioSeconds = 0, ourCpu = 0;
  std::uint64_t seed = 1;
  for (Point& p : points) {
    softtty::SenderQuirks quirks{.offsetHz = p.offset, .timing = p.timing, .seed = seed};
    std::vector<float> signal(static_cast<std::size_t>(0.5 * tones.rate), 0.0f);
    auto tx = softtty::Encoder::transmission(text, tones, quirks, 0.3);
    signal.insert(signal.end(), tx.begin(), tx.end());
    signal.resize(signal.size() + static_cast<std::size_t>(0.5 * tones.rate), 0.0f);
    softtty::Impairments imp{.snrDb = p.snr, .lost = p.loss, .seed = seed * 7919};
    ++seed;
    softtty::Audio audio{tones.rate, softtty::impair(signal, imp, tones.rate, tonePower)};
    std::string error;
    if (!softtty::writeWav(wav, audio, &error)) {
      std::fprintf(stderr, "softtty_bench: %s\n", error.c_str());
      return 1;
    }
    audioSeconds += static_cast<double>(audio.samples.size()) / audio.rate;

    const double before = childCpuSeconds();
    auto ours = runProgram({softtty, "--decode", wav, "--quiet"});
    ourCpu += childCpuSeconds() - before;
    auto theirs = runProgram({minimodem, "--rx", "tdd", "-q", "-f", wav});
    if (ours.exitCode != 0) {
      std::fprintf(stderr, "softtty_bench: softtty failed: %s\n", ours.err.c_str());
      return 1;
    }
    p.ours = cer(reference, ours.out);
    p.theirs = cer(reference, theirs.out);
  }

  // The table: one row per SNR and loss, one column pair per offset, the worst of the three
  // timings in each cell.
  std::printf(
      "\nCER in per cent, softtty / minimodem, the worst of bits 5 %% short, exact and 5 %% long:\n\n");
  std::printf("| SNR dB | frames lost |");
  const std::vector<double> offsets = {-40, -20, 0, 20, 40};
  for (double o : offsets) std::printf(" %+.0f Hz |", o);
  std::printf("\n|---|---|");
  for (std::size_t i = 0; i < offsets.size(); ++i) std::printf("---|");
  std::printf("\n");
  for (std::size_t i = 0; i < points.size(); i += offsets.size() * 3) {
    std::printf("| %.0f | %.0f %% |", points[i].snr, points[i].loss * 100);
    for (std::size_t o = 0; o < offsets.size(); ++o) {
      double ours = 0, theirs = 0;
      for (std::size_t t = 0; t < 3; ++t) {
        ours = std::max(ours, points[i + o * 3 + t].ours);
        theirs = std::max(theirs, points[i + o * 3 + t].theirs);
      }
      std::printf(" %.1f / %.1f |", ours, theirs);
    }
    std::printf("\n");
  }

  int worse = 0, notHalf = 0, above1 = 0;
  double sumOurs = 0, sumTheirs = 0;
  for (const Point& p : points) {
    sumOurs += p.ours;
    sumTheirs += p.theirs;
    const bool isWorse = p.ours > p.theirs;
    const bool big = p.theirs > 1;
    above1 += big;
    const bool missesHalf = big && p.ours > p.theirs / 2;
    worse += isWorse;
    notHalf += missesHalf;
    if (isWorse || missesHalf) {
      std::printf(
          "  goal missed at SNR %.0f dB, offset %+.0f Hz, timing %+.0f %%, loss %.0f %%: %.2f %% against "
          "%.2f %%\n",
          p.snr, p.offset, p.timing * 100, p.loss * 100, p.ours, p.theirs);
    }
  }
  const double speed = ourCpu > 0 ? audioSeconds / ourCpu : 0;
  std::printf("\nmean CER: softtty %.2f %%, minimodem %.2f %%\n", sumOurs / points.size(),
              sumTheirs / points.size());
  std::printf("points where softtty's CER is higher than minimodem's: %d of %zu\n", worse, points.size());
  std::printf("points where minimodem's CER is above 1 %%: %d; of these, softtty above half of it: %d\n",
              above1, notHalf);
  std::printf("softtty decoding speed: %.0f x real time on one core (%.0f s of audio in %.2f s of CPU)\n",
              speed, audioSeconds, ourCpu);
  const bool ok = worse == 0 && notHalf == 0 && speed >= 50;
  std::printf("goal %s\n", ok ? "met" : "MISSED");
  return ok ? 0 : 1;
}
