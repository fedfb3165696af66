// SPDX-License-Identifier: Apache-2.0
#pragma once
// CPU time of the port's event thread, read from /proc: how the tests and the benchmark tell
// that an idle open port sleeps.
#include <dirent.h>

#include <fstream>
#include <sstream>
#include <string>

namespace corvalis::testing {

// Clock ticks (user and system) of this process's thread named "comport"; -1 when there is none.
inline long EventThreadTicks() {
  DIR* d = opendir("/proc/self/task");
  if (!d) return -1;
  long ticks = -1;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string base = std::string("/proc/self/task/") + e->d_name;
    std::ifstream comm(base + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name != "comport") continue;
    std::ifstream stat(base + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15; ++i) {
      rest >> field;
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    ticks = utime + stime;
  }
  closedir(d);
  return ticks;
}

}  // namespace corvalis::testing
