// SPDX-License-Identifier: Apache-2.0
#include "ui/termination.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <array>
#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace corvalis {

namespace {

constexpr std::array<int, 3> kSignals = {SIGTERM, SIGHUP, SIGINT};

// The pipe from the handler to the event loop: a handler may do little more than write(2).
int g_pipe[2] = {-1, -1};
struct sigaction g_previous[kSignals.size()];

void RestoreDefaults() {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig : kSignals) sigaction(sig, &dfl, nullptr);
}

extern "C" void OnTerminationSignal(int sig) {
  const int savedErrno = errno;
  RestoreDefaults();
  const unsigned char byte = static_cast<unsigned char>(sig);
  [[maybe_unused]] ssize_t n = write(g_pipe[1], &byte, 1);
  errno = savedErrno;
}

}  // namespace

TTerminationSignals::TTerminationSignals(std::function<void(int)> OnSignal) : onSignal_(std::move(OnSignal)) {
  if (g_pipe[0] >= 0) throw std::logic_error("termination signals are taken already");
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2 failed");
  notifier_ = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Deliver(); });
  struct sigaction sa {};
  sa.sa_handler = OnTerminationSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : kSignals) sigaddset(&sa.sa_mask, sig);
  sa.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &sa, &g_previous[i]);
}

TTerminationSignals::~TTerminationSignals() {
  for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
  notifier_.reset();
  close(g_pipe[0]);
  close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
}

void TTerminationSignals::Deliver() {
  unsigned char byte = 0;
  // One delivery for the first signal; later ones (before the defaults were back) change nothing.
  bool any = false;
  int first = 0;
  while (read(g_pipe[0], &byte, 1) == 1) {
    if (!any) first = byte;
    any = true;
  }
  if (!any || !onSignal_) return;
  auto handler = std::move(onSignal_);
  onSignal_ = nullptr;
  handler(first);
}

}  // namespace corvalis
