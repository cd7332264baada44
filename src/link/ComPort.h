// The serial port component: the only path between the program and the
// devices. Plain C++ on POSIX termios; no Qt.
//
// Settings take effect at once while the port is open (unless a hold is
// active); sends and receives block the calling thread, bounded by the port's
// own time-outs. Every operating-system failure is raised as EComPort.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

enum TBaudRate {
  brCustom,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent {
  evRxChar,
  evTxEmpty,
  evRxFlag,
  evRing,
  evBreak,
  evCTS,
  evDSR,
  evError,
  evRLSD,
  evRx80Full
};
// A set of TComEvent: bit (1 << event).
using TComEvents = std::uint16_t;
constexpr TComEvents kAllComEvents = 0x03FF;
enum TSyncMethod { smThreadSync, smWindowSync, smNone };

// Error of the serial port. what() is the text of ErrorKind followed by
// " (win error code: %d)" with the system's error number (errno here), or the
// bare text when there is no system error (OsErrorCode -1).
class EComPort : public std::runtime_error {
 public:
  EComPort(int errorKind, int osErrorCode = -1);
  int ErrorKind() const { return FErrorKind; }
  int OsErrorCode() const { return FOsErrorCode; }
  static std::string KindText(int errorKind);

 private:
  int FErrorKind;
  int FOsErrorCode;
};

class TCustomComPort;

class TComParity {
 public:
  explicit TComParity(TCustomComPort* port) : FComPort(port) {}
  TParityBits Bits() const { return FBits; }
  void SetBits(TParityBits value);
  bool Check() const { return FCheck; }
  void SetCheck(bool value);
  bool Replace() const { return FReplace; }
  void SetReplace(bool value);
  std::uint8_t ReplaceChar() const { return FReplaceChar; }
  void SetReplaceChar(std::uint8_t value);

 private:
  TCustomComPort* FComPort;
  TParityBits FBits = prNone;
  bool FCheck = false;
  bool FReplace = false;
  std::uint8_t FReplaceChar = 0;
};

class TComFlowControl {
 public:
  explicit TComFlowControl(TCustomComPort* port) : FComPort(port) {}
  bool OutCTSFlow() const { return FOutCTSFlow; }
  void SetOutCTSFlow(bool value);
  bool OutDSRFlow() const { return FOutDSRFlow; }
  void SetOutDSRFlow(bool value);
  TDTRFlowControl ControlDTR() const { return FControlDTR; }
  void SetControlDTR(TDTRFlowControl value);
  TRTSFlowControl ControlRTS() const { return FControlRTS; }
  void SetControlRTS(TRTSFlowControl value);
  bool XonXoffOut() const { return FXonXoffOut; }
  void SetXonXoffOut(bool value);
  bool XonXoffIn() const { return FXonXoffIn; }
  void SetXonXoffIn(bool value);
  bool DSRSensitivity() const { return FDSRSensitivity; }
  void SetDSRSensitivity(bool value);
  bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
  void SetTxContinueOnXoff(bool value);
  std::uint8_t XonChar() const { return FXonChar; }
  void SetXonChar(std::uint8_t value);
  std::uint8_t XoffChar() const { return FXoffChar; }
  void SetXoffChar(std::uint8_t value);
  // Derived from the fields above, never stored; writing it re-applies the
  // line settings (fcCustom changes nothing).
  TFlowControl FlowControl() const;
  void SetFlowControl(TFlowControl value);

