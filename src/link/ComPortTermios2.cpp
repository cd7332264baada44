// termios2 side of the line settings. This file must not include <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

#include "ComPortLine.h"

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace {

struct TSpeedCode {
  int Baud;
  unsigned Code;
};

constexpr TSpeedCode kSpeedCodes[] = {
    {50, B50},         {75, B75},         {110, B110},        {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},        {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},      {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},  {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}};

int SpeedOf(const termios2& t) {
  const unsigned code = t.c_cflag & CBAUD;
  if (code == BOTHER) return static_cast<int>(t.c_ospeed);
  for (const auto& s : kSpeedCodes)
    if (s.Code == code) return s.Baud;
  return -1;
}

void SetSpeed(termios2& t, int baud) {
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_ispeed = t.c_ospeed = static_cast<unsigned>(baud);
  for (const auto& s : kSpeedCodes) {
    if (s.Baud == baud) {
      t.c_cflag |= s.Code;  // a table speed keeps its code so tcgetattr users read it
      return;
    }
  }
  t.c_cflag |= BOTHER;
}

unsigned SizeFlag(int dataBits) {
  switch (dataBits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

unsigned ParityFlags(TParityBits parity) {
  switch (parity) {
    case prOdd:
      return PARENB | PARODD;
    case prEven:
      return PARENB;
    case prMark:
      return PARENB | CMSPAR | PARODD;
    case prSpace:
      return PARENB | CMSPAR;
    default:
      return 0;
  }
}

// Speeds read back within 3 % count as kept: a UART rounds to its divisor.
bool SpeedKept(int wanted, int got) {
  if (got <= 0) return false;
  const long diff = static_cast<long>(wanted) - got;
  return (diff < 0 ? -diff : diff) * 100 <= static_cast<long>(wanted) * 3;
}

}  // namespace

int ApplyLineParams(int fd, const TLineParams& params, bool pseudoTerminal) {
  termios2 previous{};
  if (ioctl(fd, TCGETS2, &previous) != 0) return errno;
  termios2 t = previous;
  // Raw mode: no translation, no echo, no signals, no output processing.
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                 INPCK | IGNPAR | IUCLC | IMAXBEL);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK | ECHOCTL | ECHOKE);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
  t.c_cflag |= CLOCAL | CREAD | SizeFlag(params.DataBits) | ParityFlags(params.Parity);
  if (params.ExtraStopBits) t.c_cflag |= CSTOPB;
  if (params.RtsCts) t.c_cflag |= CRTSCTS;
  if (params.MarkParityErrors) t.c_iflag |= INPCK | PARMRK;
  if (params.XonXoffOut) t.c_iflag |= IXON;
  if (params.XonXoffIn) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = params.XonChar;
  t.c_cc[VSTOP] = params.XoffChar;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  SetSpeed(t, params.Baud);
  if (ioctl(fd, TCSETS2, &t) != 0) return errno;

  termios2 got{};
  if (ioctl(fd, TCGETS2, &got) != 0) return errno;
  tcflag_t cflagMask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  // A pseudo-terminal carries no parity bit: the kernel clears PARENB and
  // forces CS8, while keeping PARODD and CMSPAR for the other side to read.
  if (pseudoTerminal) cflagMask &= ~(CSIZE | PARENB);
  const tcflag_t iflagMask = IXON | IXOFF | INPCK | PARMRK;
  const bool kept = (got.c_cflag & cflagMask) == (t.c_cflag & cflagMask) &&
                    (got.c_iflag & iflagMask) == (t.c_iflag & iflagMask) &&
                    SpeedKept(params.Baud, SpeedOf(got));
  if (!kept) {
    ioctl(fd, TCSETS2, &previous);
    return EINVAL;
  }
  return 0;
}

int ReadLineSpeed(int fd) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return -1;
  return SpeedOf(t);
}
