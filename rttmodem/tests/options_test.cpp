#include "options.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace rttmodem::console {
namespace {

TEST(Options, PasswordsComeFromAFileOrTheEnvironmentNeverTheCommandLine) {
  kit::testing::TempDir dir;
  const std::string file = dir.write("pw", "s3cret\r\nignored\n");
  auto r = parseOptions({"--listen", "0", "--register", "sip:alice@10.0.0.1:5070", "--password-file", file},
                        "fromenv");
  ASSERT_TRUE(r.options) << r.error;
  EXPECT_EQ(r.options->password, "s3cret");  // the file wins, its line end left out
  EXPECT_EQ(r.options->authUser, "alice");
  r = parseOptions({"--dial", "sip:bob@x", "--register", "sip:alice@10.0.0.1"}, "fromenv");
  ASSERT_TRUE(r.options) << r.error;
  EXPECT_EQ(r.options->password, "fromenv");
  r = parseOptions({"--dial", "sip:bob@x", "--register", "sip:alice@10.0.0.1"}, std::nullopt);
  EXPECT_FALSE(r.options);
  EXPECT_NE(r.error.find("needs a password"), std::string::npos);
  r = parseOptions({"--dial", "sip:bob@x", "--password", "pw"}, std::nullopt);
  EXPECT_FALSE(r.options);
  EXPECT_NE(r.error.find("never given on the command line"), std::string::npos);
  r = parseOptions({"--listen", "0", "--register", "sip:a@h", "--password-file", dir.file("missing")},
                   std::nullopt);
  EXPECT_FALSE(r.options);
}

TEST(Options, RefusesWhatCannotWork) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {},
           {"--listen", "0", "--dial", "sip:a@b"},
           {"--dial", "tel:123"},
           {"--listen", "70000"},
           {"--listen", "0", "--redundancy", "6"},
           {"--listen", "0", "--loss", "150"},
           {"--listen", "0", "--pace", "0"},
           {"--dial", "sip:a@b", "--refuse", "486"},
           {"--listen", "0", "--refuse", "200"},
           {"--listen", "0", "--register", "sip:nouser"},
           {"--listen", "0", "--bogus"},
       }) {
    EXPECT_FALSE(parseOptions(args, "pw").options) << testing::PrintToString(args);
  }
  auto r = parseOptions({"--dial", "sip:a@b", "--loss", "10,burst=3", "--redundancy", "0", "--seed", "9"},
                        std::nullopt);
  ASSERT_TRUE(r.options) << r.error;
  EXPECT_EQ(r.options->loss->burst, 3);
  EXPECT_EQ(r.options->generations, 0);
  std::string user;
  EXPECT_EQ(registrarOf("sip:bob@127.0.0.1:5080;transport=udp", &user), "sip:127.0.0.1:5080");
  EXPECT_EQ(user, "bob");
}

}  // namespace
}  // namespace rttmodem::console
