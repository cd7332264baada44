#include "VirtualLine.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "ComPort.h"
#include "SimProtocols.h"

using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr std::size_t kMaxFrame = 4096;  // longer without a pause: a flood
// A lone first byte (a native address byte) waits this long for the rest of
// its frame: a busy machine can hold the sender for a hundred milliseconds
// and more between its two writes. Waiting costs nothing when the byte was
// noise: a whole frame after it is still found and served.
constexpr milliseconds kLoneAddressWait{500};
constexpr milliseconds kDriftPeriod{1000};

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

void EnsurePrivateDirectory(const std::string& dir) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) throw SystemError("mkdir " + dir);
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) throw SystemError("stat " + dir);
  if (!S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
    throw std::runtime_error(dir + " is not a folder of this user");
  }
  if ((st.st_mode & 0777) != 0700) chmod(dir.c_str(), 0700);
}

// Links lim07-sim-<pid>[-n] whose simulator is gone.
void RemoveStaleLinks(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  const std::string prefix = "lim07-sim-";
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
    if (pid <= 0) continue;
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      unlink((dir + "/" + name).c_str());
    }
  }
  closedir(d);
}

std::atomic<int> gAnnounced{0};

}  // namespace

bool TSimFaults::Any() const {
  return Silent || BadCrc || ErrorCode >= 0 || DeviceType >= 0 || SensorCount >= 0 || ShortBy > 0 ||
         DelayMs > 0 || !Garbage.empty();
}

std::uint16_t TSimDevice::LevelDm() const {
  if (!std::isfinite(LevelMetres) || LevelMetres <= 0) return 0;
  const double dm = std::nearbyint(LevelMetres * 10.0);
  return dm > 65535 ? 65535 : static_cast<std::uint16_t>(dm);
}

const char* SimParityName(TSimParity parity) {
  switch (parity) {
    case TSimParity::Odd:
      return "odd";
    case TSimParity::Mark:
      return "mark";
    case TSimParity::Space:
      return "space";
    default:
      return "none/even";
  }
}

std::string SimHex(const std::vector<std::uint8_t>& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) s += ' ';
    s += digits[bytes[i] >> 4];
    s += digits[bytes[i] & 15];
  }
  return s;
}

// Bytes received since the last frame ended, with the reads they came in.
struct TVirtualLine::TPending {
  struct TRead {
    std::size_t Offset;
    TClock::time_point Time;
    TSimParity Parity;
    int Baud;
  };
  TBytes Bytes;
  std::vector<TRead> Reads;
  TClock::time_point Last;
  std::size_t Dropped = 0;  // bytes beyond kMaxFrame
  bool Empty() const { return Bytes.empty() && !Dropped; }
  // When the frame ends by silence: a lone first byte (an address byte whose
  // sender is slow with the rest) waits longer.
  TClock::time_point Due(int silenceMs) const {
    if (Bytes.size() == 1 && !Dropped) return Reads[0].Time + kLoneAddressWait;
    return Last + milliseconds(silenceMs);
  }
};

class TVirtualLine::TUpload {
 public:
  TUpload(int device, const TSimXModemTiming& timing, TClock::time_point now)
      : Device(device), Receiver(timing, now) {}
  int Device;
  TXModemReceiver Receiver;
};

