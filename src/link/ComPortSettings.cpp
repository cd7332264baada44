// Error type, settings objects and text conversions of the serial port.
#include <strings.h>
#include <cstdio>

#include "ComPort.h"

// ---------------------------------------------------------------- EComPort

namespace {

std::string ErrorMessage(int errorKind, int osErrorCode) {
  std::string text = EComPort::KindText(errorKind);
  if (osErrorCode != -1) {
    char code[48];
    std::snprintf(code, sizeof code, " (win error code: %d)", osErrorCode);
    text += code;
  }
  return text;
}

}  // namespace

EComPort::EComPort(int errorKind, int osErrorCode)
    : std::runtime_error(ErrorMessage(errorKind, osErrorCode)),
      FErrorKind(errorKind),
      FOsErrorCode(osErrorCode) {}

std::string EComPort::KindText(int errorKind) {
  switch (errorKind) {
    case 1:
      return "Unable to open com port";
    case 2:
      return "WriteFile function failed";
    case 3:
      return "ReadFile function failed";
    case 5:
      return "PurgeComm function failed";
    case 7:
      return "SetCommState function failed";
    case 8:
      return "SetCommTimeouts failed";
    case 9:
      return "SetupComm function failed";
    case 14:
      return "Cannot set property while connected";
    case 23:
      return "Registry error";
    default:
      return "Serial port error " + std::to_string(errorKind);
  }
}

// ---------------------------------------------------------- settings objects

// Every setter stores the value; only a real change reaches the port.
#define LIM07_SET(field, kind) \
  if (field == value) return;  \
  field = value;               \
  if (FComPort) FComPort->SettingChanged(kind);

#define LINE true, false, false
#define TIMEOUTS false, true, false
#define BUFFERS false, false, true

void TComParity::SetBits(TParityBits value) {
  LIM07_SET(FBits, LINE)
}
void TComParity::SetCheck(bool value) {
  LIM07_SET(FCheck, LINE)
}
void TComParity::SetReplace(bool value) {
  LIM07_SET(FReplace, LINE)
}
void TComParity::SetReplaceChar(std::uint8_t value) {
  LIM07_SET(FReplaceChar, LINE)
}

void TComFlowControl::SetOutCTSFlow(bool value) {
  LIM07_SET(FOutCTSFlow, LINE)
}
void TComFlowControl::SetOutDSRFlow(bool value) {
  LIM07_SET(FOutDSRFlow, LINE)
}
void TComFlowControl::SetControlDTR(TDTRFlowControl value) {
  LIM07_SET(FControlDTR, LINE)
}
void TComFlowControl::SetControlRTS(TRTSFlowControl value) {
  LIM07_SET(FControlRTS, LINE)
}
void TComFlowControl::SetXonXoffOut(bool value) {
  LIM07_SET(FXonXoffOut, LINE)
}
void TComFlowControl::SetXonXoffIn(bool value) {
  LIM07_SET(FXonXoffIn, LINE)
}
void TComFlowControl::SetDSRSensitivity(bool value) {
  LIM07_SET(FDSRSensitivity, LINE)
}
void TComFlowControl::SetTxContinueOnXoff(bool value) {
  LIM07_SET(FTxContinueOnXoff, LINE)
}
void TComFlowControl::SetXonChar(std::uint8_t value) {
  LIM07_SET(FXonChar, LINE)
}
void TComFlowControl::SetXoffChar(std::uint8_t value){LIM07_SET(FXoffChar, LINE)}

