// Transfers of the port on a pseudo-terminal: read limits, parity switching
// between writes, the write trace and a line that disappears.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "ComPort.h"
#include "PtyPair.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class PortIo : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    port.SetPort(pty.SlavePath());
    port.Open();
  }
  void SetReadLimits(int interval, int multiplier, int constant) {
    port.Timeouts().SetReadInterval(interval);
    port.Timeouts().SetReadTotalMultiplier(multiplier);
    port.Timeouts().SetReadTotalConstant(constant);
  }

  PtyPair pty;
  TComPort port;
};

}  // namespace

TEST_F(PortIo, BytesTravelBothWaysAndReachTheWireLog) {
  std::vector<std::pair<char, Bytes>> log;
  port.SetWireLog([&](char dir, const std::uint8_t* b, int n) {
    log.push_back({dir, Bytes(b, b + n)});
  });
  const Bytes out{0x01, 0x00, 0xFF, 0x7E, 0x0D};
  EXPECT_EQ(port.SendBytes(out.data(), 5), 5);
  EXPECT_EQ(pty.Read(5), out);

  SetReadLimits(50, 2, 500);
  pty.Write({0x11, 0x22, 0x33, 0x44});
  std::uint8_t in[4] = {};
  EXPECT_EQ(port.ReceiveBytes(in, 4), 4);
  EXPECT_EQ(Bytes(in, in + 4), (Bytes{0x11, 0x22, 0x33, 0x44}));
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], std::make_pair('T', out));
  EXPECT_EQ(log[1].first, 'R');
  EXPECT_EQ(log[1].second.size(), 4u);
  EXPECT_TRUE(port.WriteTrace().empty());  // the trace is off by default
}

TEST_F(PortIo, NothingArrivingEndsAtTheTotalLimit) {
  SetReadLimits(50, 2, 100);  // 2 x 8 + 100 = 116 ms
  std::uint8_t in[8];
  const auto start = Clock::now();
  EXPECT_EQ(port.ReceiveBytes(in, 8), 0);
  const auto ms = MsSince(start);
  EXPECT_GE(ms, 110);
  EXPECT_LT(ms, 1000);
}

TEST_F(PortIo, ThreeBytesThenSilenceEndAtTheGapLimit) {
  SetReadLimits(150, 0, 3000);
  pty.Write({1, 2, 3});
  std::uint8_t in[8];
  const auto start = Clock::now();
  EXPECT_EQ(port.ReceiveBytes(in, 8), 3);
  const auto ms = MsSince(start);
  EXPECT_GE(ms, 140);
  EXPECT_LT(ms, 2500);  // well before the total limit
}

TEST_F(PortIo, TotalLimitFirstWhenTheGapIsLonger) {
  SetReadLimits(2000, 1, 250);  // 1 x 8 + 250 = 258 ms
  std::uint8_t in[8];
  const auto start = Clock::now();
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pty.Write({7, 8, 9});
  });
  EXPECT_EQ(port.ReceiveBytes(in, 8), 3);
  const auto ms = MsSince(start);
  sender.join();
  EXPECT_GE(ms, 250);
  EXPECT_LT(ms, 1900);
}

TEST_F(PortIo, CreationDefaultReadsOnlyWhatIsWaiting) {
  // ReadInterval -1 with no total limit: no waiting at all.
  std::uint8_t in[4];
  auto start = Clock::now();
  EXPECT_EQ(port.ReceiveBytes(in, 4), 0);
  EXPECT_LT(MsSince(start), 500);
  pty.Write({5, 6});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(port.ReceiveBytes(in, 4), 2);
  // With a total limit -1 only lifts the gap limit.
  SetReadLimits(-1, 0, 150);
  pty.Write({5});
  start = Clock::now();
  EXPECT_EQ(port.ReceiveBytes(in, 4), 1);
  EXPECT_GE(MsSince(start), 140);
}

TEST_F(PortIo, ReceiveTextWithNoCountLeavesTheLineAlone) {
  SetReadLimits(50, 2, 300);
  pty.Write({'A', 'B'});
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  std::string text = "old";
  EXPECT_EQ(port.ReceiveText(text, 0), 0);
  EXPECT_TRUE(text.empty());
  text = "old";
  EXPECT_EQ(port.ReceiveText(text, -3), 0);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(port.ReceiveText(text, 1), 1);
  EXPECT_EQ(text, "A");
  EXPECT_EQ(port.ReceiveText(text, 5), 1);
  EXPECT_EQ(text, "B");
}