TVirtualLine::TVirtualLine() : FPending(std::make_unique<TPending>()) {
  OpenPty();
  if (pipe2(FWakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    const auto e = SystemError("pipe");
    ClosePty();
    throw e;
  }
  FStart = TClock::now();
  FNextDrift = FStart + kDriftPeriod;
  FThread = std::thread(&TVirtualLine::Run, this);
}

TVirtualLine::~TVirtualLine() {
  StopThread();
  close(FWakePipe[0]);
  close(FWakePipe[1]);
  ClosePty();
  for (const std::string& link : FLinks) unlink(link.c_str());
}

void TVirtualLine::OpenPty() {
  FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (FMaster < 0) throw SystemError("posix_openpt");
  char name[128];
  if (grantpt(FMaster) != 0 || unlockpt(FMaster) != 0 ||
      ptsname_r(FMaster, name, sizeof name) != 0) {
    const auto e = SystemError("pty setup");
    close(FMaster);
    FMaster = -1;
    throw e;
  }
  FSlavePath = name;
  FSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (FSlave < 0) {
    const auto e = SystemError("open " + FSlavePath);
    close(FMaster);
    FMaster = -1;
    throw e;
  }
  // Raw from the start: no echo, no line editing, whoever opens the slave.
  termios t;
  if (tcgetattr(FSlave, &t) == 0) {
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(FSlave, TCSANOW, &t);
  }
  fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
}

void TVirtualLine::ClosePty() {
  if (FSlave >= 0) close(FSlave);
  if (FMaster >= 0) close(FMaster);
  FSlave = FMaster = -1;
}

void TVirtualLine::StopThread() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FStop = true;
  }
  FChanged.notify_all();
  Wake();
  if (FThread.joinable()) FThread.join();
}

void TVirtualLine::Unplug() {
  if (!FThread.joinable()) return;
  StopThread();
  EndUpload(false);  // the transfer is cut: the device keeps its old image
  FPending = std::make_unique<TPending>();
  ClosePty();  // the program's descriptor now reads as hung up
  std::lock_guard<std::mutex> lock(FMutex);
  for (const std::string& link : FLinks) unlink(link.c_str());
}

void TVirtualLine::Replug() {
  if (FThread.joinable()) return;
  OpenPty();
  std::vector<std::string> links;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    links = FLinks;
    FStop = false;
  }
  for (const std::string& link : links) {
    unlink(link.c_str());
    if (symlink(FSlavePath.c_str(), link.c_str()) != 0) throw SystemError("symlink " + link);
  }
  FThread = std::thread(&TVirtualLine::Run, this);
}

bool TVirtualLine::Plugged() const {
  return FThread.joinable();
}

void TVirtualLine::WriteNoiseIfDue(TClock::time_point now, bool requestCame) {
  std::vector<std::uint8_t> noise;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (FNoise.empty() || now < FNextNoise || (FNoiseAhead && !requestCame)) return;
    noise = FNoise;
    FNextNoise = now + milliseconds(FNoiseEveryMs);
  }
  // One attempt: dropped when the program does not read.
  [[maybe_unused]] const ssize_t n = write(FMaster, noise.data(), noise.size());
}

void TVirtualLine::SetNoise(std::vector<std::uint8_t> bytes, int everyMs, bool aheadOfAnswers) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FNoise = std::move(bytes);
    FNoiseAhead = aheadOfAnswers;
    FNoiseEveryMs = std::max(1, everyMs);
    FNextNoise = TClock::now();
  }
  Wake();
}

void TVirtualLine::Wake() {
  const char c = 1;
  [[maybe_unused]] auto n = write(FWakePipe[1], &c, 1);
}

// ---- devices ---------------------------------------------------------------

int TVirtualLine::AddDevice(const TSimDevice& device) {
  std::lock_guard<std::mutex> lock(FMutex);
  FDevices.push_back(device);
  if (FDevices.back().Temperatures.size() > kSimMaxSensors) {
    FDevices.back().Temperatures.resize(kSimMaxSensors);
  }
  return static_cast<int>(FDevices.size()) - 1;
}

int TVirtualLine::DeviceCount() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return static_cast<int>(FDevices.size());
}

TSimDevice TVirtualLine::Device(int index) const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FDevices.at(static_cast<std::size_t>(index));
}

std::vector<TSimDevice> TVirtualLine::Devices() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FDevices;
}

void TVirtualLine::Modify(int index, const std::function<void(TSimDevice&)>& change) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    TSimDevice& d = FDevices.at(static_cast<std::size_t>(index));
    change(d);
    if (d.Temperatures.size() > kSimMaxSensors) d.Temperatures.resize(kSimMaxSensors);
  }
  FChanged.notify_all();
}

int TVirtualLine::FindPlant(std::uint16_t plantNumber) const {
  std::lock_guard<std::mutex> lock(FMutex);
  for (std::size_t i = 0; i < FDevices.size(); ++i) {
    if (FDevices[i].PlantNumber == plantNumber) return static_cast<int>(i);
  }
  return -1;
}

