// SPDX-License-Identifier: Apache-2.0
// cerscore as a user runs it: exact bytes on both streams, exit status and score file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "run_program.h"
#include "temp_dir.h"

namespace {

using kit::testing::ProgramResult;
using kit::testing::readFile;
using kit::testing::runProgram;
using kit::testing::TempDir;

const std::string kBanner =
    "\n***************************************************************\n"
    "     Scoring Program for Calculating Character Error Rates\n"
    "***************************************************************\n\n";

std::string usage(const std::string& program) {
  return "use: " + program +
         " [-v] reference_text received_text score\n\n"
         "Mandatory parameters:\n"
         "  reference_text : filename with reference text\n"
         "  received_text  : filename with received text\n"
         "  score          : name for output text file with score results\n\n"
         "Options:\n"
         "  -v : Indicates verbose output of the complete trellis.\n"
         "       It's not recommended to use this option if your \n"
         "       reference text is longer than 30 characters.\n\n";
}

std::string results(int errors, int length, const std::string& rate) {
  return "\n\nNumber of character errors :  " + std::to_string(errors) +
         "\nLength of reference text   :  " + std::to_string(length) +
         "\nCharacter error rate (in %): " + rate + "\n";
}

std::string progress(int m) {
  std::string s;
  for (int j = 0; j < m; ++j) {
    s += "\rScoring in progress... " + std::to_string((j + 1) * 100 / m) + "% completed.";
  }
  return s;
}

class Cerscore : public ::testing::Test {
 protected:
  ProgramResult run(std::vector<std::string> args, const kit::testing::RunOptions& opts = {}) {
    args.insert(args.begin(), CERSCORE_BIN);
    return runProgram(args, opts);
  }
  // Scores two texts and returns the number of errors the console reports.
  int errorsFor(const std::string& ref, const std::string& rec) {
    auto r = run({dir.write("r.txt", ref), dir.write("s.txt", rec), dir.file("out.txt")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    auto at = r.out.find("errors :  ");
    return std::stoi(r.out.substr(at + 10));
  }
  TempDir dir;
};

TEST_F(Cerscore, TrellisDiffersFromTextbookEditDistanceWhereItShould) {
  struct Case {
    const char* ref;
    const char* rec;
    int errors;
  } cases[] = {
      {"HELLO", "HELLO", 0},  {"HELLO", "HELO", 1}, {"HELLO", "HXLLO", 1},  {"HELLO", "HELLOX", 1},
      {"HELLO", "XHELLO", 1}, {"HELLO", "ELLO", 0}, {"HELLO", "HHELLO", 0}, {"BA", "A", 0},
      {"B", "BBABBB", 1},     {"AB", "AAA", 1},     {"ABD", "D", 2},        {"ABD", "BD", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(errorsFor(c.ref, c.rec), c.errors) << c.ref << " / " << c.rec;
  }
}

TEST_F(Cerscore, NormalRunWritesExactReportsAndScoreFile) {
  std::string ref = dir.write("ref.txt", "ABC");
  std::string rec = dir.write("rec.txt", "ABX");
  auto r = run({ref, rec, dir.file("score.txt")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, kBanner + progress(3));
  EXPECT_EQ(r.out, results(1, 3, "33.33"));
  EXPECT_EQ(readFile(dir.file("score.txt")),
            "Received text filename     :  " + rec +
                "\nNumber of character errors :  1\nLength of reference text   :  3"
                "\nCharacter error rate (in %): 33.33\n");
}

TEST_F(Cerscore, RateFormats) {
  auto identical = run({dir.write("a", "SAME TEXT\n"), dir.write("b", "SAME TEXT\n"), dir.file("o")});
  EXPECT_EQ(identical.out, results(0, 10, " 0.00"));
  auto all = run({dir.write("a", "AB"), dir.write("b", "XY"), dir.file("o")});
  EXPECT_EQ(all.out, results(2, 2, "100.00"));
  // More errors than reference characters: the rate exceeds 100.
  auto over = run({dir.write("a", "A"), dir.write("b", "XYZ"), dir.file("o")});
  EXPECT_EQ(over.out, results(3, 1, "300.00"));
}

TEST_F(Cerscore, CarriageReturnsAreIgnoredInBothFiles) {
  auto crlf = run({dir.write("a", "GA\r\nSK\r\n"), dir.write("b", "GA\r\nSX\r\n"), dir.file("o1")});
  auto lf = run({dir.write("c", "GA\nSK\n"), dir.write("d", "GA\nSX\n"), dir.file("o2")});
  EXPECT_EQ(crlf.out, results(1, 6, "16.67"));
  EXPECT_EQ(crlf.out, lf.out);
  EXPECT_EQ(crlf.err, lf.err);
}

TEST_F(Cerscore, Byte26AndOtherBytesAreReadLikeLetters) {
  EXPECT_EQ(errorsFor(std::string("A\x1a"
                                  "B\xff",
                                  4),
                      std::string("A\x1a"
                                  "B\xff",
                                  4)),
            0);
  EXPECT_EQ(errorsFor(std::string("A\x1a"
                                  "B",
                                  3),
                      "AB"),
            1);
}

TEST_F(Cerscore, EmptyReceivedFileCountsEveryReferenceCharacterAndPrintsNoProgress) {
  auto r = run({dir.write("a", "HELLO"), dir.write("b", "\r\r"), dir.file("o")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, kBanner);
  EXPECT_EQ(r.out, results(5, 5, "100.00"));
}

TEST_F(Cerscore, EmptyReferenceCountsEveryReceivedCharacterAsExtra) {
  auto some = run({dir.write("a", ""), dir.write("b", "ABC"), dir.file("o")});
  EXPECT_EQ(some.exitCode, 0);
  EXPECT_EQ(some.out, results(3, 0, "100.00"));
  EXPECT_EQ(some.err, kBanner + progress(3));
  auto none = run({dir.write("a", "\r"), dir.write("b", ""), dir.file("o")});
  EXPECT_EQ(none.exitCode, 0);
  EXPECT_EQ(none.out, results(0, 0, " 0.00"));
  EXPECT_EQ(readFile(dir.file("o")).substr(readFile(dir.file("o")).rfind(':')), ":  0.00\n");
}

TEST_F(Cerscore, ArgumentHandling) {
  std::string a = dir.write("a", "X"), b = dir.write("b", "X");
  for (auto args : std::vector<std::vector<std::string>>{{}, {a}, {a, b}, {"-v", a, b}}) {
    auto r = run(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, kBanner + usage(CERSCORE_BIN));
    EXPECT_EQ(r.out, "");
  }
  // -V is a file name, not the option; extra arguments are ignored.
  auto upper = run({"-V", a, b, "extra"});
  EXPECT_EQ(upper.exitCode, 1);
  EXPECT_EQ(upper.err, kBanner + "Can't open input text file '-V'\n");
  auto extra = run({a, b, dir.file("o"), "ignored", "too"});
  EXPECT_EQ(extra.exitCode, 0);
  EXPECT_EQ(extra.out, results(0, 1, " 0.00"));
}

TEST_F(Cerscore, MissingInputLeavesExistingScoreFileUntouched) {
  std::string scoreFile = dir.write("score.txt", "earlier result\n");
  std::string a = dir.write("a", "X");
  auto missingRec = run({a, dir.file("nope"), scoreFile});
  EXPECT_EQ(missingRec.exitCode, 1);
  EXPECT_EQ(missingRec.err, kBanner + "Can't open input text file '" + dir.file("nope") + "'\n");
  auto missingRef = run({dir.file("none"), a, scoreFile});
  EXPECT_EQ(missingRef.err, kBanner + "Can't open input text file '" + dir.file("none") + "'\n");
  EXPECT_EQ(readFile(scoreFile), "earlier result\n");
}

TEST_F(Cerscore, ScoreFileNamingAnInputIsRefusedAndTheInputKept) {
  std::string ref = dir.write("ref.txt", "HELLO"), rec = dir.write("rec.txt", "HELO");
  std::filesystem::create_symlink(rec, dir.file("link.txt"));
  for (auto args : std::vector<std::vector<std::string>>{
           {ref, rec, ref}, {ref, rec, rec}, {"-v", ref, rec, rec}, {ref, rec, dir.file("link.txt")}}) {
    auto r = run(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, kBanner + "Can't use input text file '" + args.back() + "' as output file\n");
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(readFile(ref), "HELLO");
  EXPECT_EQ(readFile(rec), "HELO");
}

TEST_F(Cerscore, FolderIsNoInputText) {
  std::string scoreFile = dir.write("score.txt", "earlier result\n");
  std::string folder = dir.path().string();
  for (auto args : std::vector<std::vector<std::string>>{{folder, dir.write("a", "X"), scoreFile},
                                                         {dir.write("a", "X"), folder, scoreFile}}) {
    auto r = run(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, kBanner + "Can't open input text file '" + folder + "'\n");
  }
  EXPECT_EQ(readFile(scoreFile), "earlier result\n");
}

TEST_F(Cerscore, UnwritableScoreFile) {
  std::string target = dir.file("no/such/folder/score.txt");
  auto r = run({dir.write("a", "X"), dir.write("b", "X"), target});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kBanner + "Can't open output file '" + target + "'\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(Cerscore, ScoreFileThatCannotBeWrittenIsAnErrorNotASuccess) {
  auto r = run({dir.write("a", "X"), dir.write("b", "X"), "/dev/full"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Can't write output file '/dev/full'\n"), std::string::npos);
}

TEST_F(Cerscore, VerboseListsTextsAndTrellisAligned) {
  auto r = run({"-v", dir.write("a", "AB"), dir.write("b", "AXB"), dir.file("o")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, kBanner);  // no progress line in verbose mode
  EXPECT_EQ(r.out,
            "Reference Text:\n\nAB\n\nReceived Text:\n\nAXB\n\nTrellis:\n\n"
            "    A  B"
            "\nA   0  1"
            "\nX   1  1"
            "\nB   2  1" +
                results(1, 2, "50.00"));
}

TEST_F(Cerscore, FailedAllocationIsReportedNotCrashed) {
  // A 48 MB reference needs two rows of 190 MB: more than the child is allowed.
  std::string big = dir.file("big.txt");
  {
    FILE* f = std::fopen(big.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fseek(f, 48L * 1024 * 1024 - 1, SEEK_SET);
    std::fputc('A', f);
    std::fclose(f);
  }
  kit::testing::RunOptions opts;
#if defined(__SANITIZE_ADDRESS__)
  opts.env.push_back("ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=100");
#else
  opts.addressSpaceLimitBytes = 256L * 1024 * 1024;
#endif
  auto r = run({big, dir.write("b", "AB"), dir.file("o")}, opts);
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's own warnings about the refused allocation are not the program's output.
  std::string own;
  for (std::size_t at = 0, next; at < r.err.size(); at = next) {
    next = r.err.find('\n', at);
    next = next == std::string::npos ? r.err.size() : next + 1;
    if (r.err.compare(at, 2, "==") != 0) own += r.err.substr(at, next - at);
  }
  r.err = own;
#endif
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kBanner + "Not enough memory for texts of 50331648 and 2 characters\n");
  EXPECT_EQ(readFile(dir.file("o")), "");
}

}  // namespace
