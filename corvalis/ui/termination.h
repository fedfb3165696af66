// SPDX-License-Identifier: Apache-2.0
#pragma once
// SIGTERM (kill, a shutdown), SIGHUP (a logout, the terminal gone) and SIGINT (Ctrl+C) turned into
// a call on the main thread, so that the program can close the orderly way instead of dying at
// once. After the first of them the three get their default action back, so a second one ends a
// program that no longer responds.
#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace corvalis {

class TTerminationSignals : public QObject {
 public:
  // OnSignal runs on the thread that made this object, from its event loop, with the signal's number.
  explicit TTerminationSignals(std::function<void(int Signal)> OnSignal);
  // Puts the earlier handlers back.
  ~TTerminationSignals() override;
  TTerminationSignals(const TTerminationSignals&) = delete;
  TTerminationSignals& operator=(const TTerminationSignals&) = delete;

 private:
  void Deliver();
  std::function<void(int)> onSignal_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace corvalis
