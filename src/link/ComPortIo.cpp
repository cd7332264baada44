// Blocking transfers of the serial port: poll() on a non-blocking descriptor,
// bounded by the port's time-outs on the monotonic clock.
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "ComPort.h"

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// Limit of multiplier x count + constant; negative parts count as 0; none (false)
// when both are 0.
bool TotalLimit(int multiplier, int constant, int count, Clock::time_point start,
                Clock::time_point& deadline) {
  const long long m = multiplier > 0 ? multiplier : 0;
  const long long c = constant > 0 ? constant : 0;
  if (m == 0 && c == 0) return false;
  deadline = start + Millis(m * count + c);
  return true;
}

// Waits for the descriptor; false on time-out. revents are returned.
bool WaitFor(int fd, short events, bool limited, Clock::time_point deadline, short& revents) {
  for (;;) {
    timespec ts{};
    timespec* tsp = nullptr;
    if (limited) {
      const auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) return false;
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      ts.tv_sec = static_cast<time_t>(ns / 1000000000);
      ts.tv_nsec = static_cast<long>(ns % 1000000000);
      tsp = &ts;
    }
    pollfd p{fd, events, 0};
    const int r = ppoll(&p, 1, tsp, nullptr);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      revents = POLLERR;
      return true;
    }
    if (r == 0) continue;  // re-checks the deadline, which has passed
    revents = p.revents;
    return true;
  }
}

}  // namespace

void TCustomComPort::PurgeBuffers(bool input, bool output) {
  if (!Connected() || (!input && !output)) return;
  const int which = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
  if (tcflush(FHandle, which) != 0) throw EComPort(5, errno);
  if (input) FMarkState = 0;
}