int TVirtualLine::FindAddress(std::uint8_t address) const {
  std::lock_guard<std::mutex> lock(FMutex);
  for (std::size_t i = 0; i < FDevices.size(); ++i) {
    if (FDevices[i].Address == address) return static_cast<int>(i);
  }
  return -1;
}

bool TVirtualLine::WaitDevice(int index, const std::function<bool(const TSimDevice&)>& pred,
                              milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(FMutex);
  // Looked up afresh each time: AddDevice may move the devices meanwhile.
  return FChanged.wait_for(lock, timeout,
                           [&] { return pred(FDevices.at(static_cast<std::size_t>(index))); });
}

void TVirtualLine::BeginUpload(int index) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    TSimDevice& d = FDevices.at(static_cast<std::size_t>(index));
    if (FUpload) throw std::logic_error("another device is already in upload mode");
    d.Protocol = dpModbus;
    d.Uploading = true;
    FUpload = std::make_unique<TUpload>(index, FXModemTiming, TClock::now());
  }
  FChanged.notify_all();
  Wake();
}

int TVirtualLine::UploadingDevice() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FUpload ? FUpload->Device : -1;
}

void TVirtualLine::SetXModemTiming(const TSimXModemTiming& timing) {
  std::lock_guard<std::mutex> lock(FMutex);
  FXModemTiming = timing;
}

void TVirtualLine::SetPacing(int baud) {
  std::lock_guard<std::mutex> lock(FMutex);
  FBaud = baud > 0 ? baud : 0;
}

void TVirtualLine::SetFrameSilence(int ms) {
  std::lock_guard<std::mutex> lock(FMutex);
  FSilenceMs = ms < 3 ? 3 : ms;
}

void TVirtualLine::SetStrictParity(bool on) {
  std::lock_guard<std::mutex> lock(FMutex);
  FStrictParity = on;
}

void TVirtualLine::SetAnswerDelay(int minMs, int maxMs, unsigned seed) {
  std::lock_guard<std::mutex> lock(FMutex);
  FAnswerDelayMin = std::max(0, minMs);
  FAnswerDelayMax = std::max(FAnswerDelayMin, maxMs);
  FAnswerDelayRandom.seed(seed);
}

void TVirtualLine::SetCollisions(bool on) {
  std::lock_guard<std::mutex> lock(FMutex);
  FCollisions = on;
}

// ---- frame log -------------------------------------------------------------

std::vector<TSimFrame> TVirtualLine::Frames() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return {FLog.begin(), FLog.end()};
}

std::size_t TVirtualLine::FrameCount() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FFrameCount;
}

void TVirtualLine::ClearFrames() {
  std::lock_guard<std::mutex> lock(FMutex);
  FLog.clear();
  FFrameCount = 0;
}

void TVirtualLine::SetLogLimit(std::size_t limit) {
  std::lock_guard<std::mutex> lock(FMutex);
  FLogLimit = limit < 1 ? 1 : limit;
  while (FLog.size() > FLogLimit) FLog.pop_front();
}

bool TVirtualLine::WaitFrames(std::size_t count, milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(FMutex);
  return FChanged.wait_for(lock, timeout, [&] { return FFrameCount >= count; });
}

void TVirtualLine::SetFrameListener(std::function<void(const TSimFrame&)> listener) {
  std::lock_guard<std::mutex> lock(FMutex);
  FListener = std::move(listener);
}

void TVirtualLine::Log(TSimFrame frame) {
  std::function<void(const TSimFrame&)> listener;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    listener = FListener;
    FLog.push_back(frame);
    while (FLog.size() > FLogLimit) FLog.pop_front();
    ++FFrameCount;
  }
  FChanged.notify_all();
  if (listener) listener(frame);
}

// ---- links -----------------------------------------------------------------

void TVirtualLine::AddLink(const std::string& path) {
  if (symlink(FSlavePath.c_str(), path.c_str()) != 0) {
    struct stat st;
    if (errno != EEXIST || lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) ||
        unlink(path.c_str()) != 0 || symlink(FSlavePath.c_str(), path.c_str()) != 0) {
      throw SystemError("symlink " + path);
    }
  }
  std::lock_guard<std::mutex> lock(FMutex);
  FLinks.push_back(path);
}

