// SPDX-License-Identifier: Apache-2.0
#pragma once
// A small registry of our own, kept in text files.
//
// Each key is one file in the registry's export text: the key
// "\Software\Marrowfield\Orrin\Corvalis" under HKEY_LOCAL_MACHINE is the file
// <root>/HKEY_LOCAL_MACHINE/Software/Marrowfield/Orrin/Corvalis.reg, and its subkeys live in the folder
// beside it (<root>/HKEY_LOCAL_MACHINE/Software/Marrowfield/Orrin/Corvalis/). The root folder is
// CORVALIS_REGISTRY_DIR when set, otherwise ${XDG_CONFIG_HOME:-$HOME/.config}/corvalis/registry.
//
// A key is opened with full access (read and write). Reads see the file as it was when the key was
// opened; every write reads the file afresh, changes only the values written and replaces the file
// atomically (temporary file in the same folder, flushed, renamed), so a failed write leaves the old
// file whole. Lines the registry does not understand are written back unchanged. A file that is no
// export, or one whose values someone else changed since the caller last saw it, is kept beside the
// key's file before a write replaces it.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvalis::records {

// Raised by value reads and writes; the message is the text shown to the user. The file involved,
// the system's error number (0 when none) and, for a value that cannot be read, the line of the file
// and why ("line 7: no closing quote") are there for the log.
class RegistryError : public std::runtime_error {
 public:
  explicit RegistryError(const std::string& message, std::filesystem::path path = {}, int systemError = 0,
                         std::string detail = {})
      : std::runtime_error(message),
        path_(std::move(path)),
        systemError_(systemError),
        detail_(std::move(detail)) {}
  const std::filesystem::path& path() const { return path_; }
  int systemError() const { return systemError_; }
  const std::string& detail() const { return detail_; }

 private:
  std::filesystem::path path_;
  int systemError_;
  std::string detail_;
};

// Why the last openKey could not open its key, or what is wrong with the key's file.
struct RegistryProblem {
  enum class Kind {
    None,
    NotAFolder,    // a folder of the key's path (or the root folder) is something else
    NotAFile,      // the key's file is a folder
    CannotRead,    // the key's file cannot be read (rights, I/O error)
    CannotCreate,  // a folder of the key's path cannot be made
    NoHeader,      // the key's file is no registry export: neither REGEDIT4 nor the Unicode header
  };
  Kind kind = Kind::None;
  std::filesystem::path path;  // the file or folder concerned
  int systemError = 0;         // errno, 0 when none
  explicit operator bool() const { return kind != Kind::None; }
};

// The name under which a key file that cannot be read is kept before it is first written over:
// "<file>.unreadable", or with ".1", ".2", ... added when that name is taken.
std::filesystem::path unreadableCopyPath(const std::filesystem::path& file);

// The name under which a key file changed by someone else is kept before a write goes over those
// changes: "<file>.edited", or with ".1", ".2", ... added when that name is taken.
std::filesystem::path editedCopyPath(const std::filesystem::path& file);

enum class RootKey { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };

// "HKEY_LOCAL_MACHINE" and the like.
std::string_view rootKeyName(RootKey root);

// What a stored value holds.
enum class ValueKind {
  Absent,        // no such value (or deleted with "name"=-)
  String,        // REG_SZ: "text" or hex(1):
  ExpandString,  // REG_EXPAND_SZ: hex(2):
  DWord,         // REG_DWORD: dword:
  Binary,        // REG_BINARY: hex:
  Other,         // any other type, or data that cannot be understood
};

class Registry {
 public:
  // Uses the root folder from the environment (see defaultRegistryDir).
  explicit Registry(RootKey root = RootKey::LocalMachine);
  // Uses the given root folder.
  Registry(RootKey root, std::filesystem::path rootDir);
  ~Registry() = default;
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // The root folder named by the environment; empty when neither CORVALIS_REGISTRY_DIR, XDG_CONFIG_HOME
  // nor a home folder is known.
  static std::filesystem::path defaultRegistryDir();

  const std::filesystem::path& rootDir() const { return rootDir_; }