int TCustomComPort::SendBytes(const void* buffer, int count) {
  if (!Connected()) throw EComPort(2, EBADF);
  if (count <= 0) return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  const auto start = Clock::now();
  Clock::time_point deadline;
  const bool limited = TotalLimit(FTimeouts.WriteTotalMultiplier(), FTimeouts.WriteTotalConstant(),
                                  count, start, deadline);
  int written = 0;
  while (written < count) {
    const ssize_t r = ::write(FHandle, bytes + written, static_cast<size_t>(count - written));
    if (r > 0) {
      written += static_cast<int>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN) throw EComPort(2, errno);
    short revents = 0;
    if (!WaitFor(FHandle, POLLOUT, limited, deadline, revents)) break;  // write limit
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) throw EComPort(2, EIO);
  }
  // Handed to the driver: wait until its queue is empty, so that a parity
  // change after this call cannot reach bytes still waiting to go out.
  int queued = 0;
  for (;;) {
    if (ioctl(FHandle, TIOCOUTQ, &queued) != 0) {
      queued = 0;
      break;
    }
    if (queued == 0) break;
    if (limited && Clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (queued > 0) {
    // The write limit has passed (output held by flow control): what did not
    // leave is withdrawn and not counted.
    tcflush(FHandle, TCOFLUSH);
    written = written > queued ? written - queued : 0;
  } else if (!FIsPty) {
    // The UART's own FIFO: bounded by the driver to a few character times.
    tcdrain(FHandle);
  }
  RecordWrite(bytes, written, start);
  return written;
}

int TCustomComPort::BaudRateBits() const {
  return FBaudRate == brCustom ? FCustomBaudRate : BaudRateValue(FBaudRate);
}

void TCustomComPort::RecordWrite(const std::uint8_t* bytes, int count, Clock::time_point start) {
  FLastWriteEnd = Clock::now();
  if (FWireMonitor) {
    TWireChunk chunk;
    chunk.Direction = 'T';
    chunk.Start = start;
    chunk.End = chunk.FirstByte = chunk.LastByte = FLastWriteEnd;
    chunk.Parity = FAppliedParity;
    chunk.BaudRate = BaudRateBits();
    chunk.Bytes = bytes;
    chunk.Count = count;
    FWireMonitor(chunk);
  }
  {
    std::lock_guard<std::mutex> lock(FTraceMutex);
    if (FTraceEnabled)
      FTrace.push_back(TWriteTraceEntry{Clock::now(), FAppliedParity,
                                        std::vector<std::uint8_t>(bytes, bytes + count)});
  }
  if (FWireLog) FWireLog('T', bytes, count);
}

int TCustomComPort::FilterReceived(std::uint8_t* bytes, int count) {
  int out = 0;
  for (int i = 0; i < count; ++i) {
    std::uint8_t b = bytes[i];
    if (FMarkParityErrors) {
      // PARMRK: FF FF is a real FF, FF 00 x is a byte x received with an error.
      if (FMarkState == 0 && b == 0xFF) {
        FMarkState = 1;
        continue;
      }
      if (FMarkState == 1 && b == 0x00) {
        FMarkState = 2;
        continue;
      }
      if (FMarkState == 2) b = FParity.ReplaceChar();
      FMarkState = 0;  // FF FF gives FF; a stray FF before anything else is dropped
    }
    if (FDiscardNull && b == 0) continue;
    bytes[out++] = b;
  }
  return out;
}

// Reads what is waiting, without waiting. lineLost is set when the device has
// gone (read gives 0 or EIO).
int TCustomComPort::ReadAvailable(std::uint8_t* buffer, int count, bool& lineLost) {
  int got = 0;
  while (got < count) {
    const ssize_t r = ::read(FHandle, buffer + got, static_cast<size_t>(count - got));
    if (r > 0) {
      got += FilterReceived(buffer + got, static_cast<int>(r));
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno == EAGAIN) break;
    if (r == 0 || errno == EIO || errno == ENXIO || errno == ENODEV) {
      lineLost = true;
      break;
    }
    throw EComPort(3, errno);
  }
  return got;
}

int TCustomComPort::ReceiveBytes(void* buffer, int count) {
  if (!Connected()) throw EComPort(3, EBADF);
  if (count <= 0) return 0;
  const auto start = Clock::now();
  TReadDeadlines d;
  d.TotalLimited = TotalLimit(FTimeouts.ReadTotalMultiplier(), FTimeouts.ReadTotalConstant(), count,
                              start, d.Total);
  d.IntervalMs = FTimeouts.ReadInterval();
  return Receive(static_cast<std::uint8_t*>(buffer), count, start, d, nullptr);
}

int TCustomComPort::ReceiveFrame(void* buffer, int count, const TFrameReadLimits& limits) {
  if (!Connected()) throw EComPort(3, EBADF);
  if (count <= 0) return 0;
  const auto start = Clock::now();
  TReadDeadlines d;
  d.TotalLimited = limits.TotalMs > 0;
  if (d.TotalLimited) d.Total = start + Millis(limits.TotalMs);
  d.FirstByteLimited = limits.FirstByteMs > 0;
  if (d.FirstByteLimited) d.FirstByte = start + Millis(limits.FirstByteMs);
  d.IntervalMs = limits.IntervalMs > 0 ? limits.IntervalMs : 0;
  return Receive(static_cast<std::uint8_t*>(buffer), count, start, d,
                 limits.Complete ? &limits.Complete : nullptr);
}

int TCustomComPort::Receive(std::uint8_t* bytes, int count, Clock::time_point start,
                            const TReadDeadlines& limits, const TFrameTest* complete) {
  const int interval = limits.IntervalMs;
  // A negative interval with no other limit: only what has already arrived.
  const bool immediate = interval < 0 && !limits.TotalLimited && !limits.FirstByteLimited;
  int got = 0;
  Clock::time_point firstByte, lastByte;
  bool hangUp = false;
  for (;;) {
    bool lineLost = false;
    const int n = ReadAvailable(bytes + got, count - got, lineLost);
    // A hang-up that reads as "nothing yet" would otherwise be polled forever.
    if (hangUp && n == 0) lineLost = true;
    if (n > 0) {
      if (got == 0) firstByte = Clock::now();
      got += n;
      lastByte = Clock::now();
    }
    if (lineLost) {
      // Bytes that did arrive are delivered; the next read reports the loss.
      if (got > 0) break;
      throw EComPort(3, EIO);
    }
    if (got >= count || immediate) break;
    if (n > 0 && complete != nullptr && (*complete)(bytes, got)) break;
    bool limited = limits.TotalLimited;
    Clock::time_point deadline = limits.Total;
    const auto Earlier = [&](Clock::time_point t) {
      if (!limited || t < deadline) deadline = t;
      limited = true;
    };
    if (got == 0 && limits.FirstByteLimited) Earlier(limits.FirstByte);
    if (got > 0 && interval > 0) Earlier(lastByte + Millis(interval));
    short revents = 0;
    if (!WaitFor(FHandle, POLLIN, limited, deadline, revents)) break;
    if (revents & POLLNVAL) throw EComPort(3, EBADF);
    // POLLHUP/POLLERR: the next read returns what is left, then 0 or EIO.
    hangUp = (revents & (POLLHUP | POLLERR)) != 0;
  }
  const auto end = Clock::now();
  FLastReadCount = got;
  if (got > 0) FLastReadLastByte = lastByte;
  if (FWireMonitor) {
    TWireChunk chunk;
    chunk.Direction = 'R';
    chunk.Start = start;
    chunk.End = end;
    chunk.FirstByte = got > 0 ? firstByte : end;
    chunk.LastByte = got > 0 ? lastByte : end;
    chunk.Parity = FAppliedParity;
    chunk.BaudRate = BaudRateBits();
    chunk.Bytes = bytes;
    chunk.Count = got;
    FWireMonitor(chunk);
  }
  if (FWireLog) FWireLog('R', bytes, got);
  return got;
}

int TCustomComPort::ReceiveText(std::string& text, int count) {
  text.clear();
  if (count <= 0) return 0;
  text.resize(static_cast<std::size_t>(count));
  const int got = ReceiveBytes(text.data(), count);
  text.resize(static_cast<std::size_t>(got));
  return got;
}

void TCustomComPort::SetWriteTraceEnabled(bool on) {
  std::lock_guard<std::mutex> lock(FTraceMutex);
  FTraceEnabled = on;
}

std::vector<TWriteTraceEntry> TCustomComPort::WriteTrace() const {
  std::lock_guard<std::mutex> lock(FTraceMutex);
  return FTrace;
}

void TCustomComPort::ClearWriteTrace() {
  std::lock_guard<std::mutex> lock(FTraceMutex);
  FTrace.clear();
}
