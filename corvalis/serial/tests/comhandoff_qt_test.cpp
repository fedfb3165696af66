// SPDX-License-Identifier: Apache-2.0
// The Qt hand-off: deliveries and handler errors reach the GUI thread through its event loop.
#include "comhandoff_qt.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>

#include "comport.h"
#include "pty_fixture.h"

namespace corvalis {
namespace {

class QtHandoffTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "comhandoff_qt_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
  }

  testing::TPtyPort Far;
  TQtHandoff Handoff;
  QEventLoop Loop;
};

TEST_F(QtHandoffTest, ReceivedBytesReachOnRxCharOnTheGuiThread) {
  TComPort port(&Handoff);
  port.SetPortNum("COM5");
  std::string received;
  port.OnRxChar = [&](TComPort* sender, std::int32_t count) {
    EXPECT_TRUE(Handoff.IsMainThread());
    std::string text;
    sender->ReadText(text, count);
    received += text;
    if (received.size() >= 11) Loop.quit();
  };
  port.Open();
  Far.Send("hello ");
  Far.Send("world");
  Loop.exec();
  EXPECT_EQ(received, "hello world");
  port.Close();
}

TEST_F(QtHandoffTest, HandlerErrorsAreShownOnceOnTheGuiThread) {
  for (TSyncMethod method : {smThreadSync, smNone}) {
    SCOPED_TRACE(method);
    std::vector<std::string> shown;
    Handoff.OnError = [&](std::exception_ptr e) {
      EXPECT_TRUE(Handoff.IsMainThread());
      shown.push_back(TMainThreadHandoff::ErrorText(e));
      Loop.quit();
    };
    TComPort port(&Handoff);
    port.SetPortNum("COM5");
    port.SetSyncMethod(method);
    port.OnRxChar = [](TComPort*, std::int32_t) { throw EComPort(3, 5); };
    port.Open();
    Far.Send("x");
    Loop.exec();
    port.Close();
    QCoreApplication::processEvents();
    EXPECT_EQ(shown, std::vector<std::string>{"ReadFile function failed (win error code: 5)"});
  }
}

TEST_F(QtHandoffTest, CloseFromANestedLoopInsideAHandler) {
  // A handler that runs a nested event loop (as a modal message box does) in which the port
  // gets closed must not deadlock.
  TComPort port(&Handoff);
  port.SetPortNum("COM5");
  bool closed = false;
  port.OnRxChar = [&](TComPort* sender, std::int32_t) {
    QEventLoop nested;
    QMetaObject::invokeMethod(
        &nested,
        [&] {
          sender->Close();
          closed = true;
          nested.quit();
        },
        Qt::QueuedConnection);
    nested.exec();
    Loop.quit();
  };
  port.Open();
  Far.Send("x");
  Loop.exec();
  EXPECT_TRUE(closed);
  EXPECT_FALSE(port.IsOpen());
  port.Open();  // the device was let go
  port.Close();
}

}  // namespace
}  // namespace corvalis
