// SPDX-License-Identifier: Apache-2.0
// The device through a sound server that goes away and comes back (a restart, a suspend and
// resume): the port and the call stay, nothing queued is lost, and hearing goes on.
#include "device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "decoder.h"
#include "temp_dir.h"
#include "tones.h"

namespace softtty {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(60);

// A sound server in memory: streams paced like a sound card, all failing while it is down, and
// refused until it is up again.
class FakeServer : public SoundServer {
 public:
  void setUp(bool up) {
    std::lock_guard lock(mutex_);
    up_ = up;
    if (!up) ++generation_;
  }
  void say(const std::vector<float>& tones) {
    std::lock_guard lock(mutex_);
    toHear_.insert(toHear_.end(), tones.begin(), tones.end());
  }
  std::vector<float> played() {
    std::lock_guard lock(mutex_);
    return played_;
  }
  int opened() {
    std::lock_guard lock(mutex_);
    return opened_;
  }

  std::unique_ptr<AudioIn> openInput(const std::string&, int, std::string* error) override {
    std::lock_guard lock(mutex_);
    if (!up_) return refuse(error);
    ++opened_;
    return std::make_unique<In>(*this, generation_);
  }
  std::unique_ptr<AudioOut> openOutput(const std::string&, int, std::string* error) override {
    std::lock_guard lock(mutex_);
    if (!up_) return refuse(error);
    ++opened_;
    return std::make_unique<Out>(*this, generation_);
  }

 private:
  std::nullptr_t refuse(std::string* error) {
    *error = "no sound server (Connection refused)";
    return nullptr;
  }
  // Whether a stream opened in `generation` still works.
  bool alive(int generation) {
    std::lock_guard lock(mutex_);
    return up_ && generation == generation_;
  }
  static void pace(std::size_t n) { std::this_thread::sleep_for(std::chrono::microseconds(n * 125)); }

  struct In : AudioIn {
    In(FakeServer& s, int g) : server(s), generation(g) {}
    long read(float* samples, std::size_t n, std::string* error) override {
      pace(n);
      if (!server.alive(generation)) {
        *error = "Connection terminated";
        return kFailed;
      }
      std::lock_guard lock(server.mutex_);
      for (std::size_t i = 0; i < n; ++i) {
        samples[i] = server.toHear_.empty() ? 0.0f : server.toHear_.front();
        if (!server.toHear_.empty()) server.toHear_.pop_front();
      }
      return static_cast<long>(n);
    }
    FakeServer& server;
    int generation;
  };
  struct Out : AudioOut {
    Out(FakeServer& s, int g) : server(s), generation(g) {}
    bool write(const float* samples, std::size_t n, std::string* error) override {
      pace(n);
      if (!server.alive(generation)) {
        *error = "Connection terminated";
        return false;
      }
      std::lock_guard lock(server.mutex_);
      server.played_.insert(server.played_.end(), samples, samples + n);
      return true;
    }
    bool drain(std::string*) override { return true; }
    FakeServer& server;
    int generation;
  };

  std::mutex mutex_;
  bool up_ = true;
  int generation_ = 0, opened_ = 0;
  std::deque<float> toHear_;
  std::vector<float> played_;
};

// The device's console, as lines said so far.
class Console {
 public:
  void add(const std::string& line) {
    {
      std::lock_guard lock(mutex_);
      text_ += line + "\n";
    }
    changed_.notify_all();
  }
  bool waitFor(const std::string& what, std::size_t times = 1) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return count(what) >= times; });
  }
  std::string text() {
    std::lock_guard lock(mutex_);
    return text_;
  }

 private:
  std::size_t count(const std::string& what) const {
    std::size_t n = 0;
    for (auto at = text_.find(what); at != std::string::npos; at = text_.find(what, at + 1)) ++n;
    return n;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
};

std::string heardIn(const std::vector<float>& audio) {
  Decoder d(Tones{});
  d.feed(audio);
  d.flush();
  std::string text;
  for (const Heard& h : d.take()) {
    if (!h.shift && !h.doubtful) text += h.ch;
  }
  return text;
}

// The longest run of `want`'s characters found in order in `got`.
std::size_t inOrder(const std::string& want, const std::string& got) {
  std::vector<std::size_t> row(got.size() + 1, 0), next(got.size() + 1, 0);
  for (char w : want) {
    for (std::size_t j = 1; j <= got.size(); ++j)
      next[j] = w == got[j - 1] ? row[j - 1] + 1 : std::max(row[j], next[j - 1]);
    row.swap(next);
  }
  return row.back();
}

template <typename Condition>
bool eventually(Condition done) {
  for (auto end = Clock::now() + kWait; Clock::now() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST(Device, ASoundServerRestartKeepsThePortAndTheCallAndLosesNothingQueued) {
  kit::testing::TempDir dir;
  Options o;
  o.port = "COM5";
  o.portDir = dir.file("ports");
  FakeServer server;
  Console console;
  int status = -1;
  // The device takes its signals through a descriptor, so every thread of the process blocks
  // them (its program blocks them before any thread starts).
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
  std::thread device(
      [&] { status = runDevice(o, server, [&](const std::string& line) { console.add(line); }); });
  ASSERT_TRUE(console.waitFor("ready port=COM5")) << console.text();
  const std::string link = o.portDir + "/COM5";
  int port = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(port, 0);
  termios t{};
  tcgetattr(port, &t);
  cfmakeraw(&t);
  tcsetattr(port, TCSANOW, &t);
  ASSERT_TRUE(console.waitFor("attached")) << console.text();

  // The server goes away while a message is being sent, and comes back.
  const std::string message = "ROOM 12 ON FLOOR 3, CALL 911 NOW GA ";
  ASSERT_EQ(write(port, message.data(), message.size()), static_cast<ssize_t>(message.size()));
  ASSERT_TRUE(eventually([&] { return server.played().size() > 8000 * 3; }));
  server.setUp(false);
  ASSERT_TRUE(console.waitFor("sound output lost (Connection terminated); opening it again every second"))
      << console.text();
  ASSERT_TRUE(console.waitFor("sound input lost")) << console.text();
  EXPECT_TRUE(fs::exists(fs::symlink_status(link)));
  server.setUp(true);
  ASSERT_TRUE(console.waitFor("sound output back")) << console.text();
  ASSERT_TRUE(console.waitFor("sound input back")) << console.text();
  ASSERT_TRUE(console.waitFor(" sent\n")) << console.text();
  // Every character reached the far end in order: the one cut off went again (at most its
  // broken first half arrived besides).
  const std::string heard = heardIn(server.played());
  EXPECT_EQ(inOrder(message, heard), message.size()) << heard;
  EXPECT_LE(heard.size(), message.size() + 1) << heard;

  // Hearing goes on through the new input, into the same port.
  const std::string reply = "OK 5 MIN GA";
  std::vector<float> tones(4000, 0.0f);
  auto tx = Encoder::transmission(reply, Tones{});
  tones.insert(tones.end(), tx.begin(), tx.end());
  server.say(tones);
  std::string got;
  for (auto end = Clock::now() + kWait; got.size() < reply.size() && Clock::now() < end;) {
    pollfd p{port, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buf[64];
      ssize_t n = read(port, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
  }
  EXPECT_EQ(got, reply);
  EXPECT_EQ(console.text().find("detached"), std::string::npos) << console.text();

  close(port);
  kill(getpid(), SIGUSR1);
  device.join();
  EXPECT_EQ(status, 128 + SIGUSR1);
  EXPECT_NE(console.text().find("stopped by SIGUSR1"), std::string::npos) << console.text();
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

}  // namespace
}  // namespace softtty
