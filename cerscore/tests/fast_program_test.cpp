// SPDX-License-Identifier: Apache-2.0
// The program on the fast path gives the same bytes as the literal trellis would: results, and a
// progress line collected and written in chunks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_program.h"
#include "temp_dir.h"
#include "trellis.h"

namespace {

using kit::testing::runProgram;
using kit::testing::TempDir;

const std::string kBanner =
    "\n***************************************************************\n"
    "     Scoring Program for Calculating Character Error Rates\n"
    "***************************************************************\n\n";

std::string progress(int m) {
  std::string s;
  for (long long j = 0; j < m; ++j) {
    s += "\rScoring in progress... " + std::to_string((j + 1) * 100 / m) + "% completed.";
  }
  return s;
}

int literal(const std::string& ref, const std::string& rec) {
  std::vector<int> prev(ref.size()), cur(ref.size());
  return cerscore::literal_errors(
      reinterpret_cast<const unsigned char*>(ref.data()), static_cast<int>(ref.size()),
      reinterpret_cast<const unsigned char*>(rec.data()), static_cast<int>(rec.size()), prev.data(),
      cur.data(), [](int, const int*) {});
}

// The number after "Number of character errors :" in the console results, -1 without one.
int reportedErrors(const std::string& out) {
  const std::string label = "Number of character errors :  ";
  const auto at = out.find(label);
  return at == std::string::npos ? -1 : std::stoi(out.substr(at + label.size()));
}

TEST(CerscoreFast, ProgressLineIsByteForByteTheSameAcrossChunks) {
  // 200,000 received characters: 2,000 lines per percentage, more than one chunk holds.
  TempDir dir;
  std::string ref = "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789\n";
  std::string rec;
  for (int i = 0; rec.size() < 200000; ++i) rec += i % 7 == 0 ? "THE QUIK BROWN FOX\n" : ref;
  rec.resize(200000);
  auto r = runProgram({CERSCORE_BIN, dir.write("r", ref), dir.write("s", rec), dir.file("o")});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_TRUE(r.err == kBanner + progress(200000)) << "stderr differs; " << r.err.size() << " bytes";
  EXPECT_EQ(reportedErrors(r.out), literal(ref, rec));
}

TEST(CerscoreFast, ResultsMatchTheVerboseListingWhichFillsEveryEntry) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"HELLO WORLD", "HHELLO WRLD!"},
      {std::string(70, 'A') + "B", "B" + std::string(140, 'A')},
      {"AB", "BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBA"},
  };
  for (const auto& [ref, rec] : pairs) {
    const std::string a = dir.write("r", ref), b = dir.write("s", rec);
    auto plain = runProgram({CERSCORE_BIN, a, b, dir.file("o1")});
    auto verbose = runProgram({CERSCORE_BIN, "-v", a, b, dir.file("o2")});
    ASSERT_EQ(plain.exitCode, 0);
    ASSERT_EQ(verbose.exitCode, 0);
    const std::string results = plain.out;
    EXPECT_EQ(verbose.out.substr(verbose.out.size() - results.size()), results) << ref << " / " << rec;
    EXPECT_EQ(reportedErrors(results), literal(ref, rec)) << ref << " / " << rec;
    EXPECT_EQ(kit::testing::readFile(dir.file("o1")), kit::testing::readFile(dir.file("o2")));
  }
}

}  // namespace