std::string TVirtualLine::Announce() {
  const std::string dir = VirtualLineDirectory();
  EnsurePrivateDirectory(dir);
  RemoveStaleLinks(dir);
  const int n = ++gAnnounced;
  std::string name = "lim07-sim-" + std::to_string(getpid());
  if (n > 1) name += "-" + std::to_string(n);
  const std::string path = dir + "/" + name;
  AddLink(path);
  return path;
}

// ---- the device thread -----------------------------------------------------

int TVirtualLine::SampleBaud() const {
  termios t;
  if (tcgetattr(FMaster, &t) != 0) return 0;
  static const struct {
    speed_t Code;
    int Baud;
  } kRates[] = {{B300, 300},     {B600, 600},       {B1200, 1200},    {B2400, 2400},
                {B4800, 4800},   {B9600, 9600},     {B19200, 19200},  {B38400, 38400},
                {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
  const speed_t code = cfgetospeed(&t);
  for (const auto& r : kRates)
    if (r.Code == code) return r.Baud;
  return 0;
}

TSimParity TVirtualLine::SampleParity() const {
  termios t;
  if (tcgetattr(FMaster, &t) != 0) return TSimParity::NoneOrEven;
  const bool odd = (t.c_cflag & PARODD) != 0;
  if (t.c_cflag & CMSPAR) return odd ? TSimParity::Mark : TSimParity::Space;
  return odd ? TSimParity::Odd : TSimParity::NoneOrEven;
}

void TVirtualLine::Run() {
  // Devices on a real line never lag behind the master. On a busy machine a
  // late read lets the program's purge before its next request discard bytes
  // the line has not read yet, so the device thread asks for a better nice
  // value; it sleeps in poll nearly all the time. Refused without privilege.
  [[maybe_unused]] const int ignored = setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -10);
  std::uint8_t buffer[4096];
  for (;;) {
    TClock::time_point deadline;
    int silenceMs;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      if (FStop) return;
      deadline = FNextDrift;
      if (FUpload) deadline = std::min(deadline, FUpload->Receiver.NextDeadline());
      if (!FNoise.empty() && !FNoiseAhead) deadline = std::min(deadline, FNextNoise);
      silenceMs = FSilenceMs;
    }
    if (!FPending->Empty()) deadline = std::min(deadline, FPending->Due(silenceMs));
    const auto now = TClock::now();
    int timeout = 0;
    if (deadline > now) {
      const auto us = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
      timeout = static_cast<int>(std::min<long long>(us.count() / 1000 + 1, 1000));
    }
    pollfd fds[2] = {{FMaster, POLLIN, 0}, {FWakePipe[0], POLLIN, 0}};
    const int ready = poll(fds, 2, timeout);
    // Before the request that woke us is answered, so that the noise can
    // come ahead of an answer, as on a real shared line.
    WriteNoiseIfDue(TClock::now(), ready > 0 && (fds[0].revents & POLLIN));
    if (ready < 0 && errno != EINTR) return;
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      char drain[64];
      while (read(FWakePipe[0], drain, sizeof drain) > 0) {
      }
    }
    if (ready > 0 && (fds[0].revents & POLLIN)) {
      const TSimParity parity = SampleParity();
      const int baud = SampleBaud();
      const ssize_t n = read(FMaster, buffer, sizeof buffer);
      const auto at = TClock::now();
      if (n > 0) {
        bool upload;
        {
          std::lock_guard<std::mutex> lock(FMutex);
          upload = FUpload != nullptr;
        }
        if (upload) {
          OnUploadBytes(buffer, static_cast<std::size_t>(n), parity, at);
        } else {
          OnBytes(buffer, static_cast<std::size_t>(n), parity, baud, at);
        }
      }
    } else if (ready > 0 && (fds[0].revents & (POLLHUP | POLLERR))) {
      // Cannot last while our own slave fd is open; do not spin meanwhile.
      std::this_thread::sleep_for(milliseconds(5));
    }
    OnTimers(TClock::now());
  }
}

