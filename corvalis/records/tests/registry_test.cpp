// SPDX-License-Identifier: Apache-2.0
// The registry's key files: where they live, what is read from them, and how they are replaced.
#include "records/registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using corvalis::records::Registry;
using corvalis::records::RegistryError;
using corvalis::records::RegistryProblem;
using corvalis::records::RootKey;
using corvalis::records::ValueKind;
using kit::testing::readFile;
using kit::testing::TempDir;

const char* kKey = "\\Software\\Marrowfield\\Orrin\\Corvalis";

class RegistryTest : public ::testing::Test {
 protected:
  fs::path keyFile() const {
    return dir.path() / "HKEY_LOCAL_MACHINE/Software/Marrowfield/Orrin/Corvalis.reg";
  }
  void putKeyFile(const std::string& bytes) const {
    fs::create_directories(keyFile().parent_path());
    std::ofstream(keyFile(), std::ios::binary) << bytes;
  }
  std::string keyText() const { return readFile(keyFile()); }
  std::vector<std::string> folderEntries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(keyFile().parent_path()))
      names.push_back(e.path().filename());
    return names;
  }

  TempDir dir;
  Registry reg{RootKey::LocalMachine, dir.path()};
};

// Runs a block with the rights of an ordinary user, so that file permissions apply to a test run as root.
class AsOrdinaryUser {
 public:
  AsOrdinaryUser() {
    if (::geteuid() != 0) return;
    switched_ = ::setegid(65534) == 0 && ::seteuid(65534) == 0;
    failed_ = !switched_;
  }
  ~AsOrdinaryUser() {
    if (switched_) {
      EXPECT_EQ(::seteuid(0), 0);
      EXPECT_EQ(::setegid(0), 0);
    }
  }
  bool failed() const { return failed_; }

 private:
  bool switched_ = false;
  bool failed_ = false;
};

TEST_F(RegistryTest, KeysMapToFilesAndAreCreatedOnlyWhenAsked) {
  EXPECT_FALSE(reg.openKey(kKey, false));
  EXPECT_FALSE(fs::exists(dir.path() / "HKEY_LOCAL_MACHINE"));
  EXPECT_FALSE(reg.keyExists(kKey));
  EXPECT_EQ(reg.keyFile(kKey), keyFile());

  ASSERT_TRUE(reg.openKey(kKey, true));
  EXPECT_EQ(reg.currentKeyName(), "HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis");
  EXPECT_TRUE(fs::is_directory(keyFile().parent_path()));
  EXPECT_FALSE(fs::exists(keyFile()));  // made by the first write
  reg.writeString("Signal", "Weak");
  EXPECT_EQ(
      keyText(),
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\n\"Signal\"=\"Weak\"\n\n");
  reg.closeKey();
  EXPECT_TRUE(reg.keyExists(kKey));
  EXPECT_TRUE(reg.keyExists("\\Software\\Marrowfield\\Orrin"));  // a folder is a key without values

  // Relative to the open key; existing names are matched without regard to case.
  ASSERT_TRUE(reg.openKey("\\SOFTWARE\\marrowfield", false));
  ASSERT_TRUE(reg.openKey("orrin\\corvalis\\", false));
  EXPECT_EQ(reg.readString("Signal"), "Weak");

  for (const char* bad : {"\\Software\\..\\x", "\\a/b", "\\", "\\a\\\\b"}) {
    EXPECT_FALSE(reg.openKey(bad, true)) << bad;
    EXPECT_FALSE(reg.hasOpenKey());
  }
  EXPECT_FALSE(fs::exists(dir.path() / "x"));
}

