// SPDX-License-Identifier: Apache-2.0
#include "pty_link.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace tty {

namespace fs = std::filesystem;

std::optional<std::string> portLinkName(std::string_view text) {
  if (text.size() <= 3 || !(text.starts_with("COM") || text.starts_with("com")) || text[3] == '0') return {};
  int n = 0;
  auto [end, ec] = std::from_chars(text.data() + 3, text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size() || n < 1 || n > 16) return {};
  return "COM" + std::to_string(n);
}

std::string readyField(std::string_view value) {
  std::string r;
  for (char c : value) {
    if (c == ' ' || c == '\\') r += '\\';
    r += c;
  }
  return r;
}

std::unique_ptr<PtyLink> PtyLink::create(const std::string& dir, const std::string& name,
                                         std::string* error) {
  auto fail = [error](const std::string& what) -> std::unique_ptr<PtyLink> {
    *error = what;
    return nullptr;
  };
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) {
    return fail("cannot make port folder '" + dir + "': " + (ec ? ec.message() : "not a folder"));
  }
  std::unique_ptr<PtyLink> p(new PtyLink);
  p->dir_ = dir;
  p->link_ = (fs::path(dir) / name).string();

  // The name may be taken only by a link left behind by a run that did not clean up.
  auto st = fs::symlink_status(p->link_, ec);
  if (fs::exists(st)) {
    if (!fs::is_symlink(st)) return fail("'" + p->link_ + "' exists and is not a link; pick another --port");
    if (fs::exists(p->link_, ec)) {
      return fail("'" + p->link_ + "' is taken (a link to " + fs::read_symlink(p->link_, ec).string() +
                  "); pick another --port or remove it");
    }
  }

  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    return fail(std::string("cannot open a pseudo-terminal: ") + std::strerror(errno));
  }
  p->master_ = master;
  char path[256];
  if (ttyname_r(slave, path, sizeof path) != 0) {
    close(slave);
    return fail(std::string("cannot name the pseudo-terminal: ") + std::strerror(errno));
  }
  p->device_ = path;
  // A serial line passes bytes untouched: no echo, no line editing, no CR/LF translation. The
  // settings stay with the terminal when the program opens and closes it.
  termios t{};
  if (tcgetattr(slave, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
  }
  // Without our own handle on the device, its hang-up tells when the program opens and closes it.
  close(slave);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);

  std::string tmp = (fs::path(dir) / ("." + name + ".ttysim." + std::to_string(getpid()))).string();
  unlink(tmp.c_str());
  if (symlink(p->device_.c_str(), tmp.c_str()) != 0) {
    return fail("cannot make a link in '" + dir + "': " + std::strerror(errno));
  }
  if (rename(tmp.c_str(), p->link_.c_str()) != 0) {
    int e = errno;
    unlink(tmp.c_str());
    return fail("cannot make the link '" + p->link_ + "': " + std::strerror(e));
  }
  return p;
}

void PtyLink::removeLink() {
  if (link_.empty()) return;
  char target[256];
  ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
  if (n >= 0) {
    target[n] = 0;
    if (device_ == target) unlink(link_.c_str());
  }
  link_.clear();
}

bool PtyLink::writePending(std::string& pending, std::string* error,
                           const std::function<bool(std::string_view chunk)>& sent) const {
  while (!pending.empty()) {
    ssize_t n = write(master_, pending.data(), pending.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      if (errno == EIO) {  // closed under us: the hang-up is seen by the next poll
        pending.clear();
        break;
      }
      *error = std::string("cannot write to the pseudo-terminal: ") + std::strerror(errno);
      return false;
    }
    const auto went = static_cast<std::size_t>(n);
    if (sent && !sent(std::string_view(pending).substr(0, went))) return false;
    pending.erase(0, went);
  }
  return true;
}

PtyLink::~PtyLink() {
  removeLink();
  if (master_ >= 0) close(master_);
}

}  // namespace tty