void TVirtualLine::OnBytes(const std::uint8_t* data, std::size_t count, TSimParity parity, int baud,
                           TClock::time_point now) {
  TPending& p = *FPending;
  p.Last = now;
  const std::size_t room = kMaxFrame - std::min(kMaxFrame, p.Bytes.size());
  const std::size_t take = p.Dropped ? 0 : std::min(room, count);
  if (take > 0) p.Reads.push_back({p.Bytes.size(), now, parity, baud});
  p.Bytes.insert(p.Bytes.end(), data, data + take);
  p.Dropped += count - take;
  if (!p.Dropped && CompleteFrom() >= 0) FinishFrame(now);
}

// The offset from which the pending bytes form a whole frame of either
// protocol, or -1. Stray bytes before a frame do not spoil it (a device in
// nine-bit mode resynchronises at the address byte); the longest frame wins.
int TVirtualLine::CompleteFrom() const {
  const TBytes& b = FPending->Bytes;
  constexpr std::size_t kLongestFrame = 260;  // native 255 + 4, Modbus 255
  const std::size_t first = b.size() > kLongestFrame ? b.size() - kLongestFrame : 0;
  for (std::size_t at = first; at + 4 <= b.size(); ++at) {
    const std::size_t n = b.size() - at;
    if (NativeFrameComplete(b.data() + at, n) || ModbusFrameComplete(b.data() + at, n)) {
      return static_cast<int>(at);
    }
  }
  return -1;
}

void TVirtualLine::FinishFrame(TClock::time_point now) {
  const int from = FPending->Dropped ? -1 : CompleteFrom();
  TPending p = std::move(*FPending);
  *FPending = TPending{};
  TSimFrame frame;
  if (p.Dropped) {
    frame.Time = p.Reads.empty() ? now : p.Reads[0].Time;
    frame.Bytes = std::move(p.Bytes);
    frame.Note = "flood: " + std::to_string(frame.Bytes.size() + p.Dropped) +
                 " bytes without a pause, ignored";
    Log(std::move(frame));
    return;
  }
  std::size_t stray = from < 0 ? 0 : static_cast<std::size_t>(from);
  if (from < 0) {
    // No whole frame of a known kind: a CRC-correct tail that came in reads
    // of its own is still a frame (an unknown function gets its exception).
    for (std::size_t r = 1; r < p.Reads.size(); ++r) {
      const std::size_t at = p.Reads[r].Offset;
      if (p.Bytes.size() - at >= 4 && SimCrcOk(p.Bytes.data() + at, p.Bytes.size() - at)) {
        stray = at;
        break;
      }
    }
  }
  // The read that brought the frame's first byte.
  std::size_t k = 0;
  while (k + 1 < p.Reads.size() && p.Reads[k + 1].Offset <= stray) ++k;
  frame.Time = p.Reads[k].Time;
  frame.Bytes.assign(p.Bytes.begin() + static_cast<long>(stray), p.Bytes.end());
  frame.FirstParity = p.Reads[k].Parity;
  frame.RestParity = p.Reads.back().Parity;
  frame.Baud = p.Reads.back().Baud;
  if (k + 1 < p.Reads.size() && p.Reads[k + 1].Offset == stray + 1) {
    frame.GapAfterFirstMs =
        std::chrono::duration<double, std::milli>(p.Reads[k + 1].Time - p.Reads[k].Time).count();
  }
  ProcessFrame(std::move(frame), stray);
}