TEST_F(PortIo, DiscardNullDropsReceivedNulBytes) {
  SetReadLimits(50, 0, 500);
  port.SetDiscardNull(true);
  pty.Write({'a', 0, 'b', 0, 0, 'c'});
  std::uint8_t in[3] = {};
  EXPECT_EQ(port.ReceiveBytes(in, 3), 3);
  EXPECT_EQ(Bytes(in, in + 3), (Bytes{'a', 'b', 'c'}));
}

TEST_F(PortIo, PurgeDiscardsWaitingInput) {
  SetReadLimits(50, 0, 200);
  pty.Write({1, 2, 3});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  port.PurgeBuffers(true, true);
  std::uint8_t in[3];
  EXPECT_EQ(port.ReceiveBytes(in, 3), 0);
}

// The native frame: the address byte alone with mark parity, a pause, the rest
// with space parity, with no purge in between.
TEST_F(PortIo, AddressByteMarkThenRestSpaceAfterAPause) {
  struct Arrival {
    Clock::time_point Time;
    tcflag_t CFlag;
    Bytes Data;
  };
  std::vector<Arrival> arrivals;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    std::size_t total = 0;
    while (total < 4 && !stop) {
      pollfd p{pty.Master(), POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      // Settings taken before the read: they were in force when these bytes
      // had already arrived.
      Arrival a{Clock::now(), pty.CFlag(), {}};
      std::uint8_t buf[16];
      const ssize_t r = ::read(pty.Master(), buf, sizeof buf);
      if (r <= 0) continue;
      a.Data.assign(buf, buf + r);
      total += a.Data.size();
      arrivals.push_back(a);
    }
  });
  port.SetWriteTraceEnabled(true);
  const std::uint8_t frame[4] = {0x05, 0x01, 0xAB, 0xCD};
  port.Parity().SetBits(prMark);
  EXPECT_EQ(port.SendBytes(frame, 1), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  port.Parity().SetBits(prSpace);
  EXPECT_EQ(port.SendBytes(frame + 1, 3), 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  stop = true;
  reader.join();

  const auto trace = port.WriteTrace();
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_EQ(trace[0].Parity, prMark);
  EXPECT_EQ(trace[0].Bytes, Bytes{0x05});
  EXPECT_EQ(trace[1].Parity, prSpace);
  EXPECT_EQ(trace[1].Bytes, (Bytes{0x01, 0xAB, 0xCD}));
  EXPECT_GE(trace[1].Time - trace[0].Time, std::chrono::milliseconds(2));

  Bytes all;
  for (const auto& a : arrivals) all.insert(all.end(), a.Data.begin(), a.Data.end());
  EXPECT_EQ(all, Bytes(frame, frame + 4));
  // Corroborated from the other side where the address byte arrived alone and
  // was seen before the switch to space could have happened.
  ASSERT_FALSE(arrivals.empty());
  const tcflag_t bits = PARODD | CMSPAR;
  if (arrivals[0].Data.size() == 1 &&
      arrivals[0].Time < trace[0].Time + std::chrono::milliseconds(3)) {
    EXPECT_EQ(arrivals[0].CFlag & bits, bits);
  }
  if (arrivals.size() >= 2) {
    EXPECT_EQ(arrivals.back().CFlag & bits, tcflag_t(CMSPAR));
  }
  port.ClearWriteTrace();
  EXPECT_TRUE(port.WriteTrace().empty());
}

TEST_F(PortIo, OtherSideGoneIsAReadErrorNotSilence) {
  SetReadLimits(0, 0, 0);  // no limit at all: only the error can end this read
  pty.Write({0x42});
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  pty.CloseMaster();
  std::uint8_t in[4];
  const auto start = Clock::now();
  try {
    port.ReceiveBytes(in, 4);
    ADD_FAILURE() << "no error";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorKind(), 3);
  }
  EXPECT_LT(MsSince(start), 1000);
  SetReadLimits(50, 2, 100);
  EXPECT_THROW(port.ReceiveBytes(in, 4), EComPort);  // again, not a silent 0
  try {
    port.SendBytes(in, 1);
    ADD_FAILURE() << "write accepted";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorKind(), 2);
  }
  port.Close();  // a lost line can still be closed
  EXPECT_FALSE(port.Connected());
}

