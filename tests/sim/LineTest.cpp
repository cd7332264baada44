// The line itself: framing by silence, bad input, the log, concurrency,
// pacing, links.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "ComPort.h"
#include "SimTestPort.h"

using namespace std::chrono_literals;

namespace {

const TBytes kIdent = {0x05, 0x20, 0x01, 0xB9, 0xC1};

TEST(VirtualLine, PlainFileDescriptorOnTheSlaveGetsIdentification) {
  TVirtualLine line;
  line.AddDevice(TestDevice());
  TTestPort port(line.SlavePath());
  port.Write(kIdent);  // no parity games at all
  EXPECT_EQ(port.Read(10), WithCrc({0x05, 0x20, 0x06, 0x06, 0x04, 0xD2, 3, 17}));
}

TEST(VirtualLine, GarbageTruncatedAndForeignFramesAreNotAnsweredAndTheLineRecovers) {
  TVirtualLine line;
  const int dev = line.AddDevice(TestDevice());
  TTestPort port(line.SlavePath());
  const std::vector<TBytes> bad = {
      {0x13, 0x37, 0x00, 0xFF, 0x42},              // garbage
      {0x05, 0x20, 0x01, 0xB9},                    // truncated
      {0x05, 0x20, 0x01, 0xB9, 0xC2},              // bad CRC
      WithCrc({0x06, 0x20, 0x01}),                 // another address
      {0x05},                                      // a lone byte
      {0x05, 0x20, 0x01, 0xB9, 0xC1, 0x05, 0x20},  // a frame with trailing bytes
  };
  for (const TBytes& b : bad) {
    EXPECT_TRUE(port.Native(b, 64, 150).empty()) << SimHex(b);
  }
  EXPECT_EQ(port.Native(kIdent).size(), 10u);
  EXPECT_EQ(line.Device(dev).Requests, 1);
}

TEST(VirtualLine, StrayBytesRightBeforeAFrameDoNotSpoilIt) {
  TVirtualLine line;
  line.AddDevice(TestDevice());
  TTestPort port(line.SlavePath());
  TBytes noisy = {0x42, 0x17};
  noisy.insert(noisy.end(), kIdent.begin(), kIdent.end());
  port.Write(noisy);
  EXPECT_EQ(port.Read(10).size(), 10u);
  ASSERT_TRUE(line.WaitFrames(1, 2s));
  EXPECT_EQ(line.Frames().back().Bytes, kIdent);
}

TEST(VirtualLine, FloodWithoutPausesIsDroppedAndTheNextFrameIsServed) {
  TVirtualLine line;
  line.AddDevice(TestDevice());
  TTestPort port(line.SlavePath());
  TBytes flood;
  for (int i = 0; i < 20000; ++i) flood.push_back(static_cast<std::uint8_t>(i * 7 + (i >> 8)));
  port.Write(flood);  // one blocking write: never a pause long enough to end a frame
  EXPECT_TRUE(port.Read(64, 300).empty());
  EXPECT_EQ(port.Native(kIdent).size(), 10u);
  bool sawFlood = false;
  for (const TSimFrame& f : line.Frames()) {
    EXPECT_TRUE(f.Answer.empty() || f.Bytes == kIdent) << f.Note;
    if (f.Note.rfind("flood", 0) == 0) sawFlood = true;
  }
  EXPECT_TRUE(sawFlood);
}

TEST(VirtualLine, BroadcastsOfEitherProtocolAreNeverAnswered) {
  TVirtualLine line;
  line.AddDevice(TestDevice(dpLargis1));
  TSimDevice m = TestDevice(dpModbus);
  m.Address = 6;
  line.AddDevice(m);
  TTestPort port(line.SlavePath());
  EXPECT_TRUE(port.Native(WithCrc({0xFF, 0x01, 0x02, 0x02}), 64, 200).empty());
  EXPECT_TRUE(port.Native(WithCrc({0xFF, 0xB4, 0x02, 0x01}), 64, 200).empty());
  EXPECT_TRUE(port.Modbus(WithCrc({0x00, 0x04, 0x00, 0x0E, 0x00, 0x01}), 64, 200).empty());
  EXPECT_TRUE(port.Modbus(WithCrc({0x00, 0x03, 0x03, 0xE8, 0x00, 0x02}), 64, 200).empty());
}

TEST(VirtualLine, LogWaitsForFramesAndNotesWhatHappened) {
  TVirtualLine line;
  line.AddDevice(TestDevice());
  TTestPort port(line.SlavePath());
  EXPECT_FALSE(line.WaitFrames(1, 100ms));
  port.Native(kIdent);
  port.Native({0x05, 0x20, 0x01, 0xB9, 0xC2}, 10, 200);
  ASSERT_TRUE(line.WaitFrames(2, 2s));
  const auto frames = line.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].Note, "native 0x20 identification");
  EXPECT_EQ(frames[1].Note, "ignored: bad CRC");
  EXPECT_TRUE(frames[1].Answer.empty());
  EXPECT_LE(frames[0].Time, frames[1].Time);
  line.ClearFrames();
  EXPECT_EQ(line.FrameCount(), 0u);
  line.SetLogLimit(1);
  port.Native(kIdent);
  port.Native(kIdent);
  ASSERT_TRUE(line.WaitFrames(2, 2s));
  EXPECT_EQ(line.Frames().size(), 1u);
}

