// The virtual line: simulated ЛИМ-07 devices behind a pseudo-terminal.
//
// A TVirtualLine owns the master side of a pty and a thread that plays every
// device on the line. The program under test opens SlavePath() with the real
// serial-port code (TComPort) or as a plain file descriptor, exactly as it
// would open an RS-485 adapter.
//
// Typical use in a test:
//
//   TVirtualLine line;                        // pty open, device thread running
//   TSimDevice d;  d.Address = 5;  d.PlantNumber = 1234;
//   d.Temperatures = {0x0198, 0xFFCC, 0xAAAA};
//   int i = line.AddDevice(d);
//   ... open line.SlavePath(), run requests ...
//   line.WaitFrames(1, std::chrono::seconds(2));
//   TSimFrame f = line.Frames().back();       // bytes, parity, gap, answer
//   line.Modify(i, [](TSimDevice& d) { d.Faults.Silent = true; });
//
// Everything here is thread-safe: devices can be added, read and changed from
// any thread while the line serves requests. The device thread never calls
// back into the caller except through the frame listener.
//
// How frames are found on a pty. A pty carries no parity bit and no timing, so
// the line cuts the byte stream into frames by silence. A frame is complete as
// soon as its bytes form a whole, CRC-correct frame of either protocol (the
// native length byte, or the Modbus function's own length), also when stray
// bytes that came in earlier reads precede it; otherwise it ends after
// FrameSilence() of quiet (10 ms by default) and is dropped. The native
// discipline puts a pause of at least 2 ms after the address byte, so the
// silence must stay well above that: at 10 ms the pause is never mistaken for
// the end of a frame, while garbage is still dropped quickly. A lone first
// byte (a native address byte) waits up to 500 ms for the rest of its frame,
// so even a master that is descheduled during the pause is served (on a
// loaded test machine a 3 ms sleep was seen to last 130 ms).
//
// Parity. On Linux both sides of a pty share one termios, so the line reads
// the sender's parity with tcgetattr on the master right after each read:
// mark (PARODD|CMSPAR) and space (CMSPAR) are visible; even and none look
// alike (the kernel clears PARENB on a pty). The sample is taken when the
// line thread gets the bytes, so on a heavily loaded machine it can be late.
// A device in Modbus ignores frames that show mark or space parity (a real
// Modbus device sees parity errors in a native frame); a device in the native
// protocol recognises Modbus frames by their inconsistent length byte. With
// SetStrictParity(true) a native device also requires the address byte in
// mark and the rest in space parity, and a Modbus device requires neither.
//
// Device side of the protocols, where the wire format leaves room:
// - Native error answer: address, 0xFA, 0x02, code, CRC. Codes: 0x01 unknown
//   command, 0x02 wrong length, parameter number or memory range, 0x03 value
//   out of range.
// - Native level answer: address, 0x01, 0x06, code (2), level in dm (2),
//   flags = low byte of StatusFlags, CRC.
// - Native address write answer (from the new address): address, 0x25, 0x06,
//   type, plant (2), hardware version, software version, CRC. It is accepted
//   at 0xFF or at the device's own address; a frame for another plant number
//   or device type is ignored; new address 0 or 0xFF gives error 0x03.
// - Native parameters: 1 sensor count (read; write 0..32), 2 averaging
//   coefficient (read; write 1..255), 3 protocol (read gives 0x55 = native;
//   write 0xAA switches to Modbus, after the answer).
// - Native memory: 8 bytes at address 0 (C1, НУ, C2, H2, big-endian). A write
//   of C1 = 0xAAAA with C2 = 0x5555 is the empty-bunker calibration: the
//   device stores its current level code as C1 and the written НУ, keeps C2
//   and H2, and counts it in EmptyBunkerCalibrations.
// - Modbus input registers 0..46: 0 status (StatusFlags), 1 level code, 5-6
//   level float in metres, 14 sensor count, 15.. temperatures; registers of
//   absent sensors read 0xDDDD, all others 0. Holding registers 0..5 (read as
//   0), 1000-1001 unmeasurable level float in metres, 1002 protocol (reads
//   0x00AA), 1003 command (reads 0). A write must cover whole blocks (0-2,
//   3-5, 1000-1001, 1002, 1003). Exceptions: 01 unknown function or MEI type,
//   02 register range, 03 count, length or value. A unicast address or upload
//   command for another plant number gives exception 03; in a broadcast it is
//   ignored.
// - Modbus identification (function 43, MEI 14, code 1), 63 bytes:
//     0 address, 1 0x2B, 2 0x0E, 3 0x01 code, 4 0x01 conformity (basic),
//     5 0x00 more follows, 6 0x00 next object, 7 0x03 objects,
//     8 0x00 VendorName, 9 6, 10-15 "LIM-07",
//     16 0x01 ProductCode, 17 8, 18-25 "SN " + plant as 5 digits (21-25),
//     26 0x02 MajorMinorRevision, 27 33,
//     28-60 "Hardware ver HHH Software ver SSS" (41-43 and 58-60),
//     61-62 CRC.
// - Upload mode (Modbus holding 3-5 = 6, plant, 0xA5A5; answered like any
//   write of multiple registers, then entered): an XModem-CRC receiver. It
//   sends "C" FirstC after the answer and then every CInterval until the
//   first packet, up to MaxC times (then it gives up); takes 133-byte SOH
//   blocks (and 1029-byte STX blocks), ACKs a good block or a repeat of the
//   last one, NAKs a bad CRC, a bad complement, an unexpected block number or
//   a packet left incomplete for PacketTimeout; ACKs the EOT, stores the image
//   (padding included) in Firmware and returns to Modbus. Two CANs, or
//   AbortSilence without a byte, abort: the device returns to Modbus and keeps
//   its old image. While one device uploads, all bytes on the line go to it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DeviceProtocol.h"

