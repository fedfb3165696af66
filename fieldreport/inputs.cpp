// SPDX-License-Identifier: Apache-2.0
#include "inputs.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

namespace fieldreport {
namespace {

using FileId = std::pair<dev_t, ino_t>;

std::string kindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

class Finder {
 public:
  explicit Finder(std::vector<std::string>& outputFolders) : outputFolders_(outputFolders) {}

  void argument(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
      const int error = errno;
      struct stat link;
      if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
        problem(path, error == ELOOP ? "a link that leads back to itself" : "a link to nothing");
      else
        problem(path, error == ENOENT ? "no such file or folder"
                                      : std::string("cannot read: ") + std::strerror(error));
      return;
    }
    if (S_ISDIR(info.st_mode)) {
      std::vector<FileId> above;
      folder(path, info, above);
    } else if (S_ISREG(info.st_mode)) {
      file(path, info, false);
    } else {
      problem(path, "not a file or folder");
    }
  }

  std::vector<Input> inputs;

 private:
  void problem(const std::string& path, std::string why) { inputs.push_back({path, std::move(why), false, ""}); }

  void file(const std::string& path, const struct stat& info, bool searched) {
    if (!files_.insert({info.st_dev, info.st_ino}).second) return;
    inputs.push_back({path, "", searched, "", isTraceName(path)});
  }

  void folder(const std::string& path, const struct stat& info, std::vector<FileId>& above) {
    const FileId id{info.st_dev, info.st_ino};
    if (!folders_.insert(id).second) return;  // reached before by another way: its files are taken
    struct stat marker;
    if (stat((std::filesystem::path(path) / kTextsMarker).c_str(), &marker) == 0) {
      outputFolders_.push_back(path);
      return;
    }
    DIR* dir = opendir(path.c_str());
    if (!dir) {
      problem(path, std::string("cannot read the folder: ") + std::strerror(errno));
      return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    const int readError = errno;
    closedir(dir);
    if (readError != 0)
      problem(path, std::string("cannot read the whole folder: ") + std::strerror(readError));
    std::sort(names.begin(), names.end());
    above.push_back(id);
    for (const std::string& name : names) {
      const std::string child = (std::filesystem::path(path) / name).string();
      struct stat link, target;
      if (lstat(child.c_str(), &link) != 0) {
        problem(child, std::string("cannot read: ") + std::strerror(errno));
        continue;
      }
      if (stat(child.c_str(), &target) != 0) {
        // A link that leads nowhere is only a lost capture (or trace) when it is named like one.
        if (isCaptureName(child) || isTraceName(child))
          problem(child, errno == ELOOP ? "a link that leads back to itself" : "a link to nothing");
        continue;
      }
      if (S_ISDIR(target.st_mode)) {
        if (std::find(above.begin(), above.end(), FileId{target.st_dev, target.st_ino}) != above.end()) {
          problem(child, "a link back to a folder above it (a loop): not searched again");
          continue;
        }
        folder(child, target, above);
      } else if (S_ISREG(target.st_mode) && (isCaptureName(child) || isTraceName(child))) {
        file(child, target, true);
      } else if (isCaptureName(child)) {
        inputs.push_back({child, "", true, "named like a capture file but " + kindOf(target.st_mode) + ": not read"});
      } else if (isTraceName(child)) {
        inputs.push_back(
            {child, "", true, "named like a wire trace but " + kindOf(target.st_mode) + ": not read", true});
      }
    }
    above.pop_back();
  }

  std::vector<std::string>& outputFolders_;
  std::set<FileId> files_, folders_;
};

}  // namespace

bool isCaptureName(const std::filesystem::path& path) {
  std::string ext = path.extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".txt";
}

bool isTraceName(const std::filesystem::path& path) {
  const std::string name = path.filename().string();
  return name.ends_with(".rtttrace") || name.ends_with(".rtttrace.part");
}

std::vector<Input> findCaptures(const std::vector<std::string>& arguments,
                                std::vector<std::string>& outputFolders) {
  Finder finder(outputFolders);
  for (const std::string& a : arguments) finder.argument(a);
  return std::move(finder.inputs);
}

}  // namespace fieldreport
