// Line settings handed to the tty driver through termios2 (custom speeds).
// Kept apart from <termios.h>: <asm/termbits.h> cannot share a file with it.
#pragma once

#include <cstdint>

#include "ComPort.h"

struct TLineParams {
  int Baud = 9600;   // bits per second; speeds outside the termios table go as BOTHER
  int DataBits = 8;  // 5 to 8
  // 1.5 and 2 stop bits both set CSTOPB: a UART sends 1.5 with 5 data bits and
  // 2 with 6 to 8 (the nearest the hardware can do).
  bool ExtraStopBits = false;
  TParityBits Parity = prNone;
  // Received parity errors marked (FF 00 x) so the port can replace the byte.
  bool MarkParityErrors = false;
  bool RtsCts = false;  // CRTSCTS: CTS gates output, RTS signals input room
  bool XonXoffOut = false;
  bool XonXoffIn = false;
  std::uint8_t XonChar = 17;
  std::uint8_t XoffChar = 19;
};

// Raw mode, CLOCAL|CREAD, VMIN 1 / VTIME 0 (a non-blocking read then gives
// EAGAIN when empty and 0 only when the line is gone), plus the parameters.
// The result is read back: on a pseudo-terminal the kernel's clearing of
// PARENB and forcing of CS8 is accepted; anything else that differs means the
// device refused the setting, and the previous settings are restored.
// Returns 0 or the errno of the failure (EINVAL for a refused setting).
int ApplyLineParams(int fd, const TLineParams& params, bool pseudoTerminal);

// Effective output speed of the open device in bits per second, or -1.
int ReadLineSpeed(int fd);
