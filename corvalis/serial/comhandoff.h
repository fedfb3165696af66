// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one thing the serial port needs of the application: running code on the main thread.
//
// The event thread calls RunOnMainThread and blocks; the request waits in a queue until the
// main thread serves it (ServePending, called by the toolkit after Wake, or ServeUntil, which
// TComPort::Close uses so that a delivery in flight can finish while it waits for the thread).
// The class is toolkit-free; a toolkit only implements Wake (see comhandoff_qt.h).
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace corvalis {

// A message for the hidden receiver of smWindowSync.
struct TMessage {
  std::uint32_t Msg = 0;
  std::uintptr_t WParam = 0;
  std::intptr_t LParam = 0;
  std::intptr_t Result = 0;
};

// Message number of a port event; WParam is the device event value.
inline constexpr std::uint32_t PortEventMessage = 1025;

using TWndMethod = std::function<void(TMessage& Message)>;

// A hidden main-thread receiver of messages.
class THiddenWindow {
 public:
  virtual ~THiddenWindow() = default;
  // Any thread: has the message handled on the main thread and returns its result.
  virtual std::intptr_t SendMessage(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam) = 0;
};

class TMainThreadHandoff {
 public:
  // The thread that constructs the hand-off is its main thread.
  TMainThreadHandoff();
  virtual ~TMainThreadHandoff();
  TMainThreadHandoff(const TMainThreadHandoff&) = delete;
  TMainThreadHandoff& operator=(const TMainThreadHandoff&) = delete;

  // Runs Proc on the main thread and returns after it has returned there. On the main thread
  // itself Proc runs at once. An exception from Proc goes to ReportError.
  void RunOnMainThread(const std::function<void()>& Proc);

  // Main thread: runs every request that is waiting. Returns how many ran.
  int ServePending();
  // Main thread: serves requests until Done() returns true. Done is checked on entry, after
  // every request and after every Notify().
  void ServeUntil(const std::function<bool()>& Done);
  // Any thread: makes a ServeUntil in progress check its condition again.
  void Notify();

  // A hidden receiver whose messages run Handler on the main thread.
  virtual std::unique_ptr<THiddenWindow> CreateHiddenWindow(TWndMethod Handler);

  // Errors that escaped a handler during a delivery; called on the thread that ran the handler
  // (the event thread under smNone). The default calls OnError when set, else writes the
  // message to standard error.
  virtual void ReportError(std::exception_ptr Error);
  std::function<void(std::exception_ptr)> OnError;

  bool IsMainThread() const { return std::this_thread::get_id() == MainThread_; }
  // Requests served so far (for tests and benchmarks).
  std::uint64_t ServedCount() const;

  // Text of an exception for an error box: what() of a std::exception, else "Unknown error".
  static std::string ErrorText(std::exception_ptr Error);

 protected:
  // Called from the requesting thread after a request was queued: arrange for ServePending to
  // run on the main thread soon. The plain hand-off does nothing (its owner serves by hand).
  virtual void Wake() = 0;

 private:
  struct Request;
  bool RunOne(std::unique_lock<std::mutex>& Lock);

  std::thread::id MainThread_;
  mutable std::mutex Mutex_;
  std::condition_variable Changed_;
  std::deque<std::shared_ptr<Request>> Queue_;
  std::uint64_t Served_ = 0;
  std::uint64_t Notifications_ = 0;
};

// A hand-off without a toolkit: the main thread serves requests itself with ServePending or
// ServeUntil (tests and console tools).
class TPlainHandoff : public TMainThreadHandoff {
 protected:
  void Wake() override {}
};

}  // namespace corvalis
