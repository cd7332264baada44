// The traffic monitor under load, offscreen:
//  1. decoding one frame (the monitor's and the trace's decoder) for frames of
//     both protocols, against the frame's own time on the wire at 115200 baud
//     and against formatting its bytes as hex alone;
//  2. a babbling device on the virtual line sending over 1,000 frames a second for
//     N seconds (default 30) while a reader thread takes every frame through
//     the real port and the recorder, and the "Обмен" dock is shown and
//     drained on the user-interface thread: the longest event-loop stall
//     against a 16 ms frame, and the memory against the ring's bound.
// Usage: bench_traffic_ui [--seconds N]. Prints its tables and exits 0.
#include <malloc.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ComPort.h"
#include "Crc16.h"
#include "FrameDecoder.h"
#include "TrafficDock.h"
#include "TrafficRecorder.h"
#include "VirtualLine.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

long RssKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> b) {
  const std::uint16_t crc = Crc16(b.data(), 0, static_cast<int>(b.size()));
  b.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  b.push_back(static_cast<std::uint8_t>(crc >> 8));
  return b;
}

TFrameRecord Frame(char direction, std::vector<std::uint8_t> bytes, TFrameProtocol protocol,
                   std::vector<std::uint8_t> request = {}) {
  TFrameRecord f;
  f.Direction = direction;
  f.Protocol = protocol;
  f.FirstParity = protocol == TFrameProtocol::Native ? prMark : prEven;
  f.RestParity = protocol == TFrameProtocol::Native ? prSpace : prEven;
  f.Bytes = std::move(bytes);
  f.RequestLength = static_cast<std::uint8_t>(std::min<std::size_t>(8, request.size()));
  std::copy_n(request.begin(), f.RequestLength, f.Request.begin());
  return f;
}

void DecodingCost() {
  std::vector<std::uint8_t> temps = {0x05, 0x01, 0x02, 0x02, 0xD1, 0x89};
  std::vector<std::uint8_t> answer = {0x05, 0x01, 0x41};
  for (int i = 0; i < 32; ++i) answer.insert(answer.end(), {0x01, static_cast<std::uint8_t>(i)});
  answer = WithCrc(answer);
  std::vector<std::uint8_t> poll = {0x05, 0x04, 0x00, 0x00, 0x00, 0x2D, 0x31, 0x93};
  std::vector<std::uint8_t> data = {0x05, 0x04, 90};
  data.resize(93, 0x01);
  data[32] = 30;
  data = WithCrc(data);
  const std::vector<std::pair<const char*, TFrameRecord>> frames = {
      {"native temperature request (6 B)", Frame('T', temps, TFrameProtocol::Native)},
      {"native answer, 32 sensors (69 B)", Frame('R', answer, TFrameProtocol::Native, temps)},
      {"Modbus data read (8 B)", Frame('T', poll, TFrameProtocol::Modbus)},
      {"Modbus data answer (95 B)", Frame('R', data, TFrameProtocol::Modbus, poll)},
  };
  std::printf("Decoding one frame (median of 7 runs of 20000 frames)\n");
  std::printf("%-36s %10s %10s %10s %12s %14s\n", "frame", "decode, us", "line, us", "hex, us",
              "line / hex", "line / wire");
  for (const auto& [name, f] : frames) {
    std::vector<double> decode, line, hex;
    std::size_t sink = 0;
    for (int rep = 0; rep < 7; ++rep) {
      auto t0 = Clock::now();
      for (int i = 0; i < 20000; ++i) sink += DescribeFrame(f).size();
      auto t1 = Clock::now();
      for (int i = 0; i < 20000; ++i) sink += FrameLine(f).size();
      auto t2 = Clock::now();
      for (int i = 0; i < 20000; ++i) sink += FrameHex(f.Bytes.data(), f.Bytes.size()).size();
      auto t3 = Clock::now();
      decode.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() / 20000);
      line.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count() / 20000);
      hex.push_back(std::chrono::duration<double, std::micro>(t3 - t2).count() / 20000);
    }
    // The frame's time on the wire at 115200 baud, 11 bits a byte.
    const double wireUs = f.Bytes.size() * 11e6 / 115200;
    std::printf("%-36s %10.2f %10.2f %10.2f %12.1f %14.4f%s\n", name, Median(decode), Median(line),
                Median(hex), Median(line) / Median(hex), Median(line) / wireUs, sink ? "" : " ");
  }
  std::printf(
      "(decode = the meaning column; line = time, parity, bytes, meaning and result as\n"
      " one text line, as the trace and the saved list have it)\n\n");
}

// The dock with its own work timed: each drain, and each repaint of the list.
class TMeasuredDock : public TTrafficDock {
 public:
  using TTrafficDock::TTrafficDock;
  double LongestRefreshMs = 0;
  double LongestPaintMs = 0;
  void WatchPaint() { View()->viewport()->installEventFilter(this); }

 protected:
  void RefreshView() override {
    QElapsedTimer t;
    t.start();
    TTrafficDock::RefreshView();
    LongestRefreshMs = std::max(LongestRefreshMs, t.nsecsElapsed() / 1e6);
  }
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Paint || FInPaint)
      return TTrafficDock::eventFilter(watched, event);
    QElapsedTimer t;
    t.start();
    FInPaint = true;
    QCoreApplication::sendEvent(watched, event);  // re-entered below: painted once
    FInPaint = false;
    LongestPaintMs = std::max(LongestPaintMs, t.nsecsElapsed() / 1e6);
    return true;
  }

 private:
  bool FInPaint = false;
};

