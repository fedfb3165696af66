// SPDX-License-Identifier: Apache-2.0
#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fieldreport {

std::string writeAtomically(const std::filesystem::path& path, std::string_view bytes, bool durable) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return "it is a folder";
  std::filesystem::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  std::string name = ".";  // not "." + a temporary: GCC 12 at -O3 warns wrongly (-Wrestrict)
  name += path.filename().string();
  name += ".XXXXXX";
  std::string temp = (folder / name).string();
  const int fd = mkstemp(temp.data());
  if (fd < 0) return std::strerror(errno);
  auto fail = [&](int error) {
    close(fd);
    unlink(temp.c_str());
    return std::string(std::strerror(error));
  };
  // mkstemp makes the file private; a report is an ordinary file (0666 less the umask).
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd, 0666 & ~mask) != 0) return fail(errno);
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (durable && fsync(fd) != 0) return fail(errno);
  if (close(fd) != 0) {
    const int error = errno;
    unlink(temp.c_str());
    return std::strerror(error);
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    unlink(temp.c_str());
    return std::strerror(error);
  }
  return "";
}

bool isOneOf(const std::filesystem::path& path, const std::vector<std::filesystem::path>& files) {
  struct stat target;
  if (stat(path.c_str(), &target) != 0) return false;
  for (const auto& file : files) {
    struct stat info;
    if (stat(file.c_str(), &info) == 0 && info.st_dev == target.st_dev && info.st_ino == target.st_ino)
      return true;
  }
  return false;
}

FileSet::FileSet(const std::vector<std::filesystem::path>& files) {
  for (const auto& file : files) {
    struct stat info;
    if (stat(file.c_str(), &info) == 0) ids_.insert({info.st_dev, info.st_ino});
  }
}

bool FileSet::contains(const std::filesystem::path& path) const {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && ids_.count({info.st_dev, info.st_ino}) > 0;
}

}  // namespace fieldreport
