// The batch read, batch write and address write against the virtual line:
// what reaches the devices, which rows get their marks cleared, and the
// progress reports.
#include <chrono>

#include "BatchThreads.h"
#include "NativeRequests.h"
#include "test_scan_host.h"

using namespace std::chrono_literals;

// --- Batch read ---------------------------------------------------------------------

TEST(BatchReadTest, ConfirmedDevicesOnlyAndCoefficientNeverConfirmed) {
  TVirtualLine line;
  line.AddDevice(SimDevice(5, 500));
  line.AddDevice(SimDevice(7, 9999));  // another plant number at the listed address
  TScanTestHost host(line);
  TDevice* present = host.List(500, 5);
  TDevice* silent = host.List(600, 6);
  TDevice* other = host.List(700, 7);
  silent->SetSensorCount(9);
  other->UnmeasurableLevel = 42;

  TConfigRefreshThread thread(&host);
  ASSERT_TRUE(host.Run(thread));

  EXPECT_EQ(host.Marks, (std::vector<TMarksCall>{{1, true, true, true, false}}));
  EXPECT_EQ(present->SensorCount(), line.Device(0).SensorCount());
  EXPECT_EQ(present->UnmeasurableLevel, line.Device(0).UnmeasurableLevel);
  EXPECT_EQ(present->LastResult, "Операция завершена успешно");
  EXPECT_EQ(silent->SensorCount(), 9);
  EXPECT_EQ(silent->LastResult, "Нет связи с прибором");
  EXPECT_EQ(other->UnmeasurableLevel, 42);
  // A device with another plant number is treated as absent: nothing read.
  EXPECT_EQ(CountFrames(line, 7, kCmdReadParameter), 0);
  EXPECT_EQ(CountFrames(line, 7, kCmdReadMemory), 0);
  EXPECT_EQ(CountFrames(line, 6, kCmdIdentification), 2);
  EXPECT_EQ(host.DeviceReports, (std::vector<TDeviceReport>{{500, 5}, {600, 6}, {700, 7}, {0, 0}}));
}

TEST(BatchReadTest, SensorCountFailureKeepsItsMark) {
  TVirtualLine line;
  const int i = line.AddDevice(SimDevice(9, 900));
  // Parameter reads refused, memory reads answered.
  line.SetFrameListener([&](const TSimFrame& f) {
    if (f.Bytes.size() > 1 && f.Bytes[1] == kCmdIdentification)
      line.Modify(i, [](TSimDevice& d) {
        d.Faults.ErrorCode = 0x02;
        d.Faults.Remaining = 2;
      });
  });
  TScanTestHost host(line);
  TDevice* d = host.List(900, 9);
  d->SetSensorCount(5);
  TConfigRefreshThread thread(&host);
  ASSERT_TRUE(host.Run(thread));
  EXPECT_EQ(host.Marks, (std::vector<TMarksCall>{{1, true, false, true, false}}));
  EXPECT_EQ(d->SensorCount(), 5);
  EXPECT_EQ(d->UnmeasurableLevel, line.Device(0).UnmeasurableLevel);
}

TEST(BatchReadTest, ModbusDevices) {
  TVirtualLine line;
  line.AddDevice(SimDevice(3, 300, dpModbus));
  TScanTestHost host(line, dpModbus);
  TDevice* d = host.List(300, 3);
  TConfigRefreshThread thread(&host);
  ASSERT_TRUE(host.Run(thread));
  EXPECT_EQ(host.Marks, (std::vector<TMarksCall>{{1, true, true, true, false}}));
  EXPECT_EQ(d->SensorCount(), line.Device(0).SensorCount());
  EXPECT_EQ(d->UnmeasurableLevel, line.Device(0).UnmeasurableLevel);
}

TEST(BatchReadTest, EmptyListAndClosedPortStillCloseTheWindow) {
  TVirtualLine line;
  line.AddDevice(SimDevice(5, 500));
  {
    TScanTestHost host(line);
    TConfigRefreshThread thread(&host);
    ASSERT_TRUE(host.Run(thread));
    EXPECT_EQ(host.DeviceReports, (std::vector<TDeviceReport>{{0, 0}}));
  }
  TScanTestHost host(line);
  host.List(500, 5);
  host.ComPort().Close();
  TConfigRefreshThread thread(&host);
  ASSERT_TRUE(host.Run(thread));
  EXPECT_TRUE(host.Marks.empty());
  EXPECT_EQ(host.DeviceReports, (std::vector<TDeviceReport>{{500, 5}, {0, 0}}));
  EXPECT_EQ(line.FrameCount(), 0u);
}

// --- Batch write --------------------------------------------------------------------

