// Settings of the port that need no device: texts, derived flow control,
// queue sizes, defaults, names and error texts.
#include <gtest/gtest.h>

#include "ComPort.h"

TEST(ComPortTexts, EnumerationTextsRoundTripInAnyCase) {
  const char* bauds[] = {"Custom", "110",    "300",    "600",   "1200",  "2400",
                         "4800",   "9600",   "14400",  "19200", "38400", "56000",
                         "57600",  "115200", "128000", "256000"};
  for (int i = brCustom; i <= br256000; ++i) {
    EXPECT_EQ(BaudRateText(static_cast<TBaudRate>(i)), bauds[i]);
    EXPECT_EQ(BaudRateFromText(bauds[i]), i);
  }
  EXPECT_EQ(BaudRateFromText("cUsToM"), brCustom);
  EXPECT_EQ(BaudRateFromText("230400"), br9600);  // a speed not in the list
  EXPECT_EQ(BaudRateFromText(""), br9600);
  EXPECT_EQ(BaudRateValue(br128000), 128000);
  EXPECT_EQ(BaudRateValue(brCustom), 0);

  EXPECT_EQ(DataBitsText(dbFive), "5");
  EXPECT_EQ(DataBitsFromText("7"), dbSeven);
  EXPECT_EQ(DataBitsFromText("9"), dbEight);
  EXPECT_EQ(StopBitsText(sbOne5StopBits), "1.5");
  EXPECT_EQ(StopBitsFromText("1.5"), sbOne5StopBits);
  EXPECT_EQ(StopBitsFromText("2"), sbTwoStopBits);
  EXPECT_EQ(StopBitsFromText("1,5"), sbOneStopBit);
  EXPECT_EQ(ParityText(prSpace), "Space");
  EXPECT_EQ(ParityFromText("MARK"), prMark);
  EXPECT_EQ(ParityFromText("even"), prEven);
  EXPECT_EQ(ParityFromText("Четность"), prNone);
  EXPECT_EQ(FlowControlText(fcHardware), "Hardware");
  EXPECT_EQ(FlowControlFromText("software"), fcSoftware);
  EXPECT_EQ(FlowControlFromText("none"), fcNone);
  EXPECT_EQ(FlowControlFromText("RTS/CTS"), fcCustom);
}

TEST(ComPortFlowControl, ModeIsDerivedFromTheFields) {
  TComPort port;
  TComFlowControl& fc = port.FlowControl();
  EXPECT_EQ(fc.FlowControl(), fcNone);

  fc.SetControlDTR(dtrEnable);
  fc.SetOutDSRFlow(true);
  fc.SetFlowControl(fcHardware);
  EXPECT_EQ(fc.ControlRTS(), rtsHandshake);
  EXPECT_TRUE(fc.OutCTSFlow());
  EXPECT_FALSE(fc.XonXoffIn() || fc.XonXoffOut());
  EXPECT_EQ(fc.FlowControl(), fcHardware);

  fc.SetFlowControl(fcSoftware);
  EXPECT_EQ(fc.ControlRTS(), rtsDisable);
  EXPECT_FALSE(fc.OutCTSFlow());
  EXPECT_TRUE(fc.XonXoffIn() && fc.XonXoffOut());
  EXPECT_EQ(fc.FlowControl(), fcSoftware);

  fc.SetXonXoffIn(false);  // one direction only is nothing named
  EXPECT_EQ(fc.FlowControl(), fcCustom);
  fc.SetFlowControl(fcCustom);  // changes nothing
  EXPECT_TRUE(fc.XonXoffOut());
  EXPECT_FALSE(fc.XonXoffIn());

  fc.SetFlowControl(fcNone);
  EXPECT_EQ(fc.FlowControl(), fcNone);
  fc.SetControlRTS(rtsEnable);
  EXPECT_EQ(fc.FlowControl(), fcCustom);
  // The mode never touches DTR or DSR flow.
  EXPECT_EQ(fc.ControlDTR(), dtrEnable);
  EXPECT_TRUE(fc.OutDSRFlow());
}

TEST(ComPortSettings, CreationDefaultsAndOddQueueSizes) {
  TComPort port;
  EXPECT_EQ(port.Port(), "COM1");
  EXPECT_EQ(port.BaudRate(), br9600);
  EXPECT_EQ(port.CustomBaudRate(), 9600);
  EXPECT_EQ(port.DataBits(), dbEight);
  EXPECT_EQ(port.StopBits(), sbOneStopBit);
  EXPECT_EQ(port.Parity().Bits(), prNone);
  EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
  EXPECT_EQ(port.Timeouts().WriteTotalMultiplier(), 100);
  EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);
  EXPECT_EQ(port.FlowControl().XonChar(), 17);
  EXPECT_EQ(port.FlowControl().XoffChar(), 19);
  EXPECT_EQ(port.Events(), kAllComEvents);
  EXPECT_EQ(port.SyncMethod(), smThreadSync);
  EXPECT_FALSE(port.Connected());

  port.Buffer().SetInputSize(1025);
  port.Buffer().SetOutputSize(7);
  EXPECT_EQ(port.Buffer().InputSize(), 1024);
  EXPECT_EQ(port.Buffer().OutputSize(), 6);
  port.Buffer().SetInputSize(2048);
  EXPECT_EQ(port.Buffer().InputSize(), 2048);
}

TEST(ComPortNames, PortNamesMapOntoDevicePaths) {
  EXPECT_EQ(TComPort::DevicePath("COM1"), "/dev/ttyS0");
  EXPECT_EQ(TComPort::DevicePath("com12"), "/dev/ttyS11");
  EXPECT_EQ(TComPort::DevicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(TComPort::DevicePath("/dev/pts/7"), "/dev/pts/7");
  EXPECT_EQ(TComPort::DevicePath("serial/by-id/usb-x"), "serial/by-id/usb-x");
  EXPECT_EQ(TComPort::DevicePath("COM0"), "/dev/COM0");
  EXPECT_EQ(TComPort::DevicePath("COMX"), "/dev/COMX");
  EXPECT_EQ(TComPort::DevicePath("COM"), "/dev/COM");
  EXPECT_EQ(TComPort::DevicePath(""), "");
}

TEST(ComPortErrors, MessagesCarryTheSystemErrorNumber) {
  const EComPort open(1, 2);
  EXPECT_STREQ(open.what(), "Unable to open com port (win error code: 2)");
  EXPECT_EQ(open.ErrorKind(), 1);
  EXPECT_EQ(open.OsErrorCode(), 2);
  const EComPort connected(14);
  EXPECT_STREQ(connected.what(), "Cannot set property while connected");
  EXPECT_EQ(connected.OsErrorCode(), -1);
  EXPECT_EQ(EComPort::KindText(3), "ReadFile function failed");
  EXPECT_EQ(EComPort::KindText(5), "PurgeComm function failed");
  EXPECT_EQ(EComPort::KindText(7), "SetCommState function failed");
  EXPECT_EQ(EComPort::KindText(8), "SetCommTimeouts failed");
  EXPECT_EQ(EComPort::KindText(9), "SetupComm function failed");
  EXPECT_EQ(EComPort::KindText(23), "Registry error");
  EXPECT_STREQ(EComPort(2, 5).what(), "WriteFile function failed (win error code: 5)");
}