TEST_F(RegistryTest, RootFolderComesFromTheEnvironment) {
  auto keep = [](const char* name) {
    const char* v = std::getenv(name);
    return std::pair<std::string, bool>(v ? v : "", v != nullptr);
  };
  auto saved = {std::pair{"CORVALIS_REGISTRY_DIR", keep("CORVALIS_REGISTRY_DIR")},
                std::pair{"XDG_CONFIG_HOME", keep("XDG_CONFIG_HOME")}, std::pair{"HOME", keep("HOME")}};
  ::setenv("HOME", "/home/t", 1);
  ::setenv("XDG_CONFIG_HOME", "/x/conf", 1);
  ::setenv("CORVALIS_REGISTRY_DIR", "/r", 1);
  EXPECT_EQ(Registry::defaultRegistryDir(), fs::path("/r"));
  ::setenv("CORVALIS_REGISTRY_DIR", "", 1);
  EXPECT_EQ(Registry::defaultRegistryDir(), fs::path("/x/conf/corvalis/registry"));
  ::setenv("XDG_CONFIG_HOME", "relative", 1);
  EXPECT_EQ(Registry::defaultRegistryDir(), fs::path("/home/t/.config/corvalis/registry"));
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(Registry::defaultRegistryDir(), fs::path("/home/t/.config/corvalis/registry"));
  for (const auto& [name, value] : saved) {
    if (value.second) {
      ::setenv(name, value.first.c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
}

TEST_F(RegistryTest, StringsRoundTripWithEscapes) {
  const std::vector<std::pair<std::string, std::string>> values = {
      {"Log directory", "c:\\captures\\"},
      {"Quote \"q\" \\ name", "say \"GA\" \\n"},
      {"Empty", ""},
      {"Unicode", "Zoë – 電話"},
      {"Lines", std::string("one\r\ntwo\0three", 13)},  // cannot stand on a quoted line
      {"Long lines", std::string(60, 'x') + "\n" + std::string(60, 'y')},
      {"", "default value"},
  };
  ASSERT_TRUE(reg.openKey(kKey, true));
  for (const auto& [name, value] : values) reg.writeString(name, value);
  const std::string text = keyText();
  EXPECT_NE(text.find("\"Log directory\"=\"c:\\\\captures\\\\\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Quote \\\"q\\\" \\\\ name\"=\"say \\\"GA\\\" \\\\n\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Lines\"=hex(1):6f,00,6e,00,65,00,0d,00,0a,00,74,00,77,00,6f,00,00,00\n"),
            std::string::npos)
      << text;  // stops at the zero, as the registry's strings do
  EXPECT_NE(text.find("@=\"default value\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Long lines\"=hex(1):78,00,78,00,"), std::string::npos) << text;
  EXPECT_NE(text.find(",\\\n  78,00,"), std::string::npos) << text;  // long data goes on over lines

  Registry again(RootKey::LocalMachine, dir.path());
  ASSERT_TRUE(again.openKey(kKey, false));
  for (const auto& [name, value] : values) {
    EXPECT_EQ(again.readString(name), name == "Lines" ? "one\r\ntwo" : value) << name;
    EXPECT_EQ(again.valueKind(name), ValueKind::String);
  }
  EXPECT_EQ(again.readString("Missing"), "");
  EXPECT_FALSE(again.valueExists("Missing"));
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndKeepTheirSpelling) {
  putKeyFile(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\n\"SIGNAL\"=\"Weak\"\n\n");
  ASSERT_TRUE(reg.openKey(kKey, true));
  EXPECT_EQ(reg.readString("signal"), "Weak");
  reg.writeString("Signal", "Strong");
  EXPECT_EQ(
      keyText(),
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\n\"SIGNAL\"=\"Strong\"\n\n");
}

TEST_F(RegistryTest, OtherTypesAreRecognisedAndOnlyStringsRead) {
  putKeyFile(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\n"
      "\"Port\"=dword:0000002a\n"
      "\"Blob\"=hex:01,02,ff\n"
      "\"Multi\"=hex(7):61,00,00,00,00,00\n"
      "\"Broken\"=dword:xyz\n"
      "\"Unquoted\"=Strong\n"
      "\"Gone\"=-\n"
      "\"Path\"=hex(2):25,00,48,00,4f,00,4d,00,45,00,25,00,2f,00,63,00,61,00,70,00,\\\n"
      "  74,00,75,00,72,00,65,00,73,00,00,00\n"
      "\"Ansi\"=hex(2):25,54,45,4d,50,25,00\n"
      "\"Text\"=hex(1):e9,00,00,00\n");
  ASSERT_TRUE(reg.openKey(kKey, false));
  EXPECT_EQ(reg.valueKind("Port"), ValueKind::DWord);
  EXPECT_EQ(reg.valueKind("Blob"), ValueKind::Binary);
  EXPECT_EQ(reg.valueKind("Gone"), ValueKind::Absent);
  for (const char* name : {"Port", "Blob", "Multi", "Broken", "Unquoted"}) {
    try {
      reg.readString(name);
      ADD_FAILURE() << name << " read as a string";
    } catch (const RegistryError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Invalid data type for '") + name + "'");
    }
  }
  EXPECT_EQ(reg.readString("Gone"), "");
  EXPECT_EQ(reg.valueKind("Path"), ValueKind::ExpandString);
  EXPECT_EQ(reg.readString("path"), "%HOME%/captures");  // not expanded
  EXPECT_EQ(reg.readString("Ansi"), "%TEMP%");
  EXPECT_EQ(reg.readString("Text"), "é");
}

TEST_F(RegistryTest, UnknownLinesAndOtherValuesAreKeptOnWrite) {
  const std::string before =
      "REGEDIT4\r\n"
      "; saved by hand\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin]\r\n"
      "\"Signal\"=\"parent's\"\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\r\n"
      "\"Port\"=dword:00000003\r\n"
      "\"Signal\"=\"Weak\"\r\n"
      "garbage line\r\n"
      "\"Blob\"=hex:01,02,\\\r\n"
      "  03\r\n"
      "\r\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n";
  putKeyFile(before);
  ASSERT_TRUE(reg.openKey(kKey, true));
  EXPECT_EQ(reg.readString("Signal"), "Weak");  // the parent key's value is not this key's
  reg.writeStrings({{"Signal", "Strong"}, {"Location", "Lab \"B\""}});
  EXPECT_EQ(keyText(),
            "REGEDIT4\n"
            "; saved by hand\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin]\n"
            "\"Signal\"=\"parent's\"\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\n"
            "\"Port\"=dword:00000003\n"
            "\"Signal\"=\"Strong\"\n"
            "garbage line\n"
            "\"Blob\"=hex:01,02,\\\n"
            "  03\n"
            "\"Location\"=\"Lab \\\"B\\\"\"\n"
            "\n"
            "[-HKEY_LOCAL_MACHINE\\Software\\Old]\n");
  EXPECT_EQ(reg.valueKind("Blob"), ValueKind::Binary);
}

// Hex data cut off by the end of the file (a copy stopped short) ends in a backslash; values
// written after it must not become part of it, and saving again must not change the file.
TEST_F(RegistryTest, ValuesWrittenAfterHexDataCutOffAtTheEndOfTheFileStayValues) {
  putKeyFile(
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\r\n"
      "\"Signal\"=\"Weak\"\r\n"
      "\"Note\"=hex(1):41,00\\\\");  // two backslashes: still one continuation
  ASSERT_TRUE(reg.openKey(kKey, true));
  EXPECT_EQ(reg.readString("Note"), "A");  // as if a blank line followed
  reg.writeStrings({{"Location", "Lab B"}, {"Signal", "Strong"}});
  const std::string saved = keyText();
  reg.closeKey();

  for (int save = 0; save < 2; ++save) {
    Registry again{RootKey::LocalMachine, dir.path()};
    ASSERT_TRUE(again.openKey(kKey, true));
    EXPECT_EQ(again.readString("Location"), "Lab B");
    EXPECT_EQ(again.readString("Signal"), "Strong");
    EXPECT_EQ(again.readString("Note"), "A");
    again.writeStrings({{"Location", "Lab B"}});
    EXPECT_EQ(keyText(), saved);
  }
}

TEST_F(RegistryTest, ReadsAKeyExportedOnAnotherMachine) {
  // A Unicode export from 64-bit Windows: UTF-16LE with a byte order mark, CR LF, the key under
  // WOW6432Node, its parent and a subkey in the same file.
  const std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Marrowfield\\Orrin]\r\n"
      u"\"Location\"=\"wrong\"\r\n\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Marrowfield\\Orrin\\Corvalis]\r\n"
      u"\"Location\"=\"Salle d’essai\"\r\n"
      u"\"Log directory\"=\"C:\\\\Captures\\\\\"\r\n\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Marrowfield\\Orrin\\Corvalis\\Sub]\r\n"
      u"\"Signal\"=\"wrong\"\r\n\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char16_t c : text) utf16 += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  putKeyFile(utf16);
  ASSERT_TRUE(reg.openKey(kKey, false));
  EXPECT_EQ(reg.readString("Location"), "Salle d’essai");
  EXPECT_EQ(reg.readString("Log directory"), "C:\\Captures\\");
  EXPECT_FALSE(reg.valueExists("Signal"));
  // Saved again in UTF-8, the other sections kept.
  reg.writeString("Signal", "Weak");
  const std::string saved = keyText();
  EXPECT_TRUE(saved.starts_with(
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node"));
  EXPECT_NE(saved.find("\"Location\"=\"Salle d’essai\"\n\"Log "
                       "directory\"=\"C:\\\\Captures\\\\\"\n\"Signal\"=\"Weak\"\n\n[HKEY"),
            std::string::npos)
      << saved;
  EXPECT_NE(saved.find("Corvalis\\Sub]\n\"Signal\"=\"wrong\"\n"), std::string::npos) << saved;

  // The 8-bit export: Windows code page, and a hand-typed path whose backslashes are not doubled.
  putKeyFile(
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\r\n"
      "\"Location\"=\"Caf\xE9 \x80\"\r\n\"Script filename\"=\"C:\\scripts\\a.txt\"\r\n");
  ASSERT_TRUE(reg.openKey(kKey, false));
  EXPECT_EQ(reg.readString("Location"), "Café €");
  EXPECT_EQ(reg.readString("Script filename"), "C:\\scripts\\a.txt");
}

TEST_F(RegistryTest, WriteReplacesTheFileAtomically) {
  putKeyFile(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\n\"Signal\"=\"Weak\"\n\n");
  const std::string old = keyText();
  ::chmod(keyFile().c_str(), 0640);
  ASSERT_TRUE(reg.openKey(kKey, true));
  int oldFd = ::open(keyFile().c_str(), O_RDONLY);
  ASSERT_GE(oldFd, 0);
  struct stat before {};
  ASSERT_EQ(::fstat(oldFd, &before), 0);

  reg.writeString("Signal", "Strong");
  // The old file was never written into: it was replaced whole by a new one.
  std::string seen(old.size() + 10, '\0');
  EXPECT_EQ(::pread(oldFd, seen.data(), seen.size(), 0), static_cast<ssize_t>(old.size()));
  seen.resize(old.size());
  EXPECT_EQ(seen, old);
  ::close(oldFd);
  struct stat after {};
  ASSERT_EQ(::stat(keyFile().c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_NE(keyText().find("\"Signal\"=\"Strong\""), std::string::npos);
  EXPECT_EQ(folderEntries(), std::vector<std::string>{"Corvalis.reg"});

  // Writing what is already stored leaves the file alone.
  reg.writeString("signal", "Strong");
  struct stat same {};
  ASSERT_EQ(::stat(keyFile().c_str(), &same), 0);
  EXPECT_EQ(same.st_ino, after.st_ino);

  // A key file that is a link to elsewhere stays a link; the file it points to gets the values.
  fs::path real = dir.path() / "elsewhere.reg";
  fs::rename(keyFile(), real);
  fs::create_symlink(real, keyFile());
  ASSERT_TRUE(reg.openKey(kKey, true));
  reg.writeString("Signal", "Weak");
  EXPECT_TRUE(fs::is_symlink(keyFile()));
  EXPECT_NE(readFile(real).find("\"Signal\"=\"Weak\""), std::string::npos);
}

TEST_F(RegistryTest, WriteKeepsChangesMadeSinceTheKeyWasOpened) {
  putKeyFile(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\n\"Signal\"=\"Weak\"\n\n");
  ASSERT_TRUE(reg.openKey(kKey, true));
  putKeyFile(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\n\"Signal\"=\"Weak\"\n"
      "\"Username\"=\"Ann\"\n\n");
  reg.writeString("Signal", "Strong");
  EXPECT_EQ(reg.readString("Username"), "Ann");
  EXPECT_NE(keyText().find("\"Username\"=\"Ann\""), std::string::npos);
}

TEST_F(RegistryTest, AValueChangedBySomeoneElseIsKeptBeforeAWriteGoesOverIt) {
  const std::string head = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\n";
  putKeyFile(head + "\"Signal\"=\"Weak\"\n\"Port\"=\"1\"\n\"Username\"=\"Ann\"\n\n");
  ASSERT_TRUE(reg.openKey(kKey, true));
  const std::string known = reg.currentKeyText();
  const std::vector<std::pair<std::string, std::string>> ours = {
      {"Signal", "Strong"}, {"Port", "1"}, {"Username", "Ann"}};

  // Edits the write does not go over: a comment, a value it does not write, a value changed to what
  // is written, spacing. Nothing is kept.
  putKeyFile(head +
             "; bench 3\n\"Signal\" = \"Strong\"\n\"Port\"=\"1\"\n\"Username\"=\"Ann\"\n\"Extra\"=\"x\"\n\n");
  reg.writeStrings(ours, &known);
  EXPECT_TRUE(reg.keptAside().empty());
  EXPECT_EQ(folderEntries(), std::vector<std::string>{"Corvalis.reg"});

  // A value changed, one deleted, one added by hand: the file as found is kept byte for byte.
  std::string known2 = reg.currentKeyText();
  const std::string edited = head + "\"Signal\"=\"Weak\"\n\"Port\"=dword:00000002\n\n";
  putKeyFile(edited);
  reg.writeStrings({{"Signal", "Strong"}, {"Port", "1"}, {"Username", "Ann"}, {"Location", "Lab"}}, &known2);
  EXPECT_EQ(reg.keptAside(), keyFile().string() + ".edited");
  EXPECT_EQ(reg.keptAsideWhy(), Registry::KeptAsideWhy::EditedElsewhere);
  EXPECT_EQ(reg.overwrittenEdits(), (std::vector<std::string>{"Signal", "Port", "Username"}));
  EXPECT_FALSE(reg.keptEarlier());
  EXPECT_EQ(readFile(keyFile().string() + ".edited"), edited);
  EXPECT_EQ(reg.readString("Signal"), "Strong");
  EXPECT_EQ(reg.readString("Username"), "Ann");

  // The same bytes found again (a tool putting its file back) are not kept twice.
  std::string known3 = reg.currentKeyText();
  putKeyFile(edited);
  reg.writeStrings(ours, &known3);
  EXPECT_TRUE(reg.keptEarlier());
  EXPECT_EQ(reg.keptAside(), keyFile().string() + ".edited");
  EXPECT_EQ(folderEntries().size(), 2u);

  // A file deleted by hand has nothing to keep: it is written anew.
  std::string before = reg.currentKeyText();
  fs::remove(keyFile());
  reg.writeStrings(ours, &before);
  EXPECT_TRUE(reg.keptAside().empty());
  EXPECT_EQ(reg.readString("Signal"), "Strong");
}

TEST_F(RegistryTest, ReadOnlyFolderFailsTheWriteAndKeepsTheOldFile) {
  putKeyFile(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\n\"Signal\"=\"Weak\"\n\n");
  const std::string old = keyText();
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  ::chmod(keyFile().parent_path().c_str(), 0555);
  {
    AsOrdinaryUser user;
    if (user.failed()) GTEST_SKIP() << "cannot take an ordinary user's rights";
    ASSERT_TRUE(reg.openKey(kKey, true));
    EXPECT_EQ(reg.readString("Signal"), "Weak");
    try {
      reg.writeStrings({{"Signal", "Weak"}, {"Location", "Lab"}, {"Username", "Ann"}});
      ADD_FAILURE() << "write into a read-only folder succeeded";
    } catch (const RegistryError& e) {
      EXPECT_STREQ(e.what(), "Failed to set data for 'Location'");  // the first value that changes
      EXPECT_EQ(e.path(), keyFile());
      EXPECT_EQ(e.systemError(), EACCES);
    }
    EXPECT_EQ(reg.readString("Location"), "");
  }
  EXPECT_EQ(keyText(), old);
  EXPECT_EQ(folderEntries(), std::vector<std::string>{"Corvalis.reg"});

  // A key file the user may not read cannot be opened, so it is never overwritten either.
  ::chmod(keyFile().c_str(), 0200);
  AsOrdinaryUser user;
  EXPECT_FALSE(reg.openKey(kKey, true));
  EXPECT_EQ(reg.problem().kind, RegistryProblem::Kind::CannotRead);
  EXPECT_EQ(reg.problem().systemError, EACCES);
}

TEST_F(RegistryTest, AFileThatIsNoExportIsNotReadAndIsKeptBeforeItIsWrittenOver) {
  const char binary[] =
      "\x7f"
      "ELF\x02\x01\0\0\xff\xfe\n[x]\n\"Port\"=\"2\"";
  const std::string junk[] = {"Test Type=Landline\nPort=2\n", std::string(binary, sizeof binary - 1)};
  for (const std::string& bytes : junk) {
    putKeyFile(bytes);
    EXPECT_FALSE(reg.openKey(kKey, false));
    EXPECT_EQ(reg.problem().kind, RegistryProblem::Kind::NoHeader);
    EXPECT_EQ(reg.problem().path, keyFile());
    // Opened for writing, it is an empty key; the first write keeps the old file aside.
    ASSERT_TRUE(reg.openKey(kKey, true));
    EXPECT_EQ(reg.readString("Port"), "");
    reg.writeString("Signal", "Weak");
    EXPECT_EQ(
        keyText(),
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\n\"Signal\"=\"Weak\"\n\n");
    ASSERT_FALSE(reg.keptAside().empty());
    EXPECT_EQ(readFile(reg.keptAside()), bytes);
    reg.writeString("Signal", "Strong");
    EXPECT_TRUE(reg.keptAside().empty());  // kept once
  }
  // A second unreadable file does not take the place of the first one kept.
  EXPECT_EQ(folderEntries().size(), 3u);
  EXPECT_EQ(readFile(keyFile().string() + ".unreadable"), junk[0]);
  EXPECT_EQ(readFile(keyFile().string() + ".unreadable.1"), junk[1]);

  // An empty file is an empty key, not a fault.
  putKeyFile("\r\n");
  EXPECT_TRUE(reg.openKey(kKey, false));
  EXPECT_FALSE(reg.problem());
}

TEST_F(RegistryTest, FoldersAndFilesInTheWrongPlaceAreNamed) {
  // The root folder is a file.
  fs::path rootFile = dir.path() / "registry";
  std::ofstream(rootFile) << "x";
  Registry onFile(RootKey::LocalMachine, rootFile / "sub");
  for (bool create : {false, true}) {
    EXPECT_FALSE(onFile.openKey(kKey, create));
    EXPECT_EQ(onFile.problem().kind, RegistryProblem::Kind::NotAFolder);
    EXPECT_EQ(onFile.problem().path, rootFile);
    EXPECT_EQ(onFile.problem().systemError, ENOTDIR);
  }
  try {
    onFile.writeString("Signal", "Weak");
    ADD_FAILURE();
  } catch (const RegistryError& e) {
    EXPECT_EQ(e.path(), rootFile);
    EXPECT_EQ(e.systemError(), ENOTDIR);
  }

  // A folder of the key's path is a file.
  std::ofstream(dir.path() / "HKEY_LOCAL_MACHINE") << "x";
  EXPECT_FALSE(reg.openKey(kKey, true));
  EXPECT_EQ(reg.problem().kind, RegistryProblem::Kind::NotAFolder);
  EXPECT_EQ(reg.problem().path, dir.path() / "HKEY_LOCAL_MACHINE");
  fs::remove(dir.path() / "HKEY_LOCAL_MACHINE");

  // The key's file is a folder.
  fs::create_directories(keyFile());
  for (bool create : {false, true}) {
    EXPECT_FALSE(reg.openKey(kKey, create));
    EXPECT_EQ(reg.problem().kind, RegistryProblem::Kind::NotAFile);
    EXPECT_EQ(reg.problem().path, keyFile());
    EXPECT_EQ(reg.problem().systemError, EISDIR);
  }

  // A key that is merely absent is no problem.
  fs::remove(keyFile());
  EXPECT_FALSE(reg.openKey(kKey, false));
  EXPECT_FALSE(reg.problem());
}

TEST_F(RegistryTest, AHandTypedPathEndingInABackslashReadsAsMeant) {
  putKeyFile(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\n"
      "\"Log directory\"=\"c:\\\"\r\n"
      "\"Script filename\"=\"C:\\scripts\\\"  \n"
      "\"Escaped\"=\"c:\\\\\"\n"
      "\"Open\"=\"c:\\x\n"
      "\"Trailing\"=\"a\" b\n"
      "\"Port\"=dword:00000002\n"
      "\"Empty\"=\n");
  ASSERT_TRUE(reg.openKey(kKey, true));
  EXPECT_EQ(reg.readString("Log directory"), "c:\\");
  EXPECT_EQ(reg.readString("Script filename"), "C:\\scripts\\");
  EXPECT_EQ(reg.readString("Escaped"), "c:\\");
  // Other malformed data still fails, naming the line and the reason.
  const std::pair<const char*, const char*> bad[] = {{"Open", "line 7: no closing quote"},
                                                     {"Trailing", "line 8: text after the closing quote"},
                                                     {"Port", "line 9: a dword value, not a string"},
                                                     {"Empty", "line 10: no data after \"=\""}};
  for (const auto& [name, detail] : bad) {
    try {
      reg.readString(name);
      ADD_FAILURE() << name;
    } catch (const RegistryError& e) {
      EXPECT_EQ(e.what(), "Invalid data type for '" + std::string(name) + "'");
      EXPECT_EQ(e.detail(), detail);
      EXPECT_EQ(e.path(), keyFile());
    }
  }
  // Written back, the path reads the same.
  reg.writeStrings({{"Log directory", "c:\\"}, {"Open", "c:\\x"}});
  Registry again(RootKey::LocalMachine, dir.path());
  ASSERT_TRUE(again.openKey(kKey, false));
  EXPECT_EQ(again.readString("Log directory"), "c:\\");
  EXPECT_EQ(again.readString("Open"), "c:\\x");
}

TEST_F(RegistryTest, WriteWithoutAnOpenKeyFails) {
  try {
    reg.writeString("Signal", "Weak");
    ADD_FAILURE();
  } catch (const RegistryError& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'Signal'");
  }
  EXPECT_EQ(reg.readString("Signal"), "");
}

}  // namespace
