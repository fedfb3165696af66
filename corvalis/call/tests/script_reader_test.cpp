// SPDX-License-Identifier: Apache-2.0
// Reading a script without a window: this side's turns in order, the other side's passed over,
// and files that cannot serve as scripts refused at once.
#include "call/script_reader.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <sys/stat.h>

#include <fstream>
#include <vector>

#include "records/calllog.h"
#include "temp_dir.h"

namespace corvalis {
namespace {

using Turn = std::vector<std::string>;

TEST(ScriptReader, ThisSidesTurnsAreReadInOrderAndTheOtherSidesArePassedOver) {
  kit::testing::TempDir dir;
  EXPECT_TRUE(rc::check("each side reads exactly its own turns, whole", [&dir] {
    const auto turns =
        *rc::gen::nonEmpty(rc::gen::container<std::vector<Turn>>(rc::gen::nonEmpty(rc::gen::container<Turn>(
            rc::gen::nonEmpty(rc::gen::container<std::string>(rc::gen::element('A', 'Z', ' ', '~')))))));
    const std::string lineEnd = *rc::gen::element<std::string>("\n", "\r\n");
    std::string file = std::string(*rc::gen::inRange(0, 2), '\n');  // empty lines before the first turn
    for (std::size_t i = 0; i < turns.size(); ++i) {
      for (const std::string& line : turns[i]) file += line + lineEnd;
      // At least one empty line between turns; the last turn may end the file.
      file += std::string(static_cast<std::size_t>(*rc::gen::inRange(i + 1 < turns.size() ? 1 : 0, 3)), '\n');
    }
    const std::string path = dir.write("script.txt", file);
    const bool answering = *rc::gen::arbitrary<bool>();

    TScriptReader script;
    script.Open(path);
    std::vector<Turn> read(1);
    while (!script.AtEnd()) {
      const TScriptLine line = script.Read(/*SkipOdd=*/!answering, /*SkipEven=*/answering);
      if (!line.Text.empty()) read.back().push_back(line.Text);
      if (line.TurnEnded && !read.back().empty()) read.emplace_back();
    }
    if (read.back().empty()) read.pop_back();

    std::vector<Turn> ours;
    for (std::size_t i = 0; i < turns.size(); ++i)
      if ((i % 2 == 0) == answering) ours.push_back(turns[i]);
    RC_ASSERT(read == ours);
    RC_ASSERT(script.TurnNumber() == static_cast<std::int32_t>(turns.size()));
    RC_ASSERT(TScriptReader::CountTurns(path) == turns.size());
  }));
}

TEST(ScriptReader, AFileThatCannotServeIsRefusedAtOnceAndALongLineIsSaidOnce) {
  kit::testing::TempDir dir;
  auto refusal = [](const std::string& name) -> std::string {
    TScriptReader script;
    try {
      script.Open(name);
    } catch (const TFileError& e) {
      EXPECT_FALSE(script.IsOpen());
      return e.what();
    }
    return "opened";
  };
  EXPECT_EQ(refusal(""), "File not found");
  EXPECT_EQ(refusal((dir.path() / "none.txt").string()), "File not found");
  EXPECT_EQ(refusal(dir.path().string()), "File access denied");
  // A pipe would wait for a writer that never comes.
  const std::string fifo = (dir.path() / "pipe").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(refusal(fifo), "File access denied");
  EXPECT_FALSE(TScriptReader::IsScriptFile(fifo));
  EXPECT_EQ(TScriptReader::CountTurns(fifo), 0);

  const std::string path =
      dir.write("long.txt", std::string(91, 'A') + "\n\n" + std::string(200, 'B') + "\n");
  TScriptReader script;
  script.Open(path);
  EXPECT_TRUE(script.Read(false, false).FirstLongLine);
  EXPECT_FALSE(script.Read(false, false).FirstLongLine);
  EXPECT_FALSE(script.Read(false, false).FirstLongLine);  // once in the program's run
  script.Rewind();
  script.Open(path);
  EXPECT_FALSE(script.Read(false, false).FirstLongLine);
  EXPECT_EQ(script.TurnNumber(), 1);
}

}  // namespace
}  // namespace corvalis