 private:
  TCustomComPort* FComPort;
  bool FOutCTSFlow = false;
  bool FOutDSRFlow = false;
  TDTRFlowControl FControlDTR = dtrDisable;
  TRTSFlowControl FControlRTS = rtsDisable;
  bool FXonXoffOut = false;
  bool FXonXoffIn = false;
  bool FDSRSensitivity = false;
  bool FTxContinueOnXoff = false;
  std::uint8_t FXonChar = 17;
  std::uint8_t FXoffChar = 19;
};

// All values in milliseconds; the read limits are kept by the port itself on a
// monotonic clock (nothing is handed to the driver but the count).
//  - total limit: ReadTotalMultiplier x count + ReadTotalConstant from the
//    call; none when both are 0 (negative values count as 0);
//  - gap limit: ReadInterval after the latest byte; none when 0;
//  - ReadInterval < 0 (the creation default -1) means "no gap limit"; with no
//    total limit either, a read returns at once with the bytes already waiting.
//  - write limit: WriteTotalMultiplier x count + WriteTotalConstant for the
//    bytes to reach the driver and leave its queue; none when both are 0.
class TComTimeouts {
 public:
  explicit TComTimeouts(TCustomComPort* port) : FComPort(port) {}
  int ReadInterval() const { return FReadInterval; }
  void SetReadInterval(int value);
  int ReadTotalMultiplier() const { return FReadTotalMultiplier; }
  void SetReadTotalMultiplier(int value);
  int ReadTotalConstant() const { return FReadTotalConstant; }
  void SetReadTotalConstant(int value);
  int WriteTotalMultiplier() const { return FWriteTotalMultiplier; }
  void SetWriteTotalMultiplier(int value);
  int WriteTotalConstant() const { return FWriteTotalConstant; }
  void SetWriteTotalConstant(int value);

 private:
  TCustomComPort* FComPort;
  int FReadInterval = -1;
  int FReadTotalMultiplier = 0;
  int FReadTotalConstant = 0;
  int FWriteTotalMultiplier = 100;
  int FWriteTotalConstant = 1000;
};

// Queue sizes in bytes; an odd value is stored reduced by one. The Linux tty
// layer has fixed queues: the sizes are kept and counted as applied, but are
// advisory only.
class TComBuffer {
 public:
  explicit TComBuffer(TCustomComPort* port) : FComPort(port) {}
  int InputSize() const { return FInputSize; }
  void SetInputSize(int value);
  int OutputSize() const { return FOutputSize; }
  void SetOutputSize(int value);

 private:
  TCustomComPort* FComPort;
  int FInputSize = 1024;
  int FOutputSize = 1024;
};

// One write handed to the driver, for tests and the wire log: when it was
// handed over, the parity in effect and the bytes.
struct TWriteTraceEntry {
  std::chrono::steady_clock::time_point Time;
  TParityBits Parity;
  std::vector<std::uint8_t> Bytes;
};

// One transfer as the port saw it, for the traffic monitor: a write handed
// to the driver, or a completed read. The bytes are valid during the call only.
struct TWireChunk {
  using TimePoint = std::chrono::steady_clock::time_point;
  char Direction = 'T';         // 'T' written, 'R' read
  TimePoint Start;              // the call began
  TimePoint End;                // write: the bytes have left the queue; read: the call returned
  TimePoint FirstByte;          // read: the first byte arrived (End when none did)
  TimePoint LastByte;           // read: the last byte arrived (End when none did)
  TParityBits Parity = prNone;  // the parity the driver held
  int BaudRate = 0;             // bits per second in effect
  const std::uint8_t* Bytes = nullptr;
  int Count = 0;
};

// Limits of one read by ReceiveFrame, in milliseconds from the call; a value
// of 0 or less sets no such limit.
struct TFrameReadLimits {
  int FirstByteMs = 0;  // nothing has arrived by then: the read ends
  int TotalMs = 0;      // the read ends then, whatever arrived
  int IntervalMs = 0;   // after a byte, this long of quiet ends the read
  // Asked after each arrival with all bytes so far; true ends the read (a
  // whole frame is in). May be empty.
  std::function<bool(const std::uint8_t* bytes, int count)> Complete;
};

class TCustomComPort {
 public:
  TCustomComPort();
  virtual ~TCustomComPort();
  TCustomComPort(const TCustomComPort&) = delete;
  TCustomComPort& operator=(const TCustomComPort&) = delete;

  // Port holds a device path. "COMn" opens /dev/ttyS(n-1); a bare name such as
  // ttyUSB0 opens /dev/ttyUSB0; a path is used as it is. Setting it while open
  // closes the port and opens it again under the new name.
  const std::string& Port() const { return FPort; }
  void SetPort(const std::string& value);
  // The file system path that Port names.
  static std::string DevicePath(const std::string& port);