struct TFloodResult {
  std::size_t Frames = 0;
  double Seconds = 0;
  double LongestStallMs = 0;
  double P99StallMs = 0;
  double RefreshMs = 0, PaintMs = 0;
  std::vector<double> Worst;
  long RssStartKiB = 0, RssEndKiB = 0;
  std::size_t RingSize = 0, Capacity = 0, ModelRows = 0;
  std::uint64_t Trimmed = 0;
};

TFloodResult Flood(int seconds, std::size_t capacity) {
  TFloodResult r;
  TVirtualLine line;
  // A babbling device: a native temperature answer every millisecond.
  const std::vector<std::uint8_t> babble =
      WithCrc({0x07, 0x01, 0x07, 0x01, 0x98, 0xFF, 0xCC, 0xAA, 0xAA});
  TComPort port;
  port.SetPort(line.SlavePath());
  port.Timeouts().SetReadInterval(50);
  port.Timeouts().SetReadTotalMultiplier(2);
  port.Timeouts().SetReadTotalConstant(100);
  port.Open();
  TFrameRing ring(capacity);
  TLineStatistics statistics;
  TTrafficRecorder recorder(&ring, &statistics);
  recorder.Attach(port);
  TMeasuredDock dock(&ring);
  dock.resize(1200, 400);
  dock.show();
  dock.WatchPaint();
  QApplication::processEvents();
  malloc_trim(0);
  r.RssStartKiB = RssKiB();

  std::atomic<bool> stop{false};
  std::atomic<std::size_t> frames{0};
  // The line's timer fires a little late each time: five frames every 4 ms
  // keep the rate at or above 1,000 a second (the table shows the real rate).
  std::vector<std::uint8_t> burst;
  for (int i = 0; i < 5; ++i) burst.insert(burst.end(), babble.begin(), babble.end());
  line.SetNoise(burst, 4);
  std::thread reader([&] {
    std::uint8_t buffer[64];
    while (!stop.load()) {
      const int n = port.ReceiveBytes(buffer, static_cast<int>(babble.size()));
      if (n > 0) frames.fetch_add(1);
    }
  });

  // The stall probe: a 1 ms timer on the user-interface thread; a gap longer
  // than its period is time the event loop could not run.
  std::vector<double> gaps;
  gaps.reserve(static_cast<std::size_t>(seconds) * 1100);
  QElapsedTimer since;
  since.start();
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  probe.setInterval(1);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    gaps.push_back(since.nsecsElapsed() / 1e6);
    since.restart();
  });
  probe.start();
  const auto start = Clock::now();
  QTimer::singleShot(seconds * 1000, [] { QApplication::quit(); });
  QApplication::exec();
  probe.stop();
  line.SetNoise({}, 1);
  stop.store(true);
  reader.join();
  dock.FlushRefresh();
  r.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
  r.Frames = frames.load();
  if (!gaps.empty()) gaps.erase(gaps.begin());  // the first gap holds the start-up
  std::sort(gaps.begin(), gaps.end());
  r.LongestStallMs = gaps.empty() ? 0 : gaps.back();
  r.P99StallMs = gaps.empty() ? 0 : gaps[gaps.size() * 99 / 100];
  malloc_trim(0);
  r.RssEndKiB = RssKiB();
  r.RefreshMs = dock.LongestRefreshMs;
  r.PaintMs = dock.LongestPaintMs;
  r.Worst.assign(gaps.rbegin(), gaps.rbegin() + std::min<std::size_t>(5, gaps.size()));
  r.RingSize = ring.Size();
  r.Capacity = ring.Capacity();
  r.Trimmed = ring.Trimmed();
  r.ModelRows = static_cast<std::size_t>(dock.Model()->rowCount());
  recorder.Detach();
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int seconds = 30;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1, std::atoi(argv[i + 1]));
  QApplication app(argc, argv);
  DecodingCost();

  std::printf("A babbling device, 1 frame a millisecond, %d s, dock shown and drained\n", seconds);
  std::printf("%10s %8s %8s %12s %12s %10s %10s %10s %12s\n", "ring bound", "frames", "per s",
              "stall max", "stall p99", "max/16ms", "ring", "trimmed", "RSS +KiB");
  for (std::size_t capacity : {std::size_t{100000}, std::size_t{10000}}) {
    const TFloodResult r = Flood(seconds, capacity);
    std::printf("%10zu %8zu %8.0f %9.1f ms %9.1f ms %10.2f %10zu %10llu %12ld\n", r.Capacity,
                r.Frames, r.Frames / r.Seconds, r.LongestStallMs, r.P99StallMs,
                r.LongestStallMs / 16.0, r.RingSize, static_cast<unsigned long long>(r.Trimmed),
                r.RssEndKiB - r.RssStartKiB);
    std::printf(
        "%10s model rows %zu (bound %zu); longest drain %.2f ms, longest list paint %.2f ms;"
        " worst gaps",
        "", r.ModelRows, r.Capacity, r.RefreshMs, r.PaintMs);
    for (double g : r.Worst) std::printf(" %.1f", g);
    std::printf(" ms\n");
  }
  std::printf(
      "(stall: the longest gap of a 1 ms timer on the user-interface thread;\n"
      " RSS +KiB: growth of the process during the flood, ring and dock included)\n");
  return 0;
}