void TVirtualLine::ProcessFrame(TSimFrame frame, std::size_t strayBytes) {
  TSimOutcome out;
  const TBytes& f = frame.Bytes;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    auto markOrSpace = [](TSimParity p) { return p == TSimParity::Mark || p == TSimParity::Space; };
    const bool nineBit = markOrSpace(frame.FirstParity) || markOrSpace(frame.RestParity);
    const bool native = NativeFrameComplete(f.data(), f.size());
    const bool disciplined = frame.FirstParity == TSimParity::Mark &&
                             frame.RestParity == TSimParity::Space && frame.GapAfterFirstMs > 0;
    if (native && (!FStrictParity || disciplined)) {
      // A Modbus request can look like a native frame by chance; when no
      // native device takes it and the parity allows, Modbus devices may.
      if (!HandleNative(FDevices, f, out, frame.Baud) && !nineBit) {
        TSimOutcome modbus;
        if (HandleModbus(FDevices, f, modbus, frame.Baud)) out = std::move(modbus);
      }
    } else if (native) {
      out.Note = "native frame without the mark/space discipline, ignored";
    } else if (nineBit && SimCrcOk(f.data(), f.size())) {
      out.Note = "frame with mark/space parity that is no native frame, ignored";
    } else {
      HandleModbus(FDevices, f, out, frame.Baud);
    }
    if (out.Note.empty()) {
      out.Note = f.size() < 4                   ? "ignored: too short"
                 : SimCrcOk(f.data(), f.size()) ? "ignored: not a request"
                                                : "ignored: bad CRC";
    }
  }
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (FCollisions && out.Replies.size() > 1) {
      // One garbled answer in place of the overlapping ones.
      TSimOutcome::TReply merged = out.Replies[0];
      for (std::size_t k = 1; k < out.Replies.size(); ++k) {
        const TSimOutcome::TReply& r = out.Replies[k];
        if (r.Bytes.size() > merged.Bytes.size()) merged.Bytes.resize(r.Bytes.size(), 0xFF);
        for (std::size_t b = 0; b < r.Bytes.size(); ++b) merged.Bytes[b] &= r.Bytes[b];
        merged.DelayMs = std::min(merged.DelayMs, r.DelayMs);
      }
      out.Replies = {merged};
      out.Note += " (answers collided)";
    }
    for (TSimOutcome::TReply& r : out.Replies) {
      if (FAnswerDelayMax > 0) {
        std::uniform_int_distribution<int> turnAround(FAnswerDelayMin, FAnswerDelayMax);
        r.DelayMs += turnAround(FAnswerDelayRandom);
      }
    }
  }
  for (const TSimOutcome::TReply& r : out.Replies) {
    if (frame.DeviceIndex < 0) frame.DeviceIndex = r.Device;
    frame.Answer.insert(frame.Answer.end(), r.Bytes.begin(), r.Bytes.end());
  }
  frame.Note = out.Note;
  if (strayBytes > 0) {
    frame.Note += " (" + std::to_string(strayBytes) + " stray bytes before it dropped)";
  }
  bool uploadBegun = false;
  if (out.EnterUpload >= 0) {
    std::lock_guard<std::mutex> lock(FMutex);
    if (!FUpload) {
      FDevices[static_cast<std::size_t>(out.EnterUpload)].Uploading = true;
      FUpload = std::make_unique<TUpload>(out.EnterUpload, FXModemTiming, TClock::now());
      uploadBegun = true;
    }
  }
  // Logged before the answer goes out: once the program has an answer, its
  // frame is in the log (and a ClearFrames after it cannot miss it).
  const TSimFrame request = frame;
  Log(std::move(frame));
  for (const TSimOutcome::TReply& r : out.Replies) {
    WriteAnswer(r.Bytes, request.Bytes.size(), request.Time, r.DelayMs);
  }
  if (uploadBegun) {
    std::lock_guard<std::mutex> lock(FMutex);
    if (FUpload) FUpload->Receiver.StartClock(TClock::now());  // first "C" after the answer
  }
}

void TVirtualLine::OnUploadBytes(const std::uint8_t* data, std::size_t count, TSimParity parity,
                                 TClock::time_point now) {
  std::vector<TXModemReceiver::TEvent> events;
  int device;
  TXModemReceiver::TState state;
  int baud;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    events = FUpload->Receiver.Feed(data, count, now);
    device = FUpload->Device;
    state = FUpload->Receiver.State();
    baud = FBaud;
  }
  for (TXModemReceiver::TEvent& e : events) {
    TSimFrame frame;
    frame.Time = now;
    frame.Bytes = e.Packet;
    frame.FirstParity = frame.RestParity = parity;
    frame.DeviceIndex = e.Reply.empty() ? -1 : device;
    frame.Answer = e.Reply;
    frame.Note = std::move(e.Note);
    Log(std::move(frame));
    if (!e.Reply.empty()) {
      if (baud > 0) {
        SleepUntil(now + std::chrono::microseconds(e.Packet.size() * 11'000'000LL / baud));
      }
      WriteRaw(e.Reply.data(), e.Reply.size());
    }
  }
  if (state == TXModemReceiver::TState::Done) EndUpload(true);
  if (state == TXModemReceiver::TState::Aborted) EndUpload(false);
}