// Raw temperature words (1/16 degC, signed, as sent high byte first).
constexpr std::uint16_t kSimNoData = 0xDDDD;
constexpr std::uint16_t kSimFaultA = 0xAAAA;
constexpr std::uint16_t kSimFaultB = 0x55AA;
constexpr int kSimMaxSensors = 32;

// Faults injected into one device's answers. They apply to every request the
// device would answer until cleared, or to the next Remaining ones.
struct TSimFaults {
  bool Silent = false;                // ignores everything (and changes nothing)
  bool BadCrc = false;                // last CRC byte of each answer inverted
  int ErrorCode = -1;                 // 0..255: refuses every request with this code
                                      // (native 0xFA answer / Modbus exception)
  int DeviceType = -1;                // 0..255: identification reports this type
  int SensorCount = -1;               // 0..32: data answers carry this many sensors
  int ShortBy = 0;                    // answers cut by this many bytes at the end
  int DelayMs = 0;                    // answers written this much later
  std::vector<std::uint8_t> Garbage;  // non-empty: sent instead of answers
  int Remaining = -1;                 // answers still faulty; -1 = until cleared;
                                      // when it reaches 0 all faults are cleared
  bool Any() const;
};

// One simulated device. A plain value: copy it out with TVirtualLine::Device,
// change it through TVirtualLine::Modify.
struct TSimDevice {
  std::string Name;          // for logs and the demo only
  std::uint8_t Address = 1;  // system address
  std::uint16_t PlantNumber = 1;
  std::uint8_t HardwareVersion = 1;
  std::uint8_t SoftwareVersion = 1;
  TDeviceProtocol Protocol = dpLargis1;
  // The line speed the device runs at: it hears only frames sent at this rate
  // (bits per second); 0 hears every rate.
  int Baud = 0;
  std::vector<std::uint16_t> Temperatures;  // one raw word per sensor (0..32)
  std::uint16_t LevelCode = 0;
  double LevelMetres = 0;         // native answers carry it in dm, Modbus as a float
  std::uint16_t StatusFlags = 0;  // bits 0,2,3 temperature, bits 1,4,5 level
  std::uint16_t CalibrationCode1 = 0;
  std::uint16_t UnmeasurableLevel = 0;  // dm
  std::uint16_t CalibrationCode2 = 0;
  std::uint16_t CalibrationLevel2 = 0;  // dm
  std::uint8_t AveragingCoefficient = 1;
  std::vector<std::uint8_t> Firmware;  // last image received, padding included
  bool Drift = false;                  // temperatures and level wander slowly (demo)
  TSimFaults Faults;

  // Observation (set by the device, not by callers).
  bool Uploading = false;   // in firmware-upload mode
  int FirmwareUploads = 0;  // images received completely
  int EmptyBunkerCalibrations = 0;
  int Requests = 0;  // requests addressed to it that it handled

  int SensorCount() const { return static_cast<int>(Temperatures.size()); }
  // Level in decimetres as the native protocol sends it (NaN gives 0).
  std::uint16_t LevelDm() const;
};

// Parity seen on the pty: even and none cannot be told apart there.
enum class TSimParity { NoneOrEven, Odd, Mark, Space };
const char* SimParityName(TSimParity parity);  // "none/even", "odd", "mark", "space"