TEST(ComPortClosed, TransfersOnAClosedPortFail) {
  TComPort port;
  std::uint8_t b = 0;
  EXPECT_THROW(port.SendBytes(&b, 1), EComPort);
  EXPECT_THROW(port.ReceiveBytes(&b, 1), EComPort);
  std::string text;
  EXPECT_EQ(port.ReceiveText(text, 0), 0);
  port.PurgeBuffers(true, true);  // nothing to discard
}

TEST_F(PortIo, OutputHeldByXoffEndsAtTheWriteLimit) {
  port.FlowControl().SetFlowControl(fcSoftware);
  port.Timeouts().SetWriteTotalMultiplier(0);
  port.Timeouts().SetWriteTotalConstant(200);
  pty.Write({19});  // XOFF from the other side
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const std::uint8_t bytes[3] = {1, 2, 3};
  const auto start = Clock::now();
  EXPECT_EQ(port.SendBytes(bytes, 3), 0);
  const auto ms = MsSince(start);
  EXPECT_GE(ms, 190);
  EXPECT_LT(ms, 1500);
  pty.Write({17});  // XON
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(port.SendBytes(bytes, 3), 3);
  EXPECT_EQ(pty.Read(3), Bytes(bytes, bytes + 3));
}

TEST_F(PortIo, CheckedParityStillDeliversFfBytesOnce) {
  // With replacement the driver escapes a real FF as FF FF; the port undoes it.
  port.Parity().SetCheck(true);
  port.Parity().SetReplace(true);
  port.Parity().SetReplaceChar('?');
  SetReadLimits(50, 0, 500);
  pty.Write({0x10, 0xFF, 0x00, 0xFF, 0xFF});
  std::uint8_t in[5] = {};
  EXPECT_EQ(port.ReceiveBytes(in, 5), 5);
  EXPECT_EQ(Bytes(in, in + 5), (Bytes{0x10, 0xFF, 0x00, 0xFF, 0xFF}));
}

TEST_F(PortIo, TraceCanBeReadFromAnotherThreadWhileSending) {
  port.SetWriteTraceEnabled(true);
  std::atomic<bool> done{false};
  std::size_t seen = 0;
  std::thread watcher([&] {
    while (!done) seen = std::max(seen, port.WriteTrace().size());
  });
  const std::uint8_t byte = 0x33;
  for (int i = 0; i < 50; ++i) port.SendBytes(&byte, 1);
  done = true;
  watcher.join();
  EXPECT_EQ(port.WriteTrace().size(), 50u);
  EXPECT_LE(seen, 50u);
  EXPECT_EQ(pty.Read(50).size(), 50u);
}

TEST_F(PortIo, FrameReadEndsAtTheFirstByteLimitOrAtAWholeFrame) {
  SetReadLimits(50, 2, 100);  // the port's own limits play no part
  std::uint8_t in[16];
  TFrameReadLimits limits;
  limits.FirstByteMs = 80;
  limits.TotalMs = 3000;
  limits.IntervalMs = 2000;
  auto start = Clock::now();
  EXPECT_EQ(port.ReceiveFrame(in, 10, limits), 0);
  auto ms = MsSince(start);
  EXPECT_GE(ms, 75);
  EXPECT_LT(ms, 2000);

  // Bytes in two bursts: the read goes past the first-byte limit and ends on
  // the frame test, long before the gap or total limit, as one read.
  std::vector<std::pair<char, int>> log;
  port.SetWireLog([&](char dir, const std::uint8_t*, int n) { log.push_back({dir, n}); });
  limits.Complete = [](const std::uint8_t* b, int n) { return n == 5 && b[4] == 0x55; };
  start = Clock::now();
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pty.Write({1, 2, 3});
    std::this_thread::sleep_for(std::chrono::milliseconds(90));
    pty.Write({4, 0x55});
  });
  EXPECT_EQ(port.ReceiveFrame(in, 10, limits), 5);
  ms = MsSince(start);
  sender.join();
  EXPECT_GE(ms, 110);
  EXPECT_LT(ms, 1500);
  EXPECT_EQ(log, (std::vector<std::pair<char, int>>{{'R', 5}}));
  EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 100);
}

TEST_F(PortIo, FrameReadEndsAtTheGapAfterBytes) {
  std::uint8_t in[16];
  TFrameReadLimits limits;
  limits.FirstByteMs = 500;
  limits.IntervalMs = 60;
  pty.Write({9, 8, 7});
  const auto start = Clock::now();
  EXPECT_EQ(port.ReceiveFrame(in, 10, limits), 3);
  const auto ms = MsSince(start);
  EXPECT_GE(ms, 55);
  EXPECT_LT(ms, 450);  // not held to the first-byte limit
}
