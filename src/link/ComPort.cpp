// Opening, closing and the live settings of the serial port.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "ComPort.h"
#include "ComPortLine.h"

namespace {

// Unix98 pseudo-terminal slaves use majors 136 to 143, the old BSD ones 3.
bool IsPseudoTerminalFd(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned maj = major(st.st_rdev);
  return (maj >= 136 && maj <= 143) || maj == 3;
}

// Modem-control requests that a device without modem lines rejects.
bool NoModemLines(int error) {
  return error == ENOTTY || error == EINVAL || error == ENOSYS;
}

}  // namespace

TCustomComPort::TCustomComPort() = default;

TCustomComPort::~TCustomComPort() {
  if (FHandle >= 0) {
    try {
      DoClose();
    } catch (const EComPort&) {
      // The device is closed in any case; nothing to report from here.
    }
  }
}

bool TCustomComPort::Connected() const {
  return FHandle >= 0;
}

void TCustomComPort::SetConnected(bool value) {
  if (value == Connected()) return;
  if (value)
    DoOpen();
  else
    DoClose();
}

void TCustomComPort::SetPort(const std::string& value) {
  if (value == FPort) return;
  FPort = value;
  if (Connected()) {
    DoClose();
    DoOpen();
  }
}

void TCustomComPort::SetBaudRate(TBaudRate value) {
  if (value == FBaudRate) return;
  FBaudRate = value;
  SettingChanged(true, false, false);
}

void TCustomComPort::SetCustomBaudRate(int value) {
  if (value == FCustomBaudRate) return;
  FCustomBaudRate = value;
  if (FBaudRate == brCustom) SettingChanged(true, false, false);
}

void TCustomComPort::SetDataBits(TDataBits value) {
  if (value == FDataBits) return;
  FDataBits = value;
  SettingChanged(true, false, false);
}

void TCustomComPort::SetStopBits(TStopBits value) {
  if (value == FStopBits) return;
  FStopBits = value;
  SettingChanged(true, false, false);
}

void TCustomComPort::SetDiscardNull(bool value) {
  if (value == FDiscardNull) return;
  FDiscardNull = value;
  SettingChanged(true, false, false);
}

void TCustomComPort::SetEventChar(std::uint8_t value) {
  if (value == FEventChar) return;
  FEventChar = value;
  SettingChanged(true, false, false);
}

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
  if (value == FSyncMethod) return;
  if (Connected()) throw EComPort(14);
  FSyncMethod = value;
}

void TCustomComPort::SettingChanged(bool lineSettings, bool timeouts, bool buffers) {
  if (!Connected() || FUpdateCount > 0) return;
  if (buffers) ApplyBuffers();
  if (lineSettings) ApplyLineSettings();
  if (timeouts) ApplyTimeouts();
}

void TCustomComPort::HoldSetup() {
  ++FUpdateCount;
}

void TCustomComPort::ReleaseSetup() {
  if (FUpdateCount == 0) return;
  if (--FUpdateCount == 0 && Connected()) ApplyAll();
}

void TCustomComPort::DoOpen() {
  const std::string path = DevicePath(FPort);
  // Non-blocking so that neither the open (carrier) nor any read or write can
  // hang; every wait is done by poll() under the port's own limits.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw EComPort(1, errno);
  int error = 0;
  if (!isatty(fd))
    error = ENOTTY;
  else if (flock(fd, LOCK_EX | LOCK_NB) != 0)  // refuses a second opener, root too
    error = errno;
  else if (ioctl(fd, TIOCEXCL) != 0)  // refuses other programs' plain opens
    error = errno;
  if (error != 0) {
    ::close(fd);
    throw EComPort(1, error);
  }
  FHandle = fd;
  FIsPty = IsPseudoTerminalFd(fd);
  FRs485Enabled = false;
  FMarkState = 0;
  try {
    ApplyAll();
  } catch (...) {
    ioctl(fd, TIOCNXCL);
    ::close(fd);
    FHandle = -1;
    FIsPty = false;
    throw;
  }
}

