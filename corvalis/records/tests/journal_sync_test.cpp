// SPDX-License-Identifier: Apache-2.0
// The call journal on slow or failing storage: the once-a-second sync runs on the journal's own
// thread, so the window that times received characters never waits for it; a sync that failed there
// is reported and made again; nothing the journal wrote is lost or synced through a closed file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "ui/tests/held_storage.h"
#include "records/journal.h"
#include "temp_dir.h"

namespace corvalis {
namespace {

namespace fs = std::filesystem;
using kit::testing::readFile;
using kit::testing::TempDir;

const TDateTime kStart = std::chrono::system_clock::from_time_t(1003413907);


class SlowStorage : public ::testing::Test {
 protected:
  void SetUp() override {
    storage.Install();
  }
  void TearDown() override { storage.Uninstall(); }
  std::string JournalText() { return readFile(journal.Path()); }
  TempDir dir;
  HeldStorage storage;
  TCallJournal journal;
};

TEST_F(SlowStorage, TheCallGoesOnWhileTheStorageSyncsAndEverythingIsWrittenAtOnce) {
  // Making the journal and its first sync do not wait for the storage.
  ASSERT_EQ(journal.Create(dir.path().string(), kStart), 0);
  EXPECT_EQ(journal.Flush(TJournalSync::Later), 0);
  storage.WaitStarted(1);
  // While that sync hangs, the call's lines go on being written (a kill now keeps them) and their
  // sync is asked for again.
  for (int second = 0; second < 5; ++second) {
    journal.Append("RECD: LINE " + std::to_string(second) + "\r\n");
    EXPECT_EQ(journal.Flush(TJournalSync::Later), 0);
  }
  const std::string written = JournalText();
  EXPECT_NE(written.find("started "), std::string::npos) << written;
  EXPECT_NE(written.find("LINE 4"), std::string::npos) << written;
  // The requests made meanwhile become one more sync once the storage answers; a sync that must
  // hold before Flush returns (the call's end, a save) waits for both and makes its own.
  storage.Allow(3);
  journal.Ended(kStart + std::chrono::seconds(9));
  EXPECT_EQ(journal.Flush(TJournalSync::Now), 0);
  storage.WaitFinished(3);
  EXPECT_FALSE(storage.stuck);
  EXPECT_NE(JournalText().find("ended "), std::string::npos);
}

TEST_F(SlowStorage, ASyncThatFailedOnTheJournalsThreadIsReportedAndMadeAgain) {
  ASSERT_EQ(journal.Create(dir.path().string(), kStart), 0);
  storage.Allow(1, /*failing=*/1);
  EXPECT_EQ(journal.Flush(TJournalSync::Later), 0);
  storage.WaitFinished(1);
  // The next write after the journal's thread has taken the failure says so, once, and the lines
  // it left unsynced are synced again by the next sync, although nothing new was written.
  int err = 0;
  for (int tries = 0; tries < 10'000'000 && err == 0; ++tries)
    if ((err = journal.Flush(TJournalSync::None)) == 0) std::this_thread::yield();
  EXPECT_EQ(err, EIO);
  EXPECT_EQ(journal.Flush(TJournalSync::None), 0);
  storage.Allow(1);
  EXPECT_EQ(journal.Flush(TJournalSync::Later), 0);
  storage.WaitFinished(2);
  // A sync that must hold before Flush returns tries again itself when the thread's failed.
  storage.Allow(2, /*failing=*/1);
  journal.Append("RECD: MORE\r\n");
  EXPECT_EQ(journal.Flush(TJournalSync::Later), 0);
  journal.Append("RECD: END\r\n");
  EXPECT_EQ(journal.Flush(TJournalSync::Now), 0);
  storage.WaitFinished(4);
  EXPECT_FALSE(storage.stuck);
}

TEST_F(SlowStorage, RemovingOrClosingWaitsForTheSyncUnderWayAndNeverSyncsAClosedFile) {
  for (const bool remove : {true, false}) {
    SCOPED_TRACE(remove ? "removed" : "closed");
    TCallJournal j;
    ASSERT_EQ(j.Create(dir.path().string(), kStart), 0);
    const int before = storage.started;
    EXPECT_EQ(j.Flush(TJournalSync::Later), 0);
    storage.WaitStarted(before + 1);
    // The sync hangs while the journal goes; the storage answers from another thread.
    std::thread storageAnswers([&] { storage.Allow(2); });
    if (remove)
      EXPECT_EQ(j.Remove(), 0);
    else
      j.Close();
    storageAnswers.join();
    EXPECT_FALSE(storage.closedFd);
    EXPECT_FALSE(storage.stuck);
    std::lock_guard lock(storage.m);
    storage.allowed = 0;
  }
}

}  // namespace
}  // namespace corvalis
