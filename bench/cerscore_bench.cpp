// SPDX-License-Identifier: Apache-2.0
// Times the literal and the bit-parallel cerscore trellis side by side and prints the ratios.
//
//   cerscore_bench [build_folder]
//
// In process: both trellises on a 20,000 x 20,000 character pair with about 5 % edits, plus two
// pairs that show the limits (full-width bit vectors without the band; unrelated texts, where the
// band cannot help). With the build folder: the whole program end to end, the fast build
// (bin/cerscore) against the literal one (bench/cerscore_literal), progress line included, with
// their outputs compared byte for byte. Exits with 1 when any pair of results differs.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "trellis.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kLength = 20000;

// Text as a TTY call carries it: upper-case words, figures, punctuation, line feeds.
std::string reference_text(std::mt19937_64& rng, int length) {
  static const std::string kLetters = "ETAOINSHRDLCUMWFGYPBVKJXQZ";
  static const std::string kOther = "0123456789.,?-'()/:;";
  std::string s;
  while (static_cast<int>(s.size()) < length) {
    const int word = 1 + static_cast<int>(rng() % 9);
    for (int i = 0; i < word; ++i) {
      // Skewed towards the common letters, like running text.
      const auto a = rng() % kLetters.size(), b = rng() % kLetters.size();
      s += rng() % 12 == 0 ? kOther[rng() % kOther.size()] : kLetters[std::min(a, b)];
    }
    s += rng() % 10 == 0 ? '\n' : ' ';
  }
  s.resize(static_cast<std::size_t>(length));
  return s;
}

