// SPDX-License-Identifier: Apache-2.0
// TComPort on the scripted device: property and error rules, and event delivery.
#include "comport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "comthread.h"
#include "fake_device.h"
#include "test_handoff.h"

namespace corvalis {
namespace {

using testing::TFakeDevice;
using testing::TFakeSystem;
using testing::TTestHandoff;
using namespace comdev;

class ComPortTest : public ::testing::Test {
 protected:
  ComPortTest()
      : System(std::make_shared<TFakeSystem>()), Com1(System->Add("COM1")), Port(&Handoff, System) {}

  TTestHandoff Handoff;
  std::shared_ptr<TFakeSystem> System;
  std::shared_ptr<TFakeDevice> Com1;
  TComPort Port;
};

template <typename F>
int CodeOf(F&& f, std::string* message = nullptr, int* system = nullptr) {
  try {
    f();
  } catch (const EComPort& e) {
    if (message) *message = e.what();
    if (system) *system = e.SystemErrorCode();
    return e.ErrorCode();
  }
  return 0;
}

TEST(EComPortTest, MessagesCarryTheSystemErrorOnlyWhenThereIsOne) {
  EXPECT_STREQ(EComPort(1, 2).what(), "Unable to open com port (win error code: 2)");
  EXPECT_EQ(EComPort(1, 2).SystemErrorCode(), 2);
  EXPECT_EQ(EComPort(1, 2).ErrorCode(), 1);
  EXPECT_STREQ(EComPort(14).what(), "Cannot set SyncMethod while connected");
  EXPECT_EQ(EComPort(14).SystemErrorCode(), -1);
  EXPECT_STREQ(EComPort(4).what(), "Invalid Async parameter");
  EXPECT_STREQ(EComPort(8, 22).what(), "SetCommTimeouts failed (win error code: 22)");
  EXPECT_STREQ(PortErrorMessages[6], "Unable to get async status");
  EXPECT_STREQ(PortErrorMessages[15], "EnumPorts function failed");
}

TEST(NormalizePortNameTest, NumbersOneToSixteenWithOrWithoutPrefix) {
  EXPECT_EQ(TComPort::NormalizePortName("3"), "COM3");
  EXPECT_EQ(TComPort::NormalizePortName("com3"), "COM3");
  EXPECT_EQ(TComPort::NormalizePortName("cOm16"), "COM16");
  EXPECT_EQ(TComPort::NormalizePortName("COM0"), "COM1");
  EXPECT_EQ(TComPort::NormalizePortName("COM17"), "COM1");
  EXPECT_EQ(TComPort::NormalizePortName("COMx"), "COM1");
  EXPECT_EQ(TComPort::NormalizePortName("COM"), "COM1");
  EXPECT_EQ(TComPort::NormalizePortName(""), "COM1");
  EXPECT_EQ(TComPort::NormalizePortName("COM-2"), "COM1");
  EXPECT_EQ(TComPort::NormalizePortName("COM99999999999999999999"), "COM1");
}

TEST_F(ComPortTest, DefaultsAndTheSettingsOpenApplies) {
  EXPECT_FALSE(Port.IsOpen());
  EXPECT_EQ(Port.PortNum(), "COM1");
  EXPECT_EQ(Port.BaudRate(), br9600);
  EXPECT_EQ(Port.Events(), AllEvents);
  EXPECT_EQ(Port.SyncMethod(), smThreadSync);
  EXPECT_EQ(Port.Timeouts().ReadInterval(), -1);

  int opened = 0;
  Port.OnOpen = [&](TComPort* sender) {
    EXPECT_EQ(sender, &Port);
    ++opened;
  };
  Port.Open();
  Port.Open();  // already open: nothing
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(Com1->Opens(), 1);

  TDcb dcb = Com1->LastDcb();
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_TRUE(dcb.fBinary);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 0);
  EXPECT_EQ(dcb.XonLim, 256);
  EXPECT_EQ(dcb.XoffLim, 256);
  EXPECT_EQ(dcb.XonChar, 17);
  EXPECT_EQ(dcb.XoffChar, 19);
  EXPECT_EQ(dcb.fDtrControl, 0);
  EXPECT_EQ(dcb.fRtsControl, 0);
  const TCommTimeouts t = Com1->LastTimeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, 4294967295u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
  EXPECT_EQ(Com1->Calls("SetupComm"), 1);
  EXPECT_EQ(Com1->WaiterMask(), 1535u);