TEST(BatchWriteTest, WritesCalibrationAndCoefficientNativelyOnly) {
  TVirtualLine line;
  line.AddDevice(SimDevice(4, 400));
  line.AddDevice(SimDevice(8, 800, dpModbus));
  TScanTestHost host(line, dpModbus);  // the native protocol is used anyway
  TDevice* native = host.List(400, 4);
  native->CalibrationCode1 = 0x1111;
  native->UnmeasurableLevel = 222;
  native->CalibrationCode2 = 0x3333;
  native->CalibrationLevel2 = 444;
  native->SetAveragingCoefficient(0);  // sent as 1, and the record keeps 1
  TDevice* modbus = host.List(800, 8);
  modbus->CalibrationCode1 = 0x5555;
  modbus->SetAveragingCoefficient(9);

  TDeviceRefreshThread thread(&host);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(host.Run(thread));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 700ms);  // 350 ms after each device

  EXPECT_EQ(host.Marks, (std::vector<TMarksCall>{{1, true, false, true, true}}));
  const TSimDevice n = line.Device(0);
  EXPECT_EQ(n.CalibrationCode1, 0x1111);
  EXPECT_EQ(n.UnmeasurableLevel, 222);
  EXPECT_EQ(n.CalibrationCode2, 0x3333);
  EXPECT_EQ(n.CalibrationLevel2, 444);
  EXPECT_EQ(n.AveragingCoefficient, 1);
  EXPECT_EQ(native->AveragingCoefficient(), 1);
  const TSimDevice m = line.Device(1);
  EXPECT_EQ(m.CalibrationCode1, 0x0F00);
  EXPECT_EQ(m.AveragingCoefficient, 4);
  EXPECT_EQ(host.DeviceReports, (std::vector<TDeviceReport>{{400, 4}, {800, 8}, {0, 0}}));
}

TEST(BatchWriteTest, StopEndsAfterTheDeviceInWork) {
  TVirtualLine line;
  for (int a = 1; a <= 3; ++a) line.AddDevice(SimDevice(static_cast<std::uint8_t>(a), 10 + a));
  TScanTestHost host(line);
  for (int a = 1; a <= 3; ++a) {
    TDevice* d = host.List(static_cast<std::uint16_t>(10 + a), static_cast<std::uint8_t>(a));
    d->SetAveragingCoefficient(7);
  }
  TDeviceRefreshThread thread(&host);
  host.OnDevice = [&](int plant, int) {
    if (plant == 11) thread.Terminate();  // "Стоп" as the first device starts
  };
  ASSERT_TRUE(host.Run(thread));
  EXPECT_EQ(host.Marks, (std::vector<TMarksCall>{{1, true, false, true, true}}));
  EXPECT_EQ(line.Device(0).AveragingCoefficient, 7);
  EXPECT_EQ(line.Device(1).AveragingCoefficient, 4);
  EXPECT_EQ(line.Device(1).Requests, 0);
  EXPECT_EQ(host.DeviceReports, (std::vector<TDeviceReport>{{11, 1}, {0, 0}}));
}

// --- Address write ------------------------------------------------------------------

TEST(AddressWriteTest, ReportsBeforeEachWriteAndHundredAtTheEnd) {
  TVirtualLine line;
  line.AddDevice(SimDevice(1, 101));
  line.AddDevice(SimDevice(2, 102));
  line.AddDevice(SimDevice(3, 103));
  TScanTestHost host(line);
  host.List(101, 31);
  host.List(102, 32);
  host.List(103, 33);
  std::vector<int> addressesAtReport;
  host.OnPercent = [&](int) { addressesAtReport.push_back(line.Device(2).Address); };
  TAllAddressUpdateThread thread(&host);
  ASSERT_TRUE(host.Run(thread));
  EXPECT_EQ(host.Percents, (std::vector<int>{33, 66, 100, 100}));
  // The first 100 comes before the last device's write, which still happens.
  EXPECT_EQ(addressesAtReport, (std::vector<int>{3, 3, 3, 33}));
  EXPECT_EQ(line.Device(0).Address, 31);
  EXPECT_EQ(line.Device(1).Address, 32);
  EXPECT_EQ(line.Device(2).Address, 33);
  EXPECT_EQ(host.Marks, (std::vector<TMarksCall>{{1, true, false, false, false},
                                                 {2, true, false, false, false},
                                                 {3, true, false, false, false}}));
}

TEST(AddressWriteTest, AbsentDeviceKeepsItsMark) {
  TVirtualLine line;
  line.AddDevice(SimDevice(1, 101));
  TScanTestHost host(line);
  TDevice* absent = host.List(555, 40);
  host.List(101, 41);
  TAllAddressUpdateThread thread(&host);
  ASSERT_TRUE(host.Run(thread));
  EXPECT_EQ(host.Marks, (std::vector<TMarksCall>{{2, true, false, false, false}}));
  EXPECT_EQ(absent->SystemAddress(), 40);  // records are the configuration's
  EXPECT_EQ(absent->LastResult, "Нет связи с прибором");
  EXPECT_EQ(line.Device(0).Address, 41);
  EXPECT_EQ(host.Percents, (std::vector<int>{50, 100, 100}));
}

TEST(AddressWriteTest, ModbusVerifiesAtTheNewAddress) {
  TVirtualLine line;
  line.AddDevice(SimDevice(1, 1201, dpModbus));
  TScanTestHost host(line, dpModbus);
  host.List(1201, 77);
  TAllAddressUpdateThread thread(&host);
  ASSERT_TRUE(host.Run(thread));
  EXPECT_EQ(line.Device(0).Address, 77);
  EXPECT_EQ(host.Marks, (std::vector<TMarksCall>{{1, true, false, false, false}}));
  EXPECT_EQ(host.Percents, (std::vector<int>{100, 100}));
}

TEST(AddressWriteTest, EmptyListReportsHundredOnly) {
  TVirtualLine line;
  TScanTestHost host(line);
  TAllAddressUpdateThread thread(&host);
  ASSERT_TRUE(host.Run(thread));
  EXPECT_EQ(host.Percents, (std::vector<int>{100}));
  EXPECT_TRUE(host.Marks.empty());
}
