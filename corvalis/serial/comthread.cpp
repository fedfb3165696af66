// SPDX-License-Identifier: Apache-2.0
#include "comthread.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace corvalis {

std::uint32_t DeviceEventOf(TEvent Event) {
  switch (Event) {
    case evRxChar:
      return comdev::EV_RXCHAR;
    case evTxEmpty:
      return comdev::EV_TXEMPTY;
    case evRxFlag:
      return comdev::EV_RXFLAG;
    case evRing:
      return comdev::EV_RING;
    case evBreak:
      return comdev::EV_BREAK;
    case evCTS:
      return comdev::EV_CTS;
    case evDSR:
      return comdev::EV_DSR;
    case evError:
      return comdev::EV_ERR;
    case evRLSD:
      return comdev::EV_RLSD;
    case evRx80Full:
      return comdev::EV_RX80FULL;
  }
  return 0;
}

std::uint32_t DeviceMaskOf(TEvents Events) {
  std::uint32_t mask = 0;
  for (int e = evRxChar; e <= evRx80Full; ++e)
    if (Events.Contains(static_cast<TEvent>(e))) mask |= DeviceEventOf(static_cast<TEvent>(e));
  return mask;
}

// Everything the running thread uses. Shared so that a thread that was let go can finish on
// its own after the port has dropped its device.
struct TComThread::TState {
  TComPort* Owner = nullptr;
  TSyncMethod SyncMethod = smThreadSync;
  TMainThreadHandoff* Handoff = nullptr;
  std::shared_ptr<TComDevice> Device;
  std::shared_ptr<THiddenWindow> Window;
  std::unique_ptr<TEventWaiter> Waiter;  // after Device: released first
  std::uint32_t Mask = 0;
  std::uint32_t EventMask = 0;  // the batch being delivered
  // When the wait for that batch ended (steady clock, ns): when its bytes were there to read.
  std::atomic<std::int64_t> WokeNs{0};
  std::atomic<bool> Detached{false};
  std::atomic<bool> Finished{false};
};

TComThread::TComThread(TComPort* Owner) : State_(std::make_shared<TState>()) {
  State_->Owner = Owner;
  State_->SyncMethod = Owner->SyncMethod();
  State_->Handoff = Owner->Handoff_;
  State_->Device = Owner->Handle_;
  State_->Window = Owner->WindowHandle_;
  State_->Mask = DeviceMaskOf(Owner->Events());
  int error = 0;
  State_->Waiter = State_->Device->CreateEventWaiter(State_->Mask, error);
  if (!State_->Waiter) throw EComPort(1, error);
  Thread_ = std::thread(&TComThread::Execute, State_);
}

TComThread::~TComThread() {
  if (!Thread_.joinable()) return;
  SignalStop();
  TMainThreadHandoff* handoff = State_->Handoff;
  if (handoff && State_->SyncMethod != smNone && handoff->IsMainThread()) {
    std::shared_ptr<TState> state = State_;
    handoff->ServeUntil([&] { return state->Finished.load(); });
  }
  Thread_.join();
}

void TComThread::SignalStop() {
  State_->Waiter->Stop();
}

void TComThread::LetGo() {
  State_->Detached = true;
  // What the thread would do on its way out, done now: after this the device is left alone.
  State_->Device->PurgeComm(comdev::PURGE_TXABORT | comdev::PURGE_RXABORT | comdev::PURGE_TXCLEAR |
                            comdev::PURGE_RXCLEAR);
  State_->Device->LetGo();
  SignalStop();
}

bool TComThread::Finished() const {
  return State_->Finished.load();
}

std::int64_t TComThread::SinceWokeMs() const {
  const std::int64_t woke = State_->WokeNs.load();
  if (woke == 0) return 0;
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
  return std::max<std::int64_t>(0, (now - woke) / 1'000'000);
}

std::uint32_t TComThread::DeviceMask() const {
  return State_->Mask;
}

void TComThread::Execute(std::shared_ptr<TState> State) {
  pthread_setname_np(pthread_self(), "comport");
  for (;;) {
    std::uint32_t events = 0;
    const TWaitResult result = State->Waiter->Wait(events);
    if (result == TWaitResult::Stopped || result == TWaitResult::Failed) break;
    if (result == TWaitResult::HungUp) {
      // Reported once; after that the device has nothing more to say.
      if (State->Mask & comdev::EV_ERR) {
        State->EventMask = comdev::EV_ERR;
        DeliverEvents(State);
      }
      State->Waiter->WaitForStop();
      break;
    }
    State->EventMask = events & State->Mask;
    State->WokeNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    if (State->EventMask != 0 && !State->Detached) DeliverEvents(State);
  }
  const bool detached = State->Detached;
  if (!detached) {
    State->Device->PurgeComm(comdev::PURGE_TXABORT | comdev::PURGE_RXABORT | comdev::PURGE_TXCLEAR |
                             comdev::PURGE_RXCLEAR);
  }
  State->Finished = true;
  // The port joins every thread of its own before it goes, so the hand-off is still there.
  if (State->Handoff) State->Handoff->Notify();
}

void TComThread::DeliverEvents(const std::shared_ptr<TState>& State) {
  switch (State->SyncMethod) {
    case smThreadSync:
      State->Handoff->RunOnMainThread([&] { FireEvents(State); });
      break;
    case smWindowSync:
      SendEventMessages(State);
      break;
    case smNone:
      try {
        FireEvents(State);
      } catch (...) {
        if (State->Handoff)
          State->Handoff->ReportError(std::current_exception());
        else
          std::fprintf(stderr, "%s\n", TMainThreadHandoff::ErrorText(std::current_exception()).c_str());
      }
      break;
  }
}

void TComThread::SendEventMessages(const std::shared_ptr<TState>& State) {
  for (std::uint32_t value : DeliveryOrder) {
    if (State->Detached) return;
    if (State->EventMask & value) State->Window->SendMessage(PortEventMessage, value, 0);
  }
}

void TComThread::FireEvents(const std::shared_ptr<TState>& State) {
  TComPort* port = State->Owner;
  const bool onMain = State->SyncMethod != smNone;
  if (onMain) ++port->DeliveryDepth_;
  struct Leave {
    TComPort* Port;
    bool OnMain;
    ~Leave() {
      if (OnMain) --Port->DeliveryDepth_;
    }
  } leave{port, onMain};
  for (std::uint32_t value : DeliveryOrder) {
    if (State->Detached) return;
    if (State->EventMask & value) port->FireEvent(value);
  }
}

}  // namespace corvalis