  int closed = 0;
  Port.OnClose = [&](TComPort*) { ++closed; };
  Port.Close();
  Port.Close();  // already closed: nothing
  EXPECT_EQ(closed, 1);
  EXPECT_FALSE(Com1->IsOpen());
  EXPECT_EQ(Com1->Waiters(), 0);
  // Close aborts I/O first; the thread purges everything on its way out.
  EXPECT_EQ(Com1->Purges(), (std::vector<std::uint32_t>{3, 15}));
}

TEST_F(ComPortTest, MissingPortRaisesCodeOneWithTheSystemErrorAndStaysClosed) {
  Port.SetPortNum("COM2");
  std::string message;
  EXPECT_EQ(CodeOf([&] { Port.Open(); }, &message), 1);
  EXPECT_EQ(message, "Unable to open com port (win error code: 2)");
  EXPECT_FALSE(Port.IsOpen());

  // A port that is in use is refused too.
  Port.SetPortNum("COM1");
  TComPort other(&Handoff, System);
  Port.Open();
  int system = 0;
  EXPECT_EQ(CodeOf([&] { other.Open(); }, nullptr, &system), 1);
  EXPECT_EQ(system, EBUSY);
  Port.Close();

  // Events for the main thread with nobody to hand them to.
  TComPort bare(nullptr, System);
  EXPECT_EQ(CodeOf([&] { bare.Open(); }, nullptr, &system), 1);
  EXPECT_EQ(system, EINVAL);
  EXPECT_FALSE(bare.IsOpen());
  EXPECT_FALSE(Com1->IsOpen());
}

TEST_F(ComPortTest, RefusedSettingsCloseTheDeviceAgain) {
  Com1->Refuse("SetCommTimeouts", EINVAL);
  bool opened = false;
  Port.OnOpen = [&](TComPort*) { opened = true; };
  std::string message;
  EXPECT_EQ(CodeOf([&] { Port.Open(); }, &message), 8);
  EXPECT_EQ(message, "SetCommTimeouts failed (win error code: 22)");
  EXPECT_FALSE(Port.IsOpen());
  EXPECT_FALSE(Com1->IsOpen());
  EXPECT_EQ(Com1->Waiters(), 0);
  EXPECT_FALSE(opened);

  Com1->Refuse("SetCommTimeouts", 0);
  Com1->Refuse("SetupComm", EINVAL);
  EXPECT_EQ(CodeOf([&] { Port.Open(); }), 9);
  Com1->Refuse("SetupComm", 0);
  Com1->Refuse("CreateEventWaiter", EMFILE);
  EXPECT_EQ(CodeOf([&] { Port.Open(); }), 1);
  EXPECT_FALSE(Com1->IsOpen());
}

TEST_F(ComPortTest, PropertyWritesApplyOnlyChangedValuesAndOnlyWhileOpen) {
  Port.SetBaudRate(br300);  // closed: stored only
  Port.Parity().SetBits(prOdd);
  EXPECT_EQ(Com1->Calls("SetCommState"), 0);

  Port.Open();
  EXPECT_EQ(Com1->Calls("SetCommState"), 1);
  EXPECT_EQ(Com1->LastDcb().BaudRate, 300u);
  EXPECT_EQ(Com1->LastDcb().Parity, 1);

  Port.SetBaudRate(br300);
  EXPECT_EQ(Com1->Calls("SetCommState"), 1);
  Port.SetBaudRate(br256000);
  EXPECT_EQ(Com1->Calls("SetCommState"), 2);
  EXPECT_EQ(Com1->LastDcb().BaudRate, 256000u);

  Port.FlowControl().SetControlDTR(dtrEnable);
  Port.FlowControl().SetControlDTR(dtrEnable);
  EXPECT_EQ(Com1->Calls("SetCommState"), 3);
  EXPECT_EQ(Com1->LastDcb().fDtrControl, 1);

  Port.Timeouts().SetReadTotalConstant(50);
  EXPECT_EQ(Com1->Calls("SetCommTimeouts"), 2);
  Port.Buffer().SetInputSize(4096);
  EXPECT_EQ(Com1->Calls("SetupComm"), 2);
  EXPECT_EQ(Com1->Calls("SetCommState"), 3);  // the XON/XOFF limits follow at the next apply
  Port.SetDataBits(dbSeven);
  EXPECT_EQ(Com1->LastDcb().XonLim, 1024);

  // Replacement character only with parity checking on.
  Port.Parity().SetReplace(true);
  Port.Parity().SetReplaceChar('?');
  EXPECT_FALSE(Com1->LastDcb().fErrorChar);
  EXPECT_EQ(Com1->LastDcb().ErrorChar, 0);
  Port.Parity().SetCheck(true);
  EXPECT_TRUE(Com1->LastDcb().fErrorChar);
  EXPECT_EQ(Com1->LastDcb().ErrorChar, '?');

  // Events are stored only.
  const int waiters = Com1->Calls("CreateEventWaiter");
  Port.SetEvents(TEvents{evRxChar});
  EXPECT_EQ(Com1->Calls("CreateEventWaiter"), waiters);
}

TEST_F(ComPortTest, RefusedPropertyWriteKeepsTheNewValue) {
  Port.Open();
  Com1->Refuse("SetCommState", EIO);
  std::string message;
  EXPECT_EQ(CodeOf([&] { Port.SetStopBits(sbTwoStopBits); }, &message), 7);
  EXPECT_EQ(message, "SetCommState function failed (win error code: 5)");
  EXPECT_EQ(Port.StopBits(), sbTwoStopBits);
  EXPECT_TRUE(Port.IsOpen());
}

TEST_F(ComPortTest, AssigningWholeSettingsObjectsCopiesAndAppliesOnce) {
  Port.Open();
  TComFlowControl flow;
  flow.SetControlDTR(dtrEnable);
  flow.SetControlRTS(rtsEnable);
  flow.SetXonChar(1);
  Port.SetFlowControl(flow);
  EXPECT_EQ(Com1->Calls("SetCommState"), 2);
  EXPECT_EQ(Port.FlowControl().ControlRTS(), rtsEnable);
  EXPECT_NE(&Port.FlowControl(), &flow);
  // The given object stays unattached: changing it applies nothing.
  flow.SetXonChar(2);
  EXPECT_EQ(Com1->Calls("SetCommState"), 2);
  EXPECT_EQ(Port.FlowControl().XonChar(), 1);

  TComTimeouts timeouts;
  timeouts.SetWriteTotalConstant(5);
  Port.SetTimeouts(timeouts);
  EXPECT_EQ(Com1->Calls("SetCommTimeouts"), 2);
  EXPECT_EQ(Com1->LastTimeouts().WriteTotalTimeoutConstant, 5u);

  TComBuffer buffer;
  Port.SetBuffer(buffer);  // equal values: applied all the same, once
  EXPECT_EQ(Com1->Calls("SetupComm"), 2);

  // A copy of the port's own object is unattached too.
  TComParity parity = Port.Parity();
  parity.SetBits(prSpace);
  EXPECT_EQ(Port.Parity().Bits(), prNone);
  Port.SetParity(parity);
  EXPECT_EQ(Com1->LastDcb().Parity, 4);
}

TEST_F(ComPortTest, SyncMethodCannotChangeWhileOpen) {
  Port.Open();
  Port.SetSyncMethod(smThreadSync);  // same value: fine
  std::string message;
  EXPECT_EQ(CodeOf([&] { Port.SetSyncMethod(smNone); }, &message), 14);
  EXPECT_EQ(message, "Cannot set SyncMethod while connected");
  EXPECT_EQ(Port.SyncMethod(), smThreadSync);
  Port.Close();
  Port.SetSyncMethod(smWindowSync);
  EXPECT_EQ(Port.SyncMethod(), smWindowSync);
}

TEST_F(ComPortTest, PortNumComparesBeforeNormalising) {
  auto com3 = System->Add("COM3");
  Port.SetPortNum("com3");
  EXPECT_EQ(Port.PortNum(), "COM3");
  Port.Open();
  Port.SetPortNum("COM3");  // exactly the stored name: nothing
  EXPECT_EQ(com3->Opens(), 1);
  Port.SetPortNum("3");  // differs as text: close and open again
  EXPECT_EQ(com3->Opens(), 2);
  EXPECT_TRUE(Port.IsOpen());

  // To a port that cannot be opened: stored, old port closed, code 1, left closed.
  EXPECT_EQ(CodeOf([&] { Port.SetPortNum("COM9"); }), 1);
  EXPECT_EQ(Port.PortNum(), "COM9");
  EXPECT_FALSE(Port.IsOpen());
  EXPECT_FALSE(com3->IsOpen());
}

TEST_F(ComPortTest, NoEventsMeansNoThreadAndNoWindow) {
  Port.SetEvents(TEvents{});
  Port.SetSyncMethod(smWindowSync);
  Port.Open();
  EXPECT_EQ(Com1->Calls("CreateEventWaiter"), 0);
  Port.Close();
  EXPECT_EQ(Com1->Purges(), (std::vector<std::uint32_t>{3}));

  Port.SetEvents(TEvents{evRxChar});
  Port.Open();
  EXPECT_EQ(Com1->WaiterMask(), 1u);
}

TEST_F(ComPortTest, CloseThatCannotAbortLeavesThePortOpen) {
  Port.Open();
  Com1->Refuse("PurgeComm", EIO);
  EXPECT_EQ(CodeOf([&] { Port.Close(); }), 5);
  EXPECT_TRUE(Port.IsOpen());
  Com1->Refuse("PurgeComm", 0);
  Port.Close();
  EXPECT_FALSE(Port.IsOpen());
}

TEST_F(ComPortTest, ReadWriteAndQueriesOnOpenAndClosedPort) {
  std::string text = "junk";
  EXPECT_EQ(CodeOf([&] { Port.WriteText("x"); }), 2);
  EXPECT_EQ(CodeOf([&] { Port.ReadText(text, 5); }), 3);
  EXPECT_EQ(CodeOf([&] { Port.QueuedInput(); }), 10);
  EXPECT_EQ(CodeOf([&] { Port.LineSignals(); }), 11);
  EXPECT_EQ(CodeOf([&] { Port.AwaitRequest(nullptr); }), 4);

  Port.Open();
  EXPECT_EQ(Port.ReadText(text, 10), 0);
  EXPECT_EQ(text, "");
  EXPECT_EQ(Port.WriteText(std::string("AT\r\0x", 5)), 5);
  EXPECT_EQ(Com1->Written(), std::string("AT\r\0x", 5));
  Com1->Arrive("OK\r\n");
  EXPECT_EQ(Port.QueuedInput(), 4);
  EXPECT_EQ(Port.ReadText(text, 3), 3);
  EXPECT_EQ(text, "OK\r");

  Com1->Refuse("Write", EIO);
  std::string message;
  EXPECT_EQ(CodeOf([&] { Port.WriteText("x"); }, &message), 2);
  EXPECT_EQ(message, "WriteFile function failed (win error code: 5)");

  Com1->SetModemStatus(MS_CTS_ON | MS_RLSD_ON);
  EXPECT_EQ(Port.LineSignals(), (TLineSignals{lsCTS, lsRLSD}));

  // Parity errors count only with parity checking on; errors are forgotten once taken.
  Com1->AddErrors(CE_FRAME | CE_RXPARITY | CE_IOE | CE_RXOVER);
  EXPECT_EQ(Port.TakeErrors(), (TComErrors{erFraming, erDeviceIO, erInputOverflow}));
  EXPECT_TRUE(Port.TakeErrors().Empty());
  Port.Parity().SetCheck(true);
  Com1->AddErrors(CE_RXPARITY | CE_BREAK);
  EXPECT_EQ(Port.TakeErrors(), (TComErrors{erParity, erBreak}));
}

// ---- delivery ----

class DeliveryTest : public ComPortTest {
 protected:
  // Binds every handler to record its name and the thread it ran on.
  void RecordAll() {
    auto note = [this](const char* name) {
      {
        std::lock_guard lock(Mutex);
        Order.push_back(name);
        Threads.push_back(std::this_thread::get_id());
      }
      Handoff.Notify();
    };
    Port.OnRxChar = [=, this](TComPort*, std::int32_t count) {
      Counts.push_back(count);
      note("RxChar");
    };
    Port.OnTxEmpty = [=](TComPort*) { note("TxEmpty"); };
    Port.OnBreak = [=](TComPort*) { note("Break"); };
    Port.OnRing = [=](TComPort*) { note("Ring"); };
    Port.OnCTSChange = [=](TComPort*, bool) { note("CTS"); };
    Port.OnDSRChange = [=](TComPort*, bool) { note("DSR"); };
    Port.OnRxFlag = [=](TComPort*) { note("RxFlag"); };
    Port.OnRLSDChange = [=](TComPort*, bool) { note("RLSD"); };
    Port.OnError = [=, this](TComPort*, TComErrors errors) {
      Errors.push_back(errors);
      note("Error");
    };
    Port.OnRx80Full = [=](TComPort*) { note("Rx80Full"); };
  }
  std::size_t Recorded() {
    std::lock_guard lock(Mutex);
    return Order.size();
  }
  void ServeUntilRecorded(std::size_t n) {
    Handoff.ServeUntil([&] { return Recorded() >= n; });
  }