  TBaudRate BaudRate() const { return FBaudRate; }
  void SetBaudRate(TBaudRate value);
  int CustomBaudRate() const { return FCustomBaudRate; }
  void SetCustomBaudRate(int value);
  TDataBits DataBits() const { return FDataBits; }
  void SetDataBits(TDataBits value);
  TStopBits StopBits() const { return FStopBits; }
  void SetStopBits(TStopBits value);
  TComParity& Parity() { return FParity; }
  const TComParity& Parity() const { return FParity; }
  TComFlowControl& FlowControl() { return FFlowControl; }
  const TComFlowControl& FlowControl() const { return FFlowControl; }
  TComTimeouts& Timeouts() { return FTimeouts; }
  const TComTimeouts& Timeouts() const { return FTimeouts; }
  TComBuffer& Buffer() { return FBuffer; }
  const TComBuffer& Buffer() const { return FBuffer; }
  TComEvents Events() const { return FEvents; }
  void SetEvents(TComEvents value) { FEvents = value; }
  bool DiscardNull() const { return FDiscardNull; }
  void SetDiscardNull(bool value);
  std::uint8_t EventChar() const { return FEventChar; }
  void SetEventChar(std::uint8_t value);
  TSyncMethod SyncMethod() const { return FSyncMethod; }
  void SetSyncMethod(TSyncMethod value);  // error 14 while connected
  // Component properties kept with the port for the configuration file.
  int Tag() const { return FTag; }
  void SetTag(int value) { FTag = value; }
  int Left() const { return FLeft; }
  void SetLeft(int value) { FLeft = value; }
  int Top() const { return FTop; }
  void SetTop(int value) { FTop = value; }

  bool Connected() const;
  void SetConnected(bool value);
  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }

  void HoldSetup();
  void ReleaseSetup();

  void PurgeBuffers(bool input, bool output);
  int SendBytes(const void* buffer, int count);
  int ReceiveBytes(void* buffer, int count);
  int ReceiveText(std::string& text, int count);
  // As ReceiveBytes, but bounded by `limits` instead of the port's read
  // time-outs (which stay as they are): for reads that know when an answer
  // must begin and when it is whole. Reported to the wire monitor and the
  // wire log as one read, like ReceiveBytes.
  int ReceiveFrame(void* buffer, int count, const TFrameReadLimits& limits);

  // True when the open device is a pseudo-terminal (the virtual line).
  bool IsPseudoTerminal() const { return FIsPty; }

  // Diagnostics for tests: how often the line settings, time-outs and queue
  // sizes were handed to the driver since the port was created.
  int LineSettingsApplyCount() const { return FLineApplyCount; }
  int TimeoutsApplyCount() const { return FTimeoutsApplyCount; }
  int BufferApplyCount() const { return FBufferApplyCount; }

  // A trace of the port's own writes (off by default).
  void SetWriteTraceEnabled(bool on);
  std::vector<TWriteTraceEntry> WriteTrace() const;
  void ClearWriteTrace();

  // Wire log: when set, every write and every completed read is reported
  // (direction 'T' or 'R'). Off (empty) by default.
  using TWireLog = std::function<void(char direction, const std::uint8_t* bytes, int count)>;
  void SetWireLog(TWireLog log) { FWireLog = std::move(log); }

  // Wire monitor: like the wire log, with the timing and parity of every
  // transfer. Called on the thread that uses the port. Set it while nobody
  // transfers (at start-up); off (empty) by default.
  using TWireMonitor = std::function<void(const TWireChunk&)>;
  void SetWireMonitor(TWireMonitor monitor) { FWireMonitor = std::move(monitor); }
  // Timing of the latest write and read (epoch when none yet): a response
  // time is LastReadLastByte() - LastWriteEnd() when the read brought bytes.
  std::chrono::steady_clock::time_point LastWriteEnd() const { return FLastWriteEnd; }
  std::chrono::steady_clock::time_point LastReadLastByte() const { return FLastReadLastByte; }
  int LastReadCount() const { return FLastReadCount; }
  // Bits per second of the current setting (the custom rate for brCustom).
  int BaudRateBits() const;

  // Called by the settings objects after a change.
  void SettingChanged(bool lineSettings, bool timeouts, bool buffers);

