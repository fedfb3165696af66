// SPDX-License-Identifier: Apache-2.0
// The command-line walk: the forms of an option, the problems and how they are told, the words
// that are no option.
#include "command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kit::cli {
namespace {

// A table with a port, a folder (old name --port-dir), a flag and --help, noting what it took.
struct Fixture {
  Fixture() {
    t.value("--port", [this](const std::string& name, const std::string& v) {
      if (v.empty()) return name + " needs a port";
      taken.push_back("port=" + v);
      return std::string();
    });
    t.value("--folder", &folder);
    t.flag("--quiet", &quiet);
    t.flag("--help", [this](const std::string&) {
      t.stop();
      return std::string();
    });
    t.alias("-p", "--port").alias("--port-dir", "--folder");
  }
  OptionTable t;
  std::vector<std::string> taken;
  std::string folder;
  bool quiet = false;
};

TEST(CommandLine, TakesValuesInEitherFormUnderEveryNameAndStopsWhereAsked) {
  Fixture f;
  EXPECT_EQ(f.t.parse({"--port", "COM1", "-p", "COM2", "--port=COM3", "--port=", "x"}),
            "--port needs a port");
  EXPECT_EQ(f.taken, (std::vector<std::string>{"port=COM1", "port=COM2", "port=COM3"}));

  Fixture g;
  EXPECT_EQ(g.t.parse({"--port-dir=/a=b", "--quiet", "--port", "--quiet"}), "");
  EXPECT_EQ(g.folder, "/a=b");  // only the first "=" splits
  EXPECT_TRUE(g.quiet);
  EXPECT_EQ(g.taken, std::vector<std::string>{"port=--quiet"});  // a value may look like an option
  EXPECT_FALSE(g.t.stopped());

  Fixture h;
  EXPECT_EQ(h.t.parse({"--help", "--bogus"}), "");
  EXPECT_TRUE(h.t.stopped());
}

TEST(CommandLine, TellsEachProblemByTheOptionsLongNameOrInTheProgramsOwnWords) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--bogus=1"}, "unknown option '--bogus'"},
      {{"-x"}, "unknown option '-x'"},
      {{"-"}, "unknown option '-'"},
      {{"extra"}, "unexpected argument 'extra'"},
      {{"--"}, "unknown option '--'"},
      {{"-p"}, "--port needs a value"},
      {{"--port-dir"}, "--folder needs a value"},
      {{"--quiet=yes"}, "--quiet takes no value"},
  };
  for (const auto& [args, expected] : cases) {
    Fixture f;
    EXPECT_EQ(f.t.parse(args), expected) << args[0];
  }
  Fixture f;
  f.t.problems([](const Problem& p) { return "unknown option " + p.word; });
  EXPECT_EQ(f.t.parse({"--quiet=yes"}), "unknown option --quiet=yes");
}

TEST(CommandLine, WordsThatAreNoOptionGoToTheirHandlerAndADoubleDashEndsTheOptions) {
  Fixture f;
  std::vector<std::string> words;
  f.t.words([&](const std::string& w) {
    words.push_back(w);
    return w == "bad" ? "no such file " + w : std::string();
  });
  EXPECT_EQ(f.t.parse({"a", "-", "", "--quiet", "b", "--", "--port", "-p"}), "");
  EXPECT_EQ(words, (std::vector<std::string>{"a", "-", "", "b", "--port", "-p"}));
  EXPECT_TRUE(f.quiet);
  EXPECT_EQ(f.t.parse({"bad", "--bogus"}), "no such file bad");
}

TEST(CommandLine, NumbersMustFillTheirText) {
  EXPECT_EQ(integer<int>("42"), 42);
  EXPECT_EQ(integer<int>("-3"), -3);
  for (const char* bad : {"", " 1", "1x", "1.5", "99999999999"}) EXPECT_FALSE(integer<int>(bad)) << bad;
  EXPECT_FALSE(integer<unsigned>("-1"));
  EXPECT_EQ(number("1.5"), 1.5);
  EXPECT_EQ(number("-2e3"), -2000);
  for (const char* bad : {"", "+1", " 1", "1s", "inf", "nan", "1e999"}) EXPECT_FALSE(number(bad)) << bad;
}

}  // namespace
}  // namespace kit::cli