// One frame as the line received it.
struct TSimFrame {
  std::chrono::steady_clock::time_point Time;       // arrival of the first byte
  std::vector<std::uint8_t> Bytes;                  // the request (empty: none)
  TSimParity FirstParity = TSimParity::NoneOrEven;  // when the first byte came
  TSimParity RestParity = TSimParity::NoneOrEven;   // when the last bytes came
  int Baud = 0;                                     // line speed when the last bytes came
                                                    // (0: not a standard rate)
  double GapAfterFirstMs = 0;                       // pause between the first byte and the next
                                                    // (0 when they came in one read)
  int DeviceIndex = -1;                             // the device that answered (-1: none)
  std::vector<std::uint8_t> Answer;                 // bytes written back, faults included
  std::string Note;                                 // what the line made of it, e.g. "native 0x20
                                                    // identification", "ignored: bad CRC"
};

// Timing of the XModem receiver in upload mode.
struct TSimXModemTiming {
  int FirstCMs = 100;          // first "C" this long after entering the mode
  int CIntervalMs = 1000;      // then one every interval
  int MaxC = 60;               // "C"s before giving up
  int PacketTimeoutMs = 1000;  // an incomplete packet is NAKed after this
  int AbortSilenceMs = 10000;  // no byte at all for this long: abort
};

// Formats bytes as "05 20 01 B9 C1".
std::string SimHex(const std::vector<std::uint8_t>& bytes);

class TVirtualLine {
 public:
  // Opens the pty and starts the device thread. Throws std::runtime_error
  // when no pty can be had.
  TVirtualLine();
  // Stops the thread, closes the pty (the program sees a hang-up) and removes
  // the links made by AddLink and Announce.
  ~TVirtualLine();
  TVirtualLine(const TVirtualLine&) = delete;
  TVirtualLine& operator=(const TVirtualLine&) = delete;

  // The path the program opens, e.g. /dev/pts/7.
  const std::string& SlavePath() const { return FSlavePath; }

  // Devices, by index in the order added (indexes never change).
  int AddDevice(const TSimDevice& device);
  int DeviceCount() const;
  TSimDevice Device(int index) const;  // a copy; throws on a bad index
  std::vector<TSimDevice> Devices() const;
  // Runs change on the device under the line's lock (do not call the line
  // from inside it). Throws std::out_of_range on a bad index.
  void Modify(int index, const std::function<void(TSimDevice&)>& change);
  int FindPlant(std::uint16_t plantNumber) const;  // -1 when absent
  int FindAddress(std::uint8_t address) const;     // first match, or -1
  // Waits until pred holds for the device (checked under the lock after
  // every event on the line). True when it held before the time-out.
  bool WaitDevice(int index, const std::function<bool(const TSimDevice&)>& pred,
                  std::chrono::milliseconds timeout) const;

  // Puts a device straight into upload mode (as the Modbus command does).
  void BeginUpload(int index);
  int UploadingDevice() const;  // -1 when no upload runs
  void SetXModemTiming(const TSimXModemTiming& timing);

  // Line behaviour.
  void SetPacing(int baud);      // 0 (default): answers at once; otherwise the
                                 // request's and the answer's time on the wire at
                                 // 11 bits a byte are waited out
  void SetFrameSilence(int ms);  // default 10 ms; at least 3
  void SetStrictParity(bool on);
  // The devices' turn-around: every answer leaves after a delay drawn evenly
  // from minMs..maxMs, on top of a DelayMs fault and the pacing. A seed gives
  // the same delays again. Default 0..0 (answers at once).
  void SetAnswerDelay(int minMs, int maxMs, unsigned seed = 1);
  // Answers of several devices to one request (two devices at one address)
  // overlap on the wire and arrive garbled: byte for byte the AND of the
  // answers (the line is driven to 0 by either), as long as the longest, with
  // the shortest delay. Off by default: they arrive one after the other.
  void SetCollisions(bool on);

  // Frame log. Frames() keeps the last LogLimit frames (default 10000);
  // FrameCount() counts all frames since the start or the last ClearFrames.
  std::vector<TSimFrame> Frames() const;
  std::size_t FrameCount() const;
  void ClearFrames();
  void SetLogLimit(std::size_t limit);
  // Waits until FrameCount() >= count. A frame is logged once the devices
  // have acted on it, just before its answer is written: when the program has
  // received an answer, the frame is already in the log.
  bool WaitFrames(std::size_t count, std::chrono::milliseconds timeout) const;
  // Called on the device thread for every frame as it is logged (outside the
  // line's lock).
  void SetFrameListener(std::function<void(const TSimFrame&)> listener);