 private:
  void DoOpen();
  void DoClose();
  void ApplyAll();
  void ApplyLineSettings();
  void ApplyTimeouts();
  void ApplyBuffers();
  void ApplyModemLines();
  int ReadAvailable(std::uint8_t* buffer, int count, bool& lineLost);
  using TFrameTest = std::function<bool(const std::uint8_t*, int)>;
  struct TReadDeadlines {
    bool TotalLimited = false;
    std::chrono::steady_clock::time_point Total;
    bool FirstByteLimited = false;
    std::chrono::steady_clock::time_point FirstByte;
    int IntervalMs = 0;  // < 0: no gap limit and, with no other limit, no waiting
  };
  int Receive(std::uint8_t* bytes, int count, std::chrono::steady_clock::time_point start,
              const TReadDeadlines& limits, const TFrameTest* complete);
  int FilterReceived(std::uint8_t* bytes, int count);
  void RecordWrite(const std::uint8_t* bytes, int count,
                   std::chrono::steady_clock::time_point start);

  std::string FPort = "COM1";
  TBaudRate FBaudRate = br9600;
  int FCustomBaudRate = 9600;
  TDataBits FDataBits = dbEight;
  TStopBits FStopBits = sbOneStopBit;
  TComParity FParity{this};
  TComFlowControl FFlowControl{this};
  TComTimeouts FTimeouts{this};
  TComBuffer FBuffer{this};
  TComEvents FEvents = kAllComEvents;
  bool FDiscardNull = false;
  std::uint8_t FEventChar = 0;
  TSyncMethod FSyncMethod = smThreadSync;
  int FTag = 0;
  int FLeft = 0;
  int FTop = 0;

  int FHandle = -1;
  bool FIsPty = false;
  bool FRs485Enabled = false;           // rtsToggle switched the driver's RS-485 mode on
  TParityBits FAppliedParity = prNone;  // parity the driver currently holds
  bool FMarkParityErrors = false;       // PARMRK in effect: bad bytes arrive as FF 00 x
  int FMarkState = 0;                   // 1 after FF, 2 after FF 00 (a mark may span two reads)
  int FUpdateCount = 0;                 // HoldSetup nesting
  int FLineApplyCount = 0;
  int FTimeoutsApplyCount = 0;
  int FBufferApplyCount = 0;

  mutable std::mutex FTraceMutex;
  bool FTraceEnabled = false;
  std::vector<TWriteTraceEntry> FTrace;
  TWireLog FWireLog;
  TWireMonitor FWireMonitor;
  std::chrono::steady_clock::time_point FLastWriteEnd, FLastReadLastByte;
  int FLastReadCount = 0;
};

// The instantiated class; it publishes the settings (see the configuration
// file) and adds no behaviour.
class TComPort : public TCustomComPort {};

// Text conversions, in enumeration order (see the tables of the settings).
std::string BaudRateText(TBaudRate value);
std::string DataBitsText(TDataBits value);
std::string StopBitsText(TStopBits value);
std::string ParityText(TParityBits value);
std::string FlowControlText(TFlowControl value);
// Case-insensitive; unknown texts give br9600, dbEight, sbOneStopBit, prNone,
// fcCustom respectively.
TBaudRate BaudRateFromText(const std::string& text);
TDataBits DataBitsFromText(const std::string& text);
TStopBits StopBitsFromText(const std::string& text);
TParityBits ParityFromText(const std::string& text);
TFlowControl FlowControlFromText(const std::string& text);

// Bits per second of a TBaudRate (brCustom gives 0: use CustomBaudRate).
int BaudRateValue(TBaudRate value);

// Serial ports present: /sys/class/tty entries with a device behind them
// (ttyS* only with a UART present), /dev/serial/by-id names, and the virtual
// lines announced in VirtualLineDirectory(); sorted as text without regard to
// case. Raises EComPort 23 when the system's list cannot be read.
std::vector<std::string> ListSerialPorts();

// The same, over explicit folders (for tests): sysClassTty lists the tty
// classes, byIdDir the stable names, lineDir the announced virtual lines.
// Missing byIdDir or lineDir are empty; an unreadable sysClassTty is error 23.
std::vector<std::string> ListSerialPortsIn(const std::string& sysClassTty,
                                           const std::string& byIdDir, const std::string& lineDir);

// Folder where simulators announce their lines as symlinks to the pty:
// $XDG_RUNTIME_DIR/lim07-lines when XDG_RUNTIME_DIR is set, otherwise
// /tmp/lim07-lines-<uid>.
std::string VirtualLineDirectory();
