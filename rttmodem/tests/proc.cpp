// SPDX-License-Identifier: Apache-2.0
#include "proc.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rttmodem::testing {

Proc::Proc(const std::string& program, const std::vector<std::string>& args,
           const std::vector<std::string>& env) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  outFd_ = out[0];
  errFd_ = err[0];
  fcntl(outFd_, F_SETFL, O_NONBLOCK);
  fcntl(errFd_, F_SETFL, O_NONBLOCK);
}

Proc::~Proc() {
  if (pid_ > 0 && status_ < 0) {
    kill(pid_, SIGTERM);
    if (wait(std::chrono::seconds(5)) < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  for (int fd : {in_, outFd_, errFd_})
    if (fd >= 0) close(fd);
}

void Proc::write(std::string_view bytes) {
  while (!bytes.empty() && in_ >= 0) {
    ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void Proc::closeInput() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void Proc::signal(int sig) {
  if (pid_ > 0 && status_ < 0) kill(pid_, sig);
}

bool Proc::pump(std::chrono::milliseconds limit, const std::string* buffer, std::string_view text) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (buffer && buffer->find(text) != std::string::npos) return true;
    if (outFd_ < 0 && errFd_ < 0) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    for (int k = 0; k < 2; ++k) {
      if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = ::read(fds[k].fd, buf, sizeof buf);
      if (n > 0) {
        (k == 0 ? out_ : err_).append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        close(fds[k].fd);
        (k == 0 ? outFd_ : errFd_) = -1;
      }
    }
  }
}

bool Proc::waitErr(std::string_view text, std::chrono::milliseconds limit) {
  return pump(limit, &err_, text);
}
bool Proc::waitOut(std::string_view text, std::chrono::milliseconds limit) {
  return pump(limit, &out_, text);
}

int Proc::wait(std::chrono::milliseconds limit) {
  if (status_ >= 0 || pid_ <= 0) return status_;
  pump(limit, nullptr, {});  // to the end of its output, or the limit
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int st;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return -1;
    // Waits in the kernel for the exit itself, within the limit.
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidFd < 0) return -1;
    pollfd p{pidFd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
    close(pidFd);
  }
}

std::string Proc::logValue(std::string_view lineWord, std::string_view name) const {
  std::size_t at = 0;
  const std::string word = " " + std::string(lineWord) + " ";
  while ((at = err_.find(word, at)) != std::string::npos) {
    const std::size_t eol = err_.find('\n', at);
    const std::string line = err_.substr(at, eol - at);
    const std::string key = " " + std::string(name) + "=";
    const std::size_t k = line.find(key);
    if (k != std::string::npos) {
      const std::size_t v = k + key.size();
      return line.substr(v, line.find(' ', v) - v);
    }
    at = eol;
  }
  return {};
}

int freeUdpPort() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

Port::Port(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios t{};
  if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
  }
}

void Port::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Port::write(std::string_view s) {
  while (!s.empty() && fd_ >= 0) {
    const ssize_t n = ::write(fd_, s.data(), s.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, 100);
      continue;
    }
    if (n <= 0) return;
    s.remove_prefix(static_cast<std::size_t>(n));
  }
}

bool Port::waitFor(std::string_view text, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (got_.find(text, mark_) == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[1024];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n > 0) got_.append(buf, static_cast<std::size_t>(n));
  }
  mark_ = got_.find(text, mark_) + text.size();
  return true;
}

int Port::waitForAny(const std::vector<std::string>& texts, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::size_t best = std::string::npos;
    int which = -1;
    for (std::size_t i = 0; i < texts.size(); ++i) {
      const std::size_t at = got_.find(texts[i], mark_);
      if (at < best) best = at, which = static_cast<int>(i);
    }
    if (which >= 0) {
      mark_ = best + texts[static_cast<std::size_t>(which)].size();
      return which;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || fd_ < 0) return -1;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[1024];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n > 0) got_.append(buf, static_cast<std::size_t>(n));
  }
}

bool Port::command(const std::string& line, std::string_view result) {
  write(line + "\r");
  return waitFor(result);
}

}  // namespace rttmodem::testing