  // A symlink to the slave, removed with the line. Throws std::runtime_error.
  void AddLink(const std::string& path);

  // The adapter pulled out: the device thread stops, an upload in progress is
  // cut (that device returns to Modbus with its old image), the pty is closed
  // (the program's open descriptor reads as hung up, as a vanished USB
  // adapter does) and the links are removed. Devices and the frame log stay.
  void Unplug();
  // Plugged in again: a new pty (SlavePath() changes) and the links made by
  // AddLink and Announce point to it again, so a program that opens the link
  // finds the line where it was. Unplug, Replug and SlavePath belong to one
  // thread (the test's).
  void Replug();
  bool Plugged() const;

  // A babbling device: `bytes` go to the program every `everyMs` ms, whatever
  // the program sends (dropped when it does not read); empty bytes stop it.
  // With aheadOfAnswers they go only when bytes from the program have come
  // in (at most every `everyMs` ms), written ahead of whatever the line
  // answers to them: a reply the program reads is then noise.
  void SetNoise(std::vector<std::uint8_t> bytes, int everyMs, bool aheadOfAnswers = false);
  // Announces the line in the per-user line folder (created 0700) as
  // lim07-sim-<pid>[-n], where the port list finds it; stale links of dead
  // simulators there are removed. Returns the link's path.
  std::string Announce();

 private:
  struct TPending;
  class TUpload;
  void OpenPty();
  void ClosePty();
  void StopThread();
  void WriteNoiseIfDue(std::chrono::steady_clock::time_point now, bool requestCame);
  void Run();
  void OnBytes(const std::uint8_t* data, std::size_t count, TSimParity parity, int baud,
               std::chrono::steady_clock::time_point now);
  void FinishFrame(std::chrono::steady_clock::time_point now);
  int CompleteFrom() const;
  void ProcessFrame(TSimFrame frame, std::size_t strayBytes);
  void OnUploadBytes(const std::uint8_t* data, std::size_t count, TSimParity parity,
                     std::chrono::steady_clock::time_point now);
  void OnTimers(std::chrono::steady_clock::time_point now);
  void EndUpload(bool stored);
  void WriteAnswer(const std::vector<std::uint8_t>& answer, std::size_t requestBytes,
                   std::chrono::steady_clock::time_point requestEnd, int delayMs);
  void WriteRaw(const std::uint8_t* data, std::size_t count);
  bool SleepUntil(std::chrono::steady_clock::time_point when);  // false: stopping
  void Log(TSimFrame frame);
  TSimParity SampleParity() const;
  int SampleBaud() const;
  void Wake();

  int FMaster = -1;
  int FSlave = -1;  // our own slave fd: the master never sees EIO
  int FWakePipe[2] = {-1, -1};
  std::string FSlavePath;
  std::vector<std::string> FLinks;

  mutable std::mutex FMutex;
  mutable std::condition_variable FChanged;
  std::vector<TSimDevice> FDevices;
  std::deque<TSimFrame> FLog;
  std::size_t FLogLimit = 10000;
  std::size_t FFrameCount = 0;
  std::function<void(const TSimFrame&)> FListener;
  int FBaud = 0;
  int FSilenceMs = 10;
  bool FStrictParity = false;
  int FAnswerDelayMin = 0, FAnswerDelayMax = 0;
  std::minstd_rand FAnswerDelayRandom;
  bool FCollisions = false;
  bool FStop = false;
  TSimXModemTiming FXModemTiming;
  std::vector<std::uint8_t> FNoise;
  int FNoiseEveryMs = 10;
  bool FNoiseAhead = false;
  std::chrono::steady_clock::time_point FNextNoise;
  std::unique_ptr<TUpload> FUpload;  // set while a device is in upload mode
  std::chrono::steady_clock::time_point FStart, FNextDrift;

  // Device thread only.
  std::unique_ptr<TPending> FPending;

  std::thread FThread;
};

// The demo line: five named devices (addresses 1-5, plant numbers 1201-1205)
// with plausible grain temperatures that drift, a level each, one sensor
// fault mark, one sensor without data and one flag set. All speak the given
// protocol (the program's start-up question picks one protocol for the whole
// line; the native one is the default).
std::vector<TSimDevice> DemoDevices(TDeviceProtocol protocol = dpLargis1);
std::unique_ptr<TVirtualLine> MakeDemoLine(TDeviceProtocol protocol = dpLargis1);

// One step of the slow wandering of temperatures and level of a device with
// Drift set (the line calls it once a second): seconds since the start.
void DriftDevice(TSimDevice& device, double seconds);