void TVirtualLine::EndUpload(bool stored) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (!FUpload) return;
    TSimDevice& d = FDevices[static_cast<std::size_t>(FUpload->Device)];
    d.Uploading = false;
    d.Protocol = dpModbus;
    if (stored) {
      d.Firmware = FUpload->Receiver.Image();
      ++d.FirmwareUploads;
    }
    FUpload.reset();
  }
  FChanged.notify_all();
}

void TVirtualLine::OnTimers(TClock::time_point now) {
  std::vector<TXModemReceiver::TEvent> events;
  int device = -1;
  bool aborted = false;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (FUpload) {
      events = FUpload->Receiver.Tick(now);
      device = FUpload->Device;
      aborted = FUpload->Receiver.State() == TXModemReceiver::TState::Aborted;
    }
    if (now >= FNextDrift) {
      const double seconds = std::chrono::duration<double>(now - FStart).count();
      for (TSimDevice& d : FDevices) {
        if (d.Drift && !d.Uploading) DriftDevice(d, seconds);
      }
      FNextDrift = now + kDriftPeriod;
    }
  }
  for (TXModemReceiver::TEvent& e : events) {
    if (!(e.Packet.empty() && e.Note == "xmodem C")) {  // a "C" is no frame
      TSimFrame frame;
      frame.Time = now;
      frame.Bytes = e.Packet;
      frame.DeviceIndex = e.Reply.empty() ? -1 : device;
      frame.Answer = e.Reply;
      frame.Note = std::move(e.Note);
      Log(std::move(frame));
    }
    if (!e.Reply.empty()) WriteRaw(e.Reply.data(), e.Reply.size());
  }
  if (aborted) EndUpload(false);

  if (FPending->Empty()) return;
  int silenceMs;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    silenceMs = FSilenceMs;
  }
  if (now >= FPending->Due(silenceMs)) FinishFrame(now);
}

// ---- writing ---------------------------------------------------------------

bool TVirtualLine::SleepUntil(TClock::time_point when) {
  std::unique_lock<std::mutex> lock(FMutex);
  return !FChanged.wait_until(lock, when, [this] { return FStop; });
}

void TVirtualLine::WriteRaw(const std::uint8_t* data, std::size_t count) {
  const auto giveUp = TClock::now() + milliseconds(1000);
  while (count > 0) {
    const ssize_t n = write(FMaster, data, count);
    if (n > 0) {
      data += n;
      count -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return;
    if (TClock::now() >= giveUp) return;  // nobody reads: the answer is lost
    pollfd p{FMaster, POLLOUT, 0};
    poll(&p, 1, 10);
  }
}

void TVirtualLine::WriteAnswer(const TBytes& answer, std::size_t requestBytes,
                               TClock::time_point requestStart, int delayMs) {
  int baud;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    baud = FBaud;
  }
  const TClock::duration byteTime = std::chrono::microseconds(baud > 0 ? 11'000'000LL / baud : 0);
  auto start = TClock::now();
  if (baud > 0) {
    start = std::max(start, requestStart + byteTime * static_cast<TClock::rep>(requestBytes));
  }
  start += milliseconds(delayMs);
  if (start > TClock::now() && !SleepUntil(start)) return;
  if (baud <= 0) {
    WriteRaw(answer.data(), answer.size());
    return;
  }
  for (std::size_t i = 0; i < answer.size(); ++i) {
    if (i > 0 && !SleepUntil(start + byteTime * static_cast<TClock::rep>(i))) return;
    WriteRaw(&answer[i], 1);
  }
}