  std::mutex Mutex;
  std::vector<std::string> Order;
  std::vector<std::thread::id> Threads;
  std::vector<std::int32_t> Counts;
  std::vector<TComErrors> Errors;
  const std::vector<std::string> Expected = {"RxChar", "TxEmpty", "Break", "Ring",  "CTS",
                                             "DSR",    "RxFlag",  "RLSD",  "Error", "Rx80Full"};
  const std::uint32_t Everything = 1 | 2 | 4 | 8 | 16 | 32 | 64 | 128 | 256 | 1024;
};

TEST_F(DeliveryTest, ThreadSyncRunsOneBatchOnTheMainThreadInTheFixedOrder) {
  RecordAll();
  Port.Open();
  Com1->Raise(Everything | 512);  // the printer-error bit is not an event of ours
  ServeUntilRecorded(10);
  EXPECT_EQ(Order, Expected);
  for (auto id : Threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_EQ(Handoff.ServedCount(), 1u);
  Port.Close();
}

TEST_F(DeliveryTest, WindowSyncSendsOneMessagePerEventInTheFixedOrder) {
  RecordAll();
  Port.SetSyncMethod(smWindowSync);
  Port.Open();
  Com1->Raise(EV_ERR | EV_CTS | EV_RXCHAR);
  ServeUntilRecorded(3);
  EXPECT_EQ(Order, (std::vector<std::string>{"RxChar", "CTS", "Error"}));
  for (auto id : Threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_EQ(Handoff.ServedCount(), 3u);

  // Other messages and unknown event values do nothing.
  TMessage other{1024, 1, 0, 7};
  Port.HandlePortMessage(other);
  EXPECT_EQ(other.Result, 0);
  TMessage unknown{PortEventMessage, 512, 0, 0};
  Port.HandlePortMessage(unknown);
  EXPECT_EQ(Recorded(), 3u);
  Port.Close();
}

TEST_F(DeliveryTest, NoSyncRunsHandlersOnTheEventThread) {
  RecordAll();
  Port.SetSyncMethod(smNone);
  Port.Open();
  Com1->Raise(Everything);
  ServeUntilRecorded(10);
  Port.Close();
  std::lock_guard lock(Mutex);
  EXPECT_EQ(Order, Expected);
  for (auto id : Threads) EXPECT_NE(id, std::this_thread::get_id());
  EXPECT_EQ(Handoff.ServedCount(), 0u);
}

TEST_F(DeliveryTest, QueriesRunOnlyForBoundHandlersAndCountComesFirst) {
  Port.Open();
  int errorsSeen = 0;
  Port.OnError = [&](TComPort*, TComErrors) { ++errorsSeen; };
  Com1->Raise(EV_RXCHAR);
  Com1->Raise(EV_ERR);
  Handoff.ServeUntil([&] { return errorsSeen == 1; });
  EXPECT_EQ(Com1->Calls("ClearCommError"), 1);  // only TakeErrors: OnRxChar is empty
  EXPECT_EQ(Com1->Calls("GetCommModemStatus"), 0);

  // Receive and error in one batch: the count query clears the errors before OnError.
  RecordAll();
  Com1->Arrive("abc");
  Com1->AddErrors(CE_FRAME);
  Com1->Raise(EV_ERR | EV_RXCHAR);
  ServeUntilRecorded(2);
  EXPECT_EQ(Counts, std::vector<std::int32_t>{3});
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_TRUE(Errors[0].Empty());
  Port.Close();
}

TEST_F(DeliveryTest, HandlerExceptionsGoToTheReporterAndTheThreadGoesOn) {
  std::vector<std::string> reported;
  Handoff.OnError = [&](std::exception_ptr e) { reported.push_back(TMainThreadHandoff::ErrorText(e)); };
  int calls = 0;
  bool txEmpty = false;
  Port.OnRxChar = [&](TComPort*, std::int32_t) {
    if (++calls == 1) throw std::runtime_error("handler failed");
  };
  Port.OnTxEmpty = [&](TComPort*) { txEmpty = true; };
  Port.Open();
  Com1->Raise(EV_RXCHAR | EV_TXEMPTY);
  Com1->Raise(EV_RXCHAR);
  Handoff.ServeUntil([&] { return calls == 2; });
  EXPECT_EQ(reported, std::vector<std::string>{"handler failed"});
  EXPECT_FALSE(txEmpty);  // the rest of the failed batch is abandoned
  Port.Close();
}

TEST_F(DeliveryTest, CloseFinishesTheBatchWaitingForTheMainThread) {
  RecordAll();
  Port.Open();
  Com1->Raise(EV_RXCHAR | EV_TXEMPTY);
  Handoff.WaitForRequests(1);  // the thread now waits for the main thread
  Port.Close();
  EXPECT_EQ(Order, (std::vector<std::string>{"RxChar", "TxEmpty"}));
  EXPECT_FALSE(Com1->IsOpen());
}

TEST_F(DeliveryTest, CloseFromInsideADeliveryDoesNotDeadlock) {
  for (TSyncMethod method : {smThreadSync, smWindowSync, smNone}) {
    SCOPED_TRACE(method);
    std::atomic<int> after{0};
    std::atomic<bool> closed{false};
    Port.SetSyncMethod(method);
    Port.OnRxChar = [&](TComPort* port, std::int32_t) {
      port->Close();
      closed = true;
      Handoff.Notify();
    };
    Port.OnTxEmpty = [&](TComPort*) { ++after; };
    Port.Open();
    Com1->Raise(EV_RXCHAR | EV_TXEMPTY);
    Handoff.ServeUntil([&] { return closed.load(); });
    EXPECT_EQ(after, 0);  // the port closed: the rest of the batch is dropped
    // The device was let go at once: the port opens again while the old thread ends.
    Port.OnRxChar = nullptr;
    Port.Open();
    EXPECT_TRUE(Port.IsOpen());
    Port.Close();
  }
}

TEST_F(DeliveryTest, HangUpIsReportedOnceThenTheThreadOnlyWaitsForStop) {
  RecordAll();
  Port.Open();
  Com1->AddErrors(CE_IOE);
  Com1->HangUp();
  ServeUntilRecorded(1);
  EXPECT_EQ(Order, std::vector<std::string>{"Error"});
  Com1->Raise(EV_RXCHAR);  // nothing listens any more
  Port.Close();
  EXPECT_EQ(Order, std::vector<std::string>{"Error"});
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0], TComErrors{erDeviceIO});
}

TEST(DeviceMaskTest, EventsMapToTheDeviceValues) {
  EXPECT_EQ(DeviceMaskOf(TEvents{evRxChar}), 1u);
  EXPECT_EQ(DeviceMaskOf(AllEvents), 1535u);
  EXPECT_EQ(DeviceMaskOf(TEvents{evTxEmpty, evRxFlag, evRx80Full}), 4u + 2u + 1024u);
}

}  // namespace
}  // namespace corvalis
