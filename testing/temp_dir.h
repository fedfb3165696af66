// SPDX-License-Identifier: Apache-2.0
#pragma once
// A temporary folder for one test, removed with everything in it afterwards.
#include <filesystem>
#include <string>
#include <string_view>

namespace kit::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Full path of a name inside the folder.
  std::string file(std::string_view name) const;
  // Writes bytes exactly as given and returns the full path.
  std::string write(std::string_view name, std::string_view bytes) const;

 private:
  std::filesystem::path path_;
};

// Whole contents of a file as bytes; throws when it cannot be read.
std::string readFile(const std::filesystem::path& path);

}  // namespace kit::testing