void TCustomComPort::DoClose() {
  const int fd = FHandle;
  int error = 0;
  // A line that is already gone (adapter pulled, other side closed) cannot be
  // purged; it must still be possible to close the port.
  if (tcflush(fd, TCIOFLUSH) != 0 && errno != EIO && errno != ENXIO && errno != ENODEV)
    error = errno;
  if (FRs485Enabled) {
    serial_rs485 rs485{};
    ioctl(fd, TIOCSRS485, &rs485);
  }
  // The exclusive flag outlives our descriptor while another one (the
  // simulator's) keeps the terminal open: clear it so the port can be reopened.
  ioctl(fd, TIOCNXCL);
  ::close(fd);
  FHandle = -1;
  FIsPty = false;
  FRs485Enabled = false;
  FMarkState = 0;
  if (error != 0) throw EComPort(5, error);
}

void TCustomComPort::ApplyAll() {
  ApplyBuffers();
  ApplyLineSettings();
  ApplyTimeouts();
}

void TCustomComPort::ApplyBuffers() {
  // The tty layer's queues are fixed in size: nothing to hand over.
  ++FBufferApplyCount;
}

void TCustomComPort::ApplyTimeouts() {
  // The read and write limits are kept by ReceiveBytes/SendBytes themselves.
  ++FTimeoutsApplyCount;
}

void TCustomComPort::ApplyLineSettings() {
  ++FLineApplyCount;
  TLineParams p;
  p.Baud = FBaudRate == brCustom ? FCustomBaudRate : BaudRateValue(FBaudRate);
  p.DataBits = 5 + static_cast<int>(FDataBits);
  p.ExtraStopBits = FStopBits != sbOneStopBit;
  p.Parity = FParity.Bits();
  // Without replacement a byte with bad parity is delivered as received, the
  // way the port is used here; with it, the driver marks such bytes.
  p.MarkParityErrors = FParity.Check() && FParity.Replace();
  p.RtsCts = FFlowControl.OutCTSFlow() || FFlowControl.ControlRTS() == rtsHandshake;
  p.XonXoffOut = FFlowControl.XonXoffOut();
  p.XonXoffIn = FFlowControl.XonXoffIn();
  p.XonChar = FFlowControl.XonChar();
  p.XoffChar = FFlowControl.XoffChar();
  if (p.Baud <= 0) throw EComPort(7, EINVAL);
  const int error = ApplyLineParams(FHandle, p, FIsPty);
  if (error != 0) throw EComPort(7, error);
  FAppliedParity = p.Parity;
  if (p.MarkParityErrors != FMarkParityErrors) FMarkState = 0;
  FMarkParityErrors = p.MarkParityErrors;
  ApplyModemLines();
}

void TCustomComPort::ApplyModemLines() {
  if (FIsPty) return;  // a pseudo-terminal has no modem lines
  auto setLine = [this](int bit, bool on) {
    if (ioctl(FHandle, on ? TIOCMBIS : TIOCMBIC, &bit) != 0 && !NoModemLines(errno))
      throw EComPort(7, errno);
  };
  // DTR handshake does not exist on Linux: the line is held active instead.
  setLine(TIOCM_DTR, FFlowControl.ControlDTR() != dtrDisable);
  const TRTSFlowControl rts = FFlowControl.ControlRTS();
  if (rts == rtsToggle || FRs485Enabled) {
    // RTS active only while sending: the driver's RS-485 direction control.
    serial_rs485 rs485{};
    if (rts == rtsToggle) rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (ioctl(FHandle, TIOCSRS485, &rs485) != 0) throw EComPort(7, errno);
    FRs485Enabled = rts == rtsToggle;
  }
  if (rts == rtsDisable || rts == rtsEnable) setLine(TIOCM_RTS, rts == rtsEnable);
}