TFlowControl TComFlowControl::FlowControl() const {
  const bool xon = FXonXoffIn && FXonXoffOut;
  const bool noXon = !FXonXoffIn && !FXonXoffOut;
  if (FControlRTS == rtsHandshake && FOutCTSFlow && noXon) return fcHardware;
  if (FControlRTS == rtsDisable && !FOutCTSFlow && xon) return fcSoftware;
  if (FControlRTS == rtsDisable && !FOutCTSFlow && noXon) return fcNone;
  return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
  if (value == fcCustom) return;
  FControlRTS = value == fcHardware ? rtsHandshake : rtsDisable;
  FOutCTSFlow = value == fcHardware;
  FXonXoffIn = FXonXoffOut = value == fcSoftware;
  // Writing the mode re-applies the line settings even when nothing changed.
  if (FComPort) FComPort->SettingChanged(LINE);
}

void TComTimeouts::SetReadInterval(int value) {
  LIM07_SET(FReadInterval, TIMEOUTS)
}
void TComTimeouts::SetReadTotalMultiplier(int value) {
  LIM07_SET(FReadTotalMultiplier, TIMEOUTS)
}
void TComTimeouts::SetReadTotalConstant(int value) {
  LIM07_SET(FReadTotalConstant, TIMEOUTS)
}
void TComTimeouts::SetWriteTotalMultiplier(int value) {
  LIM07_SET(FWriteTotalMultiplier, TIMEOUTS)
}
void TComTimeouts::SetWriteTotalConstant(int value) {
  LIM07_SET(FWriteTotalConstant, TIMEOUTS)
}

void TComBuffer::SetInputSize(int value) {
  value -= value % 2;
  LIM07_SET(FInputSize, BUFFERS)
}
void TComBuffer::SetOutputSize(int value) {
  value -= value % 2;
  LIM07_SET(FOutputSize, BUFFERS)
}

#undef LIM07_SET
#undef LINE
#undef TIMEOUTS
#undef BUFFERS

// ------------------------------------------------------------ text tables

namespace {

const char* const kBaudTexts[] = {"Custom", "110",    "300",    "600",   "1200",  "2400",
                                  "4800",   "9600",   "14400",  "19200", "38400", "56000",
                                  "57600",  "115200", "128000", "256000"};
const char* const kDataTexts[] = {"5", "6", "7", "8"};
const char* const kStopTexts[] = {"1", "1.5", "2"};
const char* const kParityTexts[] = {"None", "Odd", "Even", "Mark", "Space"};
const char* const kFlowTexts[] = {"Hardware", "Software", "None", "Custom"};

template <std::size_t N>
std::string TextAt(const char* const (&table)[N], int index) {
  return index >= 0 && static_cast<std::size_t>(index) < N ? table[index] : "";
}

template <typename E, std::size_t N>
E FromText(const char* const (&table)[N], const std::string& text, E fallback) {
  for (std::size_t i = 0; i < N; ++i)
    if (strcasecmp(table[i], text.c_str()) == 0) return static_cast<E>(i);
  return fallback;
}

}  // namespace

std::string BaudRateText(TBaudRate value) {
  return TextAt(kBaudTexts, value);
}
std::string DataBitsText(TDataBits value) {
  return TextAt(kDataTexts, value);
}
std::string StopBitsText(TStopBits value) {
  return TextAt(kStopTexts, value);
}
std::string ParityText(TParityBits value) {
  return TextAt(kParityTexts, value);
}
std::string FlowControlText(TFlowControl value) {
  return TextAt(kFlowTexts, value);
}

TBaudRate BaudRateFromText(const std::string& text) {
  return FromText(kBaudTexts, text, br9600);
}
TDataBits DataBitsFromText(const std::string& text) {
  return FromText(kDataTexts, text, dbEight);
}
TStopBits StopBitsFromText(const std::string& text) {
  return FromText(kStopTexts, text, sbOneStopBit);
}
TParityBits ParityFromText(const std::string& text) {
  return FromText(kParityTexts, text, prNone);
}
TFlowControl FlowControlFromText(const std::string& text) {
  return FromText(kFlowTexts, text, fcCustom);
}

int BaudRateValue(TBaudRate value) {
  static const int kValues[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  return value >= 0 && value <= br256000 ? kValues[value] : 0;
}