  // Opens a key, closing the one open before. A path starting with "\" is taken from the root,
  // otherwise from the key open now. With canCreate the key's folders are made as needed and its file is
  // made by the first write; without it the key must exist. Returns false when the key cannot be opened
  // (absent, unreadable, or a name that cannot be a file name); nothing is raised, and problem() says
  // why when it is more than an absent key. A key file that is no registry export (no header line) is
  // not opened for reading; with canCreate it opens empty, and the first write that changes it keeps the
  // old file under unreadableCopyPath before replacing it.
  bool openKey(std::string_view path, bool canCreate);
  const RegistryProblem& problem() const { return problem_; }
  // Where the last write kept the file it found before replacing it; empty when it kept none.
  // keptAsideWhy() says whether that file could not be read (unreadableCopyPath) or held changes made
  // by someone else (editedCopyPath); for those, overwrittenEdits() names the values they changed that
  // the write went over, and keptEarlier() says the same bytes were already kept there before.
  enum class KeptAsideWhy { Unreadable, EditedElsewhere };
  const std::filesystem::path& keptAside() const { return keptAside_; }
  KeptAsideWhy keptAsideWhy() const { return keptAsideWhy_; }
  const std::vector<std::string>& overwrittenEdits() const { return overwrittenEdits_; }
  bool keptEarlier() const { return keptEarlier_; }
  void closeKey();
  bool hasOpenKey() const { return open_; }
  // The open key's full name, "HKEY_LOCAL_MACHINE\Software\...".
  std::string currentKeyName() const;
  // The open key's text as read when the key was opened or as last written (empty for a key without
  // a file yet).
  const std::string& currentKeyText() const { return snapshot_; }

  // Whether a key exists, without opening it.
  bool keyExists(std::string_view path) const;
  // The file that holds a key's values, whether it exists or not; empty for an invalid path.
  std::filesystem::path keyFile(std::string_view path) const;

  // Value names are compared without regard to letter case; a name keeps the spelling it was stored with.
  ValueKind valueKind(std::string_view name) const;
  bool valueExists(std::string_view name) const { return valueKind(name) != ValueKind::Absent; }

  // A string value's text (REG_EXPAND_SZ text is given unexpanded). An absent value reads as empty.
  // Any other type, or data that cannot be understood, raises "Invalid data type for '<name>'" with
  // the line of the file and the reason as detail.
  std::string readString(std::string_view name) const;

  // Stores a string value (REG_SZ). Raises "Failed to set data for '<name>'" when no key is open or
  // the file cannot be replaced; the file on disk is then unchanged.
  void writeString(std::string_view name, std::string_view value);

  // Stores several string values with a single replacement of the file: all of them or none. A failure
  // names the first value whose data was to change.
  //
  // knownText, when given, is the key's text as the caller last read or wrote it. A value that the
  // file now holds otherwise (changed, deleted or added by someone else since) and that this write
  // replaces with other data would be lost: before the file is replaced, it is kept byte for byte
  // under editedCopyPath (or found already kept there) and keptAside() says where.
  void writeStrings(const std::vector<std::pair<std::string, std::string>>& values,
                    const std::string* knownText = nullptr);

 private:
  struct KeyPath {
    std::vector<std::string> parts;  // components below the root key
  };
  std::optional<KeyPath> parsePath(std::string_view path) const;
  std::string fullKeyName(const KeyPath& key) const;
  // Finds the key's file (matching existing names without regard to case); with create, makes the folders
  // above it. Nothing when the key is absent (without create) or a folder cannot be made; *problem says
  // why when it is more than an absent key.
  std::optional<std::filesystem::path> locate(const KeyPath& key, bool create, bool* exists,
                                              RegistryProblem* problem) const;

  RootKey root_;
  std::filesystem::path rootDir_;
  bool open_ = false;
  KeyPath current_;
  std::filesystem::path file_;
  std::string snapshot_;  // the file's text (UTF-8, as decoded) when opened or last written
  RegistryProblem problem_;
  std::filesystem::path keptAside_;
  KeptAsideWhy keptAsideWhy_ = KeptAsideWhy::Unreadable;
  std::vector<std::string> overwrittenEdits_;
  bool keptEarlier_ = false;
};

}  // namespace corvalis::records
