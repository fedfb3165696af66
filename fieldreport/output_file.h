// SPDX-License-Identifier: Apache-2.0
#pragma once
// Writing the report's files without harming anything: whole or not at all, never over an input.
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fieldreport {

// Writes bytes to a new file beside path and renames it over path, so that path holds either
// its old contents or all of the new ones. Returns the reason on failure ("" on success); the
// temporary file is removed then. durable: also wait until the bytes are on the disk.
std::string writeAtomically(const std::filesystem::path& path, std::string_view bytes, bool durable = true);

// Whether path names the same file as one of files (also through a link). A path that does not
// exist names none.
bool isOneOf(const std::filesystem::path& path, const std::vector<std::filesystem::path>& files);

// The files given, by what they are on the disk, to ask of many paths whether they are one of them.
class FileSet {
 public:
  explicit FileSet(const std::vector<std::filesystem::path>& files);
  bool contains(const std::filesystem::path& path) const;

 private:
  std::set<std::pair<unsigned long long, unsigned long long>> ids_;  // device and inode
};

}  // namespace fieldreport
