// SPDX-License-Identifier: Apache-2.0
#pragma once
// A plain hand-off that also lets a test wait until the event thread has queued a request.
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "comhandoff.h"

namespace corvalis::testing {

class TTestHandoff : public TPlainHandoff {
 public:
  // Blocks until at least Count requests have been queued since construction.
  void WaitForRequests(std::uint64_t Count) {
    std::unique_lock lock(Mutex_);
    Queued_.wait(lock, [&] { return Wakes_ >= Count; });
  }

 protected:
  void Wake() override {
    {
      std::lock_guard lock(Mutex_);
      ++Wakes_;
    }
    Queued_.notify_all();
  }

 private:
  mutable std::mutex Mutex_;
  std::condition_variable Queued_;
  std::uint64_t Wakes_ = 0;
};

}  // namespace corvalis::testing