TEST(VirtualLine, FrameListenerSeesEveryFrameWithItsAnswer) {
  TVirtualLine line;
  line.AddDevice(TestDevice());
  // The listener runs after the frame is counted: wait for its calls
  // themselves, not for the count, which may come first on a loaded machine.
  std::mutex m;
  std::condition_variable called;
  int seen = 0;
  line.SetFrameListener([&](const TSimFrame& f) {
    std::lock_guard lock(m);
    if (f.Answer.size() == 10) ++seen;
    called.notify_all();
  });
  TTestPort port(line.SlavePath());
  port.Native(kIdent);
  port.Native(kIdent);
  ASSERT_TRUE(line.WaitFrames(2, 10s));
  std::unique_lock lock(m);
  EXPECT_TRUE(called.wait_for(lock, 10s, [&] { return seen >= 2; }));
  EXPECT_EQ(seen, 2);
}

TEST(VirtualLine, DevicesChangeSafelyWhileTheLineServes) {
  TVirtualLine line;
  const int dev = line.AddDevice(TestDevice());
  TTestPort port(line.SlavePath());
  std::atomic<bool> done{false};
  std::thread changer([&] {
    std::uint16_t t = 0;
    while (!done) {
      line.Modify(dev, [&](TSimDevice& d) { d.Temperatures[0] = t++; });
      (void)line.Devices();
      std::this_thread::sleep_for(200us);  // a busy caller, not a lock hog
    }
  });
  for (int i = 0; i < 20; ++i) {
    const TBytes a = port.Native({0x05, 0x01, 0x02, 0x02, 0xD1, 0x89}, 11);
    ASSERT_EQ(a.size(), 11u);
    EXPECT_EQ(a, WithCrc(TBytes(a.begin(), a.end() - 2)));
  }
  done = true;
  changer.join();
}

TEST(VirtualLine, PacingTakesTheWireTimeOfRequestAndAnswer) {
  TVirtualLine line;
  line.AddDevice(TestDevice(dpModbus));
  line.SetPacing(1200);  // 9.17 ms a byte: 8 + 95 bytes take at least 900 ms
  TTestPort port(line.SlavePath());
  const auto start = std::chrono::steady_clock::now();
  const TBytes a = port.Modbus({0x05, 0x04, 0x00, 0x00, 0x00, 0x2D, 0x31, 0x93}, 95, 5000);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(a.size(), 95u);
  EXPECT_GE(took, 850ms);
}

TEST(VirtualLine, LateAnswerDoesNotBlockStopping) {
  auto line = std::make_unique<TVirtualLine>();
  TSimDevice d = TestDevice();
  d.Faults.DelayMs = 60000;
  line->AddDevice(d);
  TTestPort port(line->SlavePath());
  port.SendNative(kIdent);
  std::this_thread::sleep_for(100ms);
  const auto start = std::chrono::steady_clock::now();
  line.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(VirtualLine, ClosingTheLineHangsUpTheProgramSide) {
  auto line = std::make_unique<TVirtualLine>();
  TTestPort port(line->SlavePath());
  line.reset();
  pollfd p{port.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_NE(p.revents & (POLLHUP | POLLERR), 0);
}

TEST(VirtualLine, LinksAndAnnouncementAreRemovedWithTheLine) {
  char dir[] = "/tmp/lim07-sim-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  setenv("XDG_RUNTIME_DIR", dir, 1);
  std::string link = std::string(dir) + "/mine", announced;
  {
    TVirtualLine line;
    line.AddDevice(TestDevice());
    line.AddLink(link);
    announced = line.Announce();
    EXPECT_EQ(announced.rfind(std::string(dir) + "/lim07-lines/lim07-sim-", 0), 0u) << announced;
    struct stat st;
    ASSERT_EQ(stat((std::string(dir) + "/lim07-lines").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // The port list of the program shows it.
    const auto ports = ListSerialPorts();
    EXPECT_NE(std::find(ports.begin(), ports.end(), announced), ports.end());
    TTestPort port(announced);  // through the link
    port.Write(kIdent);
    EXPECT_EQ(port.Read(10).size(), 10u);
    // A link left behind by a simulator that no longer runs is cleaned up.
    ASSERT_EQ(symlink("/dev/null", (std::string(dir) + "/lim07-lines/lim07-sim-999999999").c_str()),
              0);
    TVirtualLine second;
    second.Announce();
    struct stat lst;
    EXPECT_NE(lstat((std::string(dir) + "/lim07-lines/lim07-sim-999999999").c_str(), &lst), 0);
  }
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  EXPECT_NE(lstat(announced.c_str(), &st), 0);
  unsetenv("XDG_RUNTIME_DIR");
  rmdir((std::string(dir) + "/lim07-lines").c_str());
  rmdir(dir);
}

TEST(VirtualLine, DemoLineAnswersAndDrifts) {
  auto line = MakeDemoLine();
  ASSERT_EQ(line->DeviceCount(), 5);
  TTestPort port(line->SlavePath());
  for (int i = 0; i < 5; ++i) {
    const TSimDevice d = line->Device(i);
    EXPECT_FALSE(d.Name.empty());
    const TBytes a = port.Native(WithCrc({d.Address, 0x20, 0x01}));
    ASSERT_EQ(a.size(), 10u);
    EXPECT_EQ(a[4] << 8 | a[5], d.PlantNumber);
  }
  TSimDevice d;
  d.Temperatures = {200, 200, 200};
  d.LevelMetres = 5;
  d.PlantNumber = 1;
  TSimDevice moved = d;
  for (int s = 0; s < 60; ++s) DriftDevice(moved, s);
  EXPECT_NE(moved.Temperatures, d.Temperatures);
  for (std::uint16_t t : moved.Temperatures)
    EXPECT_LT(std::abs(static_cast<std::int16_t>(t) - 200), 100);
  EXPECT_NE(moved.LevelMetres, d.LevelMetres);
}

}  // namespace
