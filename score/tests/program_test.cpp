// SPDX-License-Identifier: Apache-2.0
// score as a user runs it: exact console bytes, exit status and score file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "run_program.h"
#include "temp_dir.h"

namespace {

using kit::testing::ProgramResult;
using kit::testing::readFile;
using kit::testing::RunOptions;
using kit::testing::runProgram;
using kit::testing::TempDir;

const std::string kVer = "Score Utility. Version 1.2";
const std::string kCpy = "Baudot text comparison for text telephone field tests.";
const std::string kBanner = kVer + "\n" + kCpy + "\n\n";

std::string usage() {
  return kBanner + "Usage:" + SCORE_BIN + " masterfile comparefile scorefile\n";
}

std::string rates(const std::string& p, const std::string& c, const std::string& t) {
  return "Percentage Error (PCER) = " + p + "\nPercentage Error (CCER) = " + c +
         "\nPercentage Error (TCER) = " + t + "\n";
}

class Score : public ::testing::Test {
 protected:
  ProgramResult run(std::vector<std::string> args, const RunOptions& opts = {}) {
    args.insert(args.begin(), SCORE_BIN);
    return runProgram(args, opts);
  }
  // Runs on two texts; returns the console output and leaves the score file in `scoreFile`.
  ProgramResult score(const std::string& master, const std::string& compare) {
    auto r = run({dir.write("m.txt", master), dir.write("c.txt", compare), scoreFile});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    return r;
  }
  TempDir dir;
  std::string scoreFile = dir.file("score.txt");
};

TEST_F(Score, SampleRunAsDocumented) {
  const std::string samples = SAMPLES_DIR;
  auto r = run({samples + "/score-master.txt", samples + "/score-compare.txt", scoreFile});
  EXPECT_EQ(r.exitCode, 0);
  std::string progress;
  for (int p = 1; p <= 99; ++p)
    progress += "\r" + std::string(p < 10 ? "  " : " ") + std::to_string(p) + "% Done";
  EXPECT_EQ(r.out, kBanner + progress + "\r100% Done\n" + rates("11.11", "11.90", " 2.38"));
  EXPECT_EQ(readFile(scoreFile),
            "HELLO THIS IS THE TEST LAB CAL#ING GAMY NUMBER IS %555-0142 GACALL BACK AT ^3 _PM GA\n\n" +
                kVer + "\n" + kCpy +
                "\n\n"
                "\nPercent Error (PCER)   =  11.11\n"
                "Total = 81, Correct 72, Added = 0, Missed = 1, Changed = 8\n"
                "\nPercent Error (CCER)   =  11.90\n"
                "Total = 84, Correct 74, Added = 0, Missed = 2, Changed = 8\n"
                "\nPercent Error (TCER) =   2.38\n"
                "Total = 84, Correct 82, Added = 0, Missed = 2, Changed = 0\n");
}

TEST_F(Score, ArgumentErrorsPrintUsageAndOpenNothing) {
  std::string a = dir.write("a", "X"), b = dir.write("b", "X");
  for (auto args : std::vector<std::vector<std::string>>{{},
                                                         {a},
                                                         {a, b},
                                                         {a, b, scoreFile, "more"},
                                                         {"-disco", a},
                                                         {"-DISCO"},
                                                         {"-disco", a, b, scoreFile}}) {
    auto r = run(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, usage());
    EXPECT_EQ(r.err, "");
  }
  EXPECT_FALSE(std::filesystem::exists(scoreFile));
}

TEST_F(Score, DiscoPrintsTheBannerReversed) {
  auto r = run({"-disco"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, kBanner + std::string(kVer.rbegin(), kVer.rend()) + "\n" +
                       std::string(kCpy.rbegin(), kCpy.rend()) + "\n\n");
}

TEST_F(Score, OpenErrorsNameTheFirstFileThatFails) {
  std::string a = dir.write("a", "X");
  std::string noM = dir.file("no-master"), noC = dir.file("no-compare");
  auto both = run({noM, noC, scoreFile});
  EXPECT_EQ(both.exitCode, 1);
  EXPECT_EQ(both.out, kBanner + "Error opening <" + noC + ">\n");
  auto master = run({noM, a, scoreFile});
  EXPECT_EQ(master.out, kBanner + "Error opening <" + noM + ">\n");
  EXPECT_FALSE(std::filesystem::exists(scoreFile));
  // A folder is no text file.
  auto folder = run({dir.path().string(), a, scoreFile});
  EXPECT_EQ(folder.out, kBanner + "Error opening <" + dir.path().string() + ">\n");
  std::string nowhere = dir.file("no/such/folder/score.txt");
  auto out = run({a, a, nowhere});
  EXPECT_EQ(out.exitCode, 1);
  EXPECT_EQ(out.out, kBanner + "Error opening <" + nowhere + ">\n");
}

TEST_F(Score, ScoreFileNamingAnInputIsRefusedAndTheInputKept) {
  std::string m = dir.write("m.txt", "HELLO"), c = dir.write("c.txt", "HELO");
  std::filesystem::create_hard_link(m, dir.file("hard.txt"));
  std::filesystem::create_symlink(c, dir.file("soft.txt"));
  for (const std::string& target : {m, c, dir.file("hard.txt"), dir.file("soft.txt")}) {
    auto r = run({m, c, target});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kBanner + "Score file <" + target + "> is an input file\n");
  }
  EXPECT_EQ(readFile(m), "HELLO");
  EXPECT_EQ(readFile(c), "HELO");
}

TEST_F(Score, TextLimitIsCheckedBeforeEachByte) {
  const std::string full(80000, 'A');
  dir.write("score.txt", "earlier result\n");
  // The CR after 80,000 kept characters is one byte too many, although it would be dropped.
  auto over = run({dir.write("m", full + "\r\n"), dir.write("c", "A"), scoreFile});
  EXPECT_EQ(over.exitCode, 1);
  EXPECT_EQ(over.out, kBanner + "Master File too Large.  Limit = 80000\n");
  EXPECT_EQ(readFile(scoreFile), "");
  auto compare = run({dir.write("m", "A"), dir.write("c", full + "\x1b"), scoreFile});
  EXPECT_EQ(compare.exitCode, 1);
  EXPECT_EQ(compare.out, kBanner + "Compare File too Large.  Limit = 80000\n");
  // Dropped bytes before the limit do not count.
  auto exact = score("\r\n\r\n" + full, full);
  EXPECT_EQ(exact.out, kBanner + "\r100% Done\n" + rates(" 0.00", " 0.00", " 0.00"));
}

TEST_F(Score, InputIsNormalisedBeforeComparison) {
  const std::string reference = "HELLO 123\nGA\n";
  auto base = score(reference, "HELO 12\nGA\n");
  const std::string baseFile = readFile(scoreFile);
  EXPECT_EQ(base.out, kBanner +
                          "\r  1% Done\r  2% Done\r  3% Done\r  4% Done\r  5% Done\r  6% Done\r  7% Done"
                          "\r100% Done\n" +
                          rates("18.18", "15.38", "15.38"));
  EXPECT_EQ(baseFile.substr(0, baseFile.find('\n')), "HEL#O ^12#_GA");
  // Small letters, other line ends and bytes without a Baudot form change nothing.
  std::string noise;
  for (int c : {0, 1, 2, 3, 4, 5, 6, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 27, 127}) {
    noise += static_cast<char>(c);
    noise += static_cast<char>(c + 128);
  }
  for (const std::string& compare : {std::string("helo 12\r\nga\r\n"), "HE" + noise + "LO 12GA",
                                     std::string("H\nE\nL\nO\n \n1\n2\nG\nA\n")}) {
    SCOPED_TRACE(compare);
    EXPECT_EQ(score(reference, compare).out, base.out);
    EXPECT_EQ(readFile(scoreFile), baseFile);
  }
  // A byte from 128 up is kept, coded by its low 7 bits.
  auto high = score("\xC8I", "HI");
  EXPECT_EQ(high.out.substr(high.out.find("Percentage")), rates("50.00", "50.00", " 0.00"));
  EXPECT_EQ(readFile(scoreFile).substr(0, 4), "\xC8I\n\n");
}

TEST_F(Score, ScoreFileThatCannotBeWrittenIsAnError) {
  auto r = run({dir.write("m", "AB1"), dir.write("c", "AB1"), "/dev/full"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out,
            kBanner + "\r100% Done\n" + rates(" 0.00", " 0.00", " 0.00") + "Error writing </dev/full>\n");
}

TEST_F(Score, InputThatCannotBeReadIsAnError) {
  // Reading the start of a process's own memory fails with an I/O error.
  auto r = run({"/proc/self/mem", dir.write("c", "A"), scoreFile});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, kBanner + "Error reading </proc/self/mem>\n");
  EXPECT_EQ(readFile(scoreFile), "");
}

TEST_F(Score, ConsoleThatCannotBeWrittenIsAnError) {
  auto r = runProgram({"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full", SCORE_BIN, dir.write("m", "A"),
                       dir.write("c", "A"), scoreFile});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "Error writing <standard output>\n");
}

TEST_F(Score, FailedNodeTableAllocationIsReported) {
  RunOptions opts;
#if defined(__SANITIZE_ADDRESS__)
  opts.env.push_back("ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=8");
#else
  opts.addressSpaceLimitBytes = 12L * 1024 * 1024;
#endif
  auto r = run({dir.write("m", "A"), dir.write("c", "A"), scoreFile}, opts);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, kBanner + "malloc Failed\n");
}

}  // namespace
