// SPDX-License-Identifier: Apache-2.0
#include "comhandoff.h"

#include <cstdio>

namespace corvalis {

struct TMainThreadHandoff::Request {
  const std::function<void()>* Proc = nullptr;
  bool Done = false;
};

namespace {

// Messages sent to a hidden receiver run as hand-off requests, one at a time, in order.
class TQueuedWindow : public THiddenWindow {
 public:
  TQueuedWindow(TMainThreadHandoff& Handoff, TWndMethod Handler)
      : Handoff_(Handoff), Handler_(std::move(Handler)) {}

  std::intptr_t SendMessage(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam) override {
    TMessage m;
    m.Msg = Msg;
    m.WParam = WParam;
    m.LParam = LParam;
    Handoff_.RunOnMainThread([&] { Handler_(m); });
    return m.Result;
  }

 private:
  TMainThreadHandoff& Handoff_;
  TWndMethod Handler_;
};

}  // namespace

TMainThreadHandoff::TMainThreadHandoff() : MainThread_(std::this_thread::get_id()) {}

TMainThreadHandoff::~TMainThreadHandoff() = default;

void TMainThreadHandoff::RunOnMainThread(const std::function<void()>& Proc) {
  if (IsMainThread()) {
    try {
      Proc();
    } catch (...) {
      ReportError(std::current_exception());
    }
    return;
  }
  auto request = std::make_shared<Request>();
  request->Proc = &Proc;
  {
    std::lock_guard lock(Mutex_);
    Queue_.push_back(request);
  }
  Changed_.notify_all();
  Wake();
  std::unique_lock lock(Mutex_);
  Changed_.wait(lock, [&] { return request->Done; });
}

bool TMainThreadHandoff::RunOne(std::unique_lock<std::mutex>& Lock) {
  if (Queue_.empty()) return false;
  std::shared_ptr<Request> request = Queue_.front();
  Queue_.pop_front();
  Lock.unlock();
  try {
    (*request->Proc)();
  } catch (...) {
    ReportError(std::current_exception());
  }
  Lock.lock();
  request->Done = true;
  ++Served_;
  Changed_.notify_all();
  return true;
}

int TMainThreadHandoff::ServePending() {
  std::unique_lock lock(Mutex_);
  int served = 0;
  while (RunOne(lock)) ++served;
  return served;
}

void TMainThreadHandoff::ServeUntil(const std::function<bool()>& Done) {
  std::unique_lock lock(Mutex_);
  for (;;) {
    const std::uint64_t seen = Notifications_;
    lock.unlock();
    if (Done()) return;
    lock.lock();
    if (RunOne(lock)) continue;
    Changed_.wait(lock, [&] { return !Queue_.empty() || Notifications_ != seen; });
  }
}

void TMainThreadHandoff::Notify() {
  {
    std::lock_guard lock(Mutex_);
    ++Notifications_;
  }
  Changed_.notify_all();
}

std::uint64_t TMainThreadHandoff::ServedCount() const {
  std::lock_guard lock(Mutex_);
  return Served_;
}

std::unique_ptr<THiddenWindow> TMainThreadHandoff::CreateHiddenWindow(TWndMethod Handler) {
  return std::make_unique<TQueuedWindow>(*this, std::move(Handler));
}

void TMainThreadHandoff::ReportError(std::exception_ptr Error) {
  if (OnError) {
    try {
      OnError(Error);
    } catch (...) {
    }
    return;
  }
  std::fprintf(stderr, "%s\n", ErrorText(Error).c_str());
}

std::string TMainThreadHandoff::ErrorText(std::exception_ptr Error) {
  try {
    if (Error) std::rethrow_exception(Error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return "Unknown error";
}

}  // namespace corvalis
