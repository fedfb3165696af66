// SPDX-License-Identifier: Apache-2.0
#pragma once
// The event thread of an open TComPort: waits on the device and hands each batch of events to
// the port's notifiers, on the thread that the port's SyncMethod names.
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "comdevice.h"
#include "comhandoff.h"
#include "comport.h"

namespace corvalis {

// Device event value of each TEvent, and the order in which a batch is delivered.
std::uint32_t DeviceEventOf(TEvent Event);
std::uint32_t DeviceMaskOf(TEvents Events);
inline constexpr std::uint32_t DeliveryOrder[10] = {1, 4, 64, 256, 8, 16, 2, 32, 128, 1024};

class TComThread {
 public:
  // Creates the waiter for the port's Events and starts the thread. Raises EComPort code 1
  // when the wait cannot be set up.
  explicit TComThread(TComPort* Owner);
  // Stops the thread and waits for its end, serving deliveries on the main thread meanwhile.
  ~TComThread();
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;

  void SignalStop();
  // For a Close made from inside one of this thread's own deliveries: the batch in progress is
  // cut short, the device is purged and let go (the port may be opened again at once, and the
  // thread no longer touches the line), and the thread ends by itself once that delivery has
  // returned. The port still destroys this object afterwards, which joins the thread.
  void LetGo();
  bool IsCurrentThread() const { return std::this_thread::get_id() == Thread_.get_id(); }
  // The thread body has returned.
  bool Finished() const;
  std::uint32_t DeviceMask() const;
  // Milliseconds since the thread's last wait ended with events: during a delivery, how long its
  // bytes have been waiting for the main thread.
  std::int64_t SinceWokeMs() const;

 private:
  struct TState;
  static void Execute(std::shared_ptr<TState> State);
  static void DeliverEvents(const std::shared_ptr<TState>& State);
  static void SendEventMessages(const std::shared_ptr<TState>& State);
  static void FireEvents(const std::shared_ptr<TState>& State);

  std::shared_ptr<TState> State_;
  std::thread Thread_;
};

}  // namespace corvalis
