// SPDX-License-Identifier: Apache-2.0
#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace kit::testing {
namespace {

void makePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
}

}  // namespace

ProgramResult runProgram(const std::vector<std::string>& argv, const RunOptions& options) {
  if (argv.empty()) throw std::invalid_argument("runProgram: empty argv");
  int outPipe[2], errPipe[2], inPipe[2];
  makePipe(outPipe);
  makePipe(errPipe);
  makePipe(inPipe);

  // Everything the child needs is prepared before fork: only async-signal-safe calls after it.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // Extra entries replace inherited ones of the same name.
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    bool overridden = false;
    for (const auto& extra : options.env) overridden = overridden || nameOf(extra) == nameOf(entry);
    if (!overridden) envStrings.push_back(std::move(entry));
  }
  for (const auto& e : options.env) envStrings.push_back(e);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
    if (options.addressSpaceLimitBytes > 0) {
      struct rlimit rl;
      rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(options.addressSpaceLimitBytes);
      setrlimit(RLIMIT_AS, &rl);
    }
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);

  // Feed stdin and drain both outputs together so that no pipe fills up and blocks the child.
  ProgramResult result;
  std::size_t fed = 0;
  int inFd = inPipe[1];
  if (options.stdinData.empty()) {
    close(inFd);
    inFd = -1;
  } else {
    signal(SIGPIPE, SIG_IGN);
  }
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    pollfd fds[3];
    int count = 0;
    int outIdx = -1, errIdx = -1, inIdx = -1;
    if (outOpen) {
      fds[count] = {outPipe[0], POLLIN, 0};
      outIdx = count++;
    }
    if (errOpen) {
      fds[count] = {errPipe[0], POLLIN, 0};
      errIdx = count++;
    }
    if (inFd >= 0) {
      fds[count] = {inFd, POLLOUT, 0};
      inIdx = count++;
    }
    if (poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    }
    char buf[65536];
    auto drain = [&](int idx, int fd, std::string& into, bool& open) {
      if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
      ssize_t got = read(fd, buf, sizeof buf);
      if (got > 0)
        into.append(buf, static_cast<std::size_t>(got));
      else if (got == 0 || errno != EINTR)
        open = false;
    };
    drain(outIdx, outPipe[0], result.out, outOpen);
    drain(errIdx, errPipe[0], result.err, errOpen);
    if (inIdx >= 0 && fds[inIdx].revents) {
      ssize_t put = write(inFd, options.stdinData.data() + fed, options.stdinData.size() - fed);
      if (put > 0) fed += static_cast<std::size_t>(put);
      if (put < 0 || fed == options.stdinData.size()) {
        close(inFd);
        inFd = -1;
      }
    }
  }
  if (inFd >= 0) close(inFd);
  close(outPipe[0]);
  close(errPipe[0]);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.exitCode = 128 + WTERMSIG(status);
  return result;
}

}  // namespace kit::testing