// The reference with about `percent` % of its characters substituted, dropped or doubled with
// noise (a third each), cut or padded to `length` characters.
std::string with_edits(std::mt19937_64& rng, const std::string& ref, int percent, int length) {
  std::string s;
  const auto noise = [&rng] { return static_cast<char>('A' + rng() % 26); };
  for (char c : ref) {
    const int roll = static_cast<int>(rng() % 300);
    if (roll >= 3 * percent) {
      s += c;
    } else if (roll < percent) {
      s += noise();
    } else if (roll < 2 * percent) {
      continue;
    } else {
      s += c;
      s += noise();
    }
  }
  while (static_cast<int>(s.size()) < length) s += noise();
  s.resize(static_cast<std::size_t>(length));
  return s;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Shortest of `runs` timings of f, which returns its result through `result`.
double best_of(int runs, const std::function<int()>& f, int& result) {
  double best = 1e300;
  for (int r = 0; r < runs; ++r) {
    const auto start = std::chrono::steady_clock::now();
    result = f();
    best = std::min(best, seconds_since(start));
  }
  return best;
}

const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// The fast trellis's workspace, zero-filled by calloc as the program gets it (and timed with it).
struct Workspace {
  explicit Workspace(int n)
      : words(static_cast<std::uint64_t*>(
            std::calloc(cerscore::fast_workspace_words(n), sizeof(std::uint64_t)))) {
    if (!words) std::abort();
  }
  ~Workspace() { std::free(words); }
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;
  std::uint64_t* words;
};

struct Pair {
  const char* name;
  std::string ref, rec;
};

// Literal against fast (and the full-width bit vectors alone) on one pair; false on a difference.
bool time_in_process(const Pair& p) {
  const int n = static_cast<int>(p.ref.size()), m = static_cast<int>(p.rec.size());
  std::vector<int> prev(p.ref.size()), cur(p.ref.size());
  const std::size_t words = cerscore::bit_words(n);

  int literal = 0, fast = 0, full = 0;
  const double t_literal = best_of(
      3,
      [&] {
        return cerscore::literal_errors(bytes(p.ref), n, bytes(p.rec), m, prev.data(), cur.data(),
                                        [](int, const int*) {});
      },
      literal);
  const double t_fast = best_of(
      30,
      [&] {
        Workspace work(n);
        return cerscore::fast_errors(bytes(p.ref), n, bytes(p.rec), m, work.words, [](int) {});
      },
      fast);
  const double t_full = best_of(
      10,
      [&] {
        Workspace work(n);
        cerscore::detail::fill_match_masks(bytes(p.ref), n, work.words);
        return cerscore::detail::banded_pass(bytes(p.ref), n, bytes(p.rec), m, work.words,
                                             work.words + 256 * words, work.words + 257 * words,
                                             cerscore::detail::full_band(n, m), [](int) {});
      },
      full);

  std::printf("%s (%d x %d characters, %d errors)\n", p.name, n, m, literal);
  std::printf("  literal trellis          %9.2f ms\n", t_literal * 1e3);
  std::printf("  bit vectors, full width  %9.2f ms   %6.1f x faster\n", t_full * 1e3, t_literal / t_full);
  std::printf("  bit vectors, banded      %9.2f ms   %6.1f x faster\n", t_fast * 1e3, t_literal / t_fast);
  if (fast != literal || full != literal) {
    std::printf("  DIFFERENT ERRORS: literal %d, full width %d, banded %d\n", literal, full, fast);
    return false;
  }
  return true;
}

struct Run {
  double seconds = 0;
  int status = -1;
  std::string out, err, score;
};

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs args (program first) with both console streams going to files in dir.
Run run_program(std::vector<std::string> args, const fs::path& dir) {
  const fs::path out = dir / "out", err = dir / "err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  Run run;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return run;
  int status = 0;
  waitpid(pid, &status, 0);
  run.seconds = seconds_since(start);
  run.status = status;
  run.out = slurp(out);
  run.err = slurp(err);
  run.score = slurp(dir / "score");
  return run;
}

// Shortest of `runs` runs of the program on the two files; the last run's outputs.
Run best_run(int runs, const std::string& program, const fs::path& dir, const std::string& ref,
             const std::string& rec) {
  Run best;
  double seconds = 1e300;
  for (int r = 0; r < runs; ++r) {
    best = run_program({program, ref, rec, (dir / "score").string()}, dir);
    seconds = std::min(seconds, best.seconds);
  }
  best.seconds = seconds;
  return best;
}

// Peak resident memory of the whole process in KB, from GNU time when it is installed; -1 without.
long peak_kb(const std::string& program, const fs::path& dir, const std::string& ref,
             const std::string& rec) {
  const std::string time = "/usr/bin/time";
  if (access(time.c_str(), X_OK) != 0) return -1;
  const fs::path report = dir / "peak";
  run_program({time, "-f", "%M", "-o", report.string(), program, ref, rec, (dir / "score").string()}, dir);
  try {
    return std::stol(slurp(report));
  } catch (const std::exception&) {
    return -1;
  }
}

// Both builds of the program end to end; false when their outputs differ.
bool time_programs(const fs::path& build, const Pair& p) {
  const std::string fast_program = (build / "bin" / "cerscore").string();
  const std::string literal_program = (build / "bench" / "cerscore_literal").string();
  const fs::path dir = fs::temp_directory_path() / ("cerscore_bench." + std::to_string(getpid()));
  fs::create_directories(dir);
  const auto write = [&dir](const char* name, const std::string& text) {
    const std::string path = (dir / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  };
  const std::string ref = write("reference.txt", p.ref), rec = write("received.txt", p.rec);
  const std::string one = write("one.txt", "A");

  const Run literal = best_run(3, literal_program, dir, ref, rec);
  const Run fast = best_run(20, fast_program, dir, ref, rec);
  const Run start_up = best_run(20, fast_program, dir, one, one);
  const long literal_kb = peak_kb(literal_program, dir, ref, rec);
  const long fast_kb = peak_kb(fast_program, dir, ref, rec);
  const long start_up_kb = peak_kb(fast_program, dir, one, one);
  fs::remove_all(dir);

  std::printf("cerscore program end to end, %s, console streams to files\n", p.name);
  const auto line = [](const char* what, double seconds, long kb) {
    std::printf("  %-24s %9.2f ms", what, seconds * 1e3);
    if (kb >= 0) std::printf("   peak memory %6ld KB", kb);
  };
  line("literal build", literal.seconds, literal_kb);
  std::printf("\n");
  line("fast build", fast.seconds, fast_kb);
  std::printf("   %6.1f x faster\n", literal.seconds / fast.seconds);
  line("fast, 1-character texts", start_up.seconds, start_up_kb);
  std::printf("   (start-up and files alone)\n");
  const bool same = fast.status == 0 && literal.status == 0 && fast.out == literal.out &&
                    fast.err == literal.err && fast.score == literal.score;
  std::printf("  outputs (%zu + %zu bytes and the score file) %s\n", fast.out.size(), fast.err.size(),
              same ? "identical" : "DIFFERENT");
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  std::mt19937_64 rng(20000);
  const std::string ref = reference_text(rng, kLength);
  const Pair edited{"5 % edits", ref, with_edits(rng, ref, 5, kLength)};
  const Pair unrelated{"unrelated texts", ref, reference_text(rng, kLength)};

  std::printf("cerscore trellis, best of several runs each\n\n");
  bool ok = time_in_process(edited);
  ok = time_in_process(unrelated) && ok;
  const std::size_t workspace = cerscore::fast_workspace_words(kLength) * sizeof(std::uint64_t);
  std::printf(
      "\nWorkspace beyond the texts at %d characters: %zu KB of bit vectors"
      " (the literal rows: %zu KB)\n\n",
      kLength, workspace / 1024, 2 * kLength * sizeof(int) / 1024);

  if (argc > 1) ok = time_programs(argv[1], edited) && ok;
  return ok ? 0 : 1;
}
