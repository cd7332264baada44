// The line scan against the virtual line: by system addresses (both
// protocols) and by plant numbers, with the parsing of plant-number lists.
#include <chrono>
#include <functional>
#include <string>
#include <tuple>

#include "FastProbe.h"
#include "NativeRequests.h"
#include "SearchThreads.h"
#include "test_scan_host.h"

using namespace std::chrono_literals;

// --- Plant-number lists -------------------------------------------------------------

struct TRangeCase {
  const char* Text;
  int Position;
  int Low, High, Next;
};

TEST(NextPlantNumberRangeTest, Items) {
  const TRangeCase cases[] = {
      {"7", 1, 7, 7, -1},
      {"10-12", 1, 10, 12, -1},
      {"5-", 1, 5, 5, -1},
      {"-5", 1, 0, 5, -1},  // Low 0: the scan skips it
      {"1-5-9", 1, 1, 9, -1},
      {" 1 0 - 1 2 ", 1, 10, 12, -1},  // blanks anywhere
      {"100-102, 200", 1, 100, 102, 9},
      {"100-102, 200", 9, 200, 200, -1},
      {"1,,2", 3, 0, 0, 4},  // two commas: an empty item
      {"3,", 1, 3, 3, 3},
      {"3,", 3, 0, 0, -1},  // the trailing comma's empty item
      {"5-3", 1, 5, 3, -1},
      {"0-4", 1, 0, 4, -1},
      {"70000", 1, 4464, 4464, -1},  // low 16 bits
      {"65535", 1, 65535, 65535, -1},
      {"4-x", 1, 4, 4, -1},  // an upper bound that is no number is the lower one
      {"x-4", 1, 0, 4, -1},
      {"1-5-", 1, 1, 1, -1},  // the empty last part gives the lower bound
      {"", 1, 0, 0, -1},
  };
  for (const TRangeCase& c : cases) {
    std::uint16_t low = 1, high = 1;
    const int next = NextPlantNumberRange(c.Text, c.Position, low, high);
    EXPECT_EQ(low, c.Low) << c.Text << " @" << c.Position;
    EXPECT_EQ(high, c.High) << c.Text << " @" << c.Position;
    EXPECT_EQ(next, c.Next) << c.Text << " @" << c.Position;
  }
}

TEST(ScanStartAddressTest, OutsideOneTo254GivesOne) {
  EXPECT_EQ(ScanStartAddress("0"), 1);
  EXPECT_EQ(ScanStartAddress("255"), 1);
  EXPECT_EQ(ScanStartAddress("300"), 1);
  EXPECT_EQ(ScanStartAddress("1.5"), 1);
  EXPECT_EQ(ScanStartAddress(""), 1);
  EXPECT_EQ(ScanStartAddress("-3"), 1);
  EXPECT_EQ(ScanStartAddress("99999999999"), 1);
  EXPECT_EQ(ScanStartAddress("254"), 254);
  EXPECT_EQ(ScanStartAddress("17"), 17);
  TSearchThread zero(nullptr, 0), big(nullptr, 300), last(nullptr, 254);
  EXPECT_EQ(zero.StartAddress(), 1);
  EXPECT_EQ(big.StartAddress(), 1);
  EXPECT_EQ(last.StartAddress(), 254);
}

TEST(ScanProgressTest, MeasuredOverOneTo255) {
  EXPECT_EQ(ProgressPercentOf(201, 255), 78);   // start address 200
  EXPECT_EQ(ProgressPercentOf(255, 255), 100);  // address 254
  EXPECT_EQ(ProgressPercentOf(2, 255), 0);
  EXPECT_EQ(ProgressPercentOf(1, 3), 33);
  EXPECT_EQ(ProgressPercentOf(2, 3), 66);
  EXPECT_EQ(ProgressPercentOf(0, 0), 100);
}

// --- Scan by system addresses ----------------------------------------------------------

TEST(AddressScanTest, FindsTheDevicesAtAndAboveTheStartNatively) {
  TVirtualLine line;
  line.AddDevice(SimDevice(249, 4900));  // below the start: never asked
  line.AddDevice(SimDevice(251, 1001));
  line.AddDevice(SimDevice(253, 1003));
  TScanTestHost host(line);
  TSearchThread thread(&host, 250);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(host.Run(thread));
  const auto elapsed = std::chrono::steady_clock::now() - start;

  ASSERT_EQ(host.Found.Count(), 2);
  const TDevice* d = host.Found[0];
  EXPECT_EQ(d->SystemAddress(), 251);
  EXPECT_EQ(d->PlantNumber(), 1001);
  EXPECT_EQ(d->Name(), "ЛИМ-07_1001");
  EXPECT_EQ(d->SensorCount(), line.Device(1).SensorCount());
  EXPECT_EQ(d->UnmeasurableLevel, line.Device(1).UnmeasurableLevel);
  EXPECT_EQ(host.Found[1]->Name(), "ЛИМ-07_1003");
  EXPECT_EQ(host.Found[1]->SystemAddress(), 253);

  EXPECT_EQ(host.Percents, (std::vector<int>{98, 98, 99, 99, 100}));
  // A silent address is asked exactly three times, a present one once.
  EXPECT_EQ(CountFrames(line, 250, kCmdIdentification), 3);
  EXPECT_EQ(CountFrames(line, 252, kCmdIdentification), 3);
  EXPECT_EQ(CountFrames(line, 254, kCmdIdentification), 3);
  EXPECT_EQ(CountFrames(line, 251, kCmdIdentification), 1);
  EXPECT_EQ(CountFrames(line, 249, kCmdIdentification), 0);
  // Three silent addresses at three 100 ms time-outs each, plus five pauses.
  EXPECT_GE(elapsed, 900ms + 250ms);
}

TEST(AddressScanTest, FindsModbusDevices) {
  TVirtualLine line;
  line.AddDevice(SimDevice(254, 2254, dpModbus));
  TScanTestHost host(line, dpModbus);
  TSearchThread thread(&host, 253);
  ASSERT_TRUE(host.Run(thread));
  ASSERT_EQ(host.Found.Count(), 1);
  EXPECT_EQ(host.Found[0]->PlantNumber(), 2254);
  EXPECT_EQ(host.Found[0]->SystemAddress(), 254);
  EXPECT_EQ(host.Found[0]->Name(), "ЛИМ-07_2254");
  EXPECT_EQ(host.Found[0]->SensorCount(), line.Device(0).SensorCount());
  EXPECT_EQ(host.Found[0]->UnmeasurableLevel, line.Device(0).UnmeasurableLevel);
  EXPECT_EQ(host.Percents, (std::vector<int>{99, 100}));
  EXPECT_EQ(CountFrames(line, 253, 0x2B), 3);
}

TEST(AddressScanTest, StartAt254ProbesOnlyItAndReportsHundredAtOnce) {
  TVirtualLine line;
  line.AddDevice(SimDevice(253, 3));
  TScanTestHost host(line);
  TSearchThread thread(&host, 254);
  ASSERT_TRUE(host.Run(thread));
  EXPECT_EQ(host.Found.Count(), 0);
  EXPECT_EQ(host.Percents, (std::vector<int>{100}));
  EXPECT_EQ(CountFrames(line, 253, kCmdIdentification), 0);
}

TEST(AddressScanTest, DeviceSilentAfterIdentificationIsStillAdded) {
  TVirtualLine line;
  const int i = line.AddDevice(SimDevice(254, 777));
  line.SetFrameListener([&](const TSimFrame& f) {
    if (f.Bytes.size() > 1 && f.Bytes[1] == kCmdIdentification)
      line.Modify(i, [](TSimDevice& d) { d.Faults.Silent = true; });
  });
  TScanTestHost host(line);
  TSearchThread thread(&host, 254);
  ASSERT_TRUE(host.Run(thread));
  ASSERT_EQ(host.Found.Count(), 1);
  EXPECT_EQ(host.Found[0]->PlantNumber(), 777);
  EXPECT_EQ(host.Found[0]->SensorCount(), 0);
  EXPECT_EQ(host.Found[0]->UnmeasurableLevel, 0);
  // Both follow-up reads were tried twice.
  EXPECT_EQ(CountFrames(line, 254, kCmdReadParameter), 2);
  EXPECT_EQ(CountFrames(line, 254, kCmdReadMemory), 2);
}

TEST(AddressScanTest, StopEndsAfterTheAddressInWork) {
  TVirtualLine line;
  line.AddDevice(SimDevice(250, 50));
  line.AddDevice(SimDevice(251, 51));
  TScanTestHost host(line);
  TSearchThread thread(&host, 250);
  // "Стоп" while the first address is being identified.
  line.SetFrameListener([&](const TSimFrame& f) {
    if (f.Bytes.size() > 1 && f.Bytes[1] == kCmdIdentification) thread.Terminate();
  });
  ASSERT_TRUE(host.Run(thread));
  ASSERT_EQ(host.Found.Count(), 1);  // the device in work is still handed over
  EXPECT_EQ(host.Found[0]->PlantNumber(), 50);
  EXPECT_EQ(host.Found[0]->SensorCount(), line.Device(0).SensorCount());
  EXPECT_EQ(host.Percents, (std::vector<int>{98}));
  EXPECT_EQ(CountFrames(line, 251, kCmdIdentification), 0);
}

TEST(AddressScanTest, ClosedPortPassesEveryAddressWithNothingFound) {
  TVirtualLine line;
  line.AddDevice(SimDevice(252, 52));
  TScanTestHost host(line);
  host.ComPort().Close();
  TSearchThread thread(&host, 252);
  ASSERT_TRUE(host.Run(thread));
  EXPECT_EQ(host.Found.Count(), 0);
  EXPECT_EQ(host.Percents, (std::vector<int>{99, 99, 100}));
  EXPECT_EQ(line.FrameCount(), 0u);
}

// --- Scan by plant numbers -----------------------------------------------------------------

class PlantScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    line.AddDevice(SimDevice(1, 100));
    line.AddDevice(SimDevice(2, 102));
    line.AddDevice(SimDevice(3, 200));
  }
  std::vector<std::pair<int, int>> Found() const {
    std::vector<std::pair<int, int>> found;
    for (int i = 0; i < host.Found.Count(); ++i)
      found.emplace_back(host.Found[i]->PlantNumber(), host.Found[i]->SystemAddress());
    return found;
  }
  TVirtualLine line;
  TScanTestHost host{line};
};

TEST_F(PlantScanTest, ConsecutiveAddressesWithoutReserve) {
  TSearch2Thread thread(&host, 10, false, "100-102, 200");
  ASSERT_TRUE(host.Run(thread));
  EXPECT_EQ(Found(), (std::vector<std::pair<int, int>>{{100, 10}, {102, 11}, {200, 12}}));
  EXPECT_EQ(line.Device(0).Address, 10);
  EXPECT_EQ(line.Device(1).Address, 11);
  EXPECT_EQ(line.Device(2).Address, 12);
  EXPECT_EQ(host.DeviceReports,
            (std::vector<TDeviceReport>{{100, 11}, {101, 11}, {102, 12}, {200, 13}, {0, 0}}));
  const TDevice* d = host.Found[0];
  EXPECT_EQ(d->Name(), "ЛИМ-07_100");
  // The follow-up reads at the new address filled the record.
  EXPECT_EQ(d->SensorCount(), line.Device(0).SensorCount());
  EXPECT_EQ(d->UnmeasurableLevel, line.Device(0).UnmeasurableLevel);
  EXPECT_EQ(d->AveragingCoefficient(), 4);
}

TEST_F(PlantScanTest, ReservedAddressStaysFree) {
  TSearch2Thread thread(&host, 10, true, "100-102, 200");
  ASSERT_TRUE(host.Run(thread));
  EXPECT_EQ(Found(), (std::vector<std::pair<int, int>>{{100, 10}, {102, 12}, {200, 13}}));
  EXPECT_EQ(line.FindAddress(11), -1);
  EXPECT_EQ(host.DeviceReports,
            (std::vector<TDeviceReport>{{100, 11}, {101, 12}, {102, 13}, {200, 14}, {0, 0}}));
}

TEST_F(PlantScanTest, StopsAfterTheDeviceThatTookAddress254) {
  TSearch2Thread thread(&host, 253, false, "100,102,200");
  ASSERT_TRUE(host.Run(thread));
  EXPECT_EQ(Found(), (std::vector<std::pair<int, int>>{{100, 253}, {102, 254}}));
  EXPECT_EQ(host.DeviceReports, (std::vector<TDeviceReport>{{100, 254}, {0, 0}}));
  EXPECT_EQ(line.Device(2).Address, 3);  // never asked
  EXPECT_EQ(line.Device(2).Requests, 0);
}

TEST_F(PlantScanTest, SkippedItemsAndEmptyListSendNothing) {
  host.ComPort().Close();  // each run below opens the line itself
  for (const char* list : {"", "5-3, 0-4", ",,", "-100"}) {
    TScanTestHost empty(line);
    TSearch2Thread thread(&empty, 10, false, list);
    ASSERT_TRUE(empty.Run(thread)) << list;
    EXPECT_EQ(empty.DeviceReports, (std::vector<TDeviceReport>{{0, 0}})) << list;
    EXPECT_EQ(empty.Found.Count(), 0);
  }
  EXPECT_EQ(line.FrameCount(), 0u);
}

TEST_F(PlantScanTest, RangeUpTo65535Ends) {
  TSearch2Thread thread(&host, 10, false, "65534-65535");
  ASSERT_TRUE(host.Run(thread, 20000));
  EXPECT_EQ(host.DeviceReports, (std::vector<TDeviceReport>{{65534, 10}, {65535, 10}, {0, 0}}));
}

TEST_F(PlantScanTest, NumberListedTwiceIsAddedTwice) {
  TSearch2Thread thread(&host, 20, false, "102,102");
  ASSERT_TRUE(host.Run(thread));
  EXPECT_EQ(Found(), (std::vector<std::pair<int, int>>{{102, 20}, {102, 21}}));
  EXPECT_EQ(line.Device(1).Address, 21);
}

TEST_F(PlantScanTest, StopEndsAfterThePlantNumberInWork) {
  TSearch2Thread thread(&host, 10, false, "100,102");
  line.SetFrameListener([&](const TSimFrame& f) {
    if (f.Bytes.size() > 1 && f.Bytes[1] == kCmdWriteAddress) thread.Terminate();
  });
  ASSERT_TRUE(host.Run(thread));
  // The device in work took its address, was read and handed over.
  EXPECT_EQ(Found(), (std::vector<std::pair<int, int>>{{100, 10}}));
  EXPECT_EQ(host.Found[0]->SensorCount(), line.Device(0).SensorCount());
  EXPECT_EQ(host.DeviceReports, (std::vector<TDeviceReport>{{0, 0}}));
  EXPECT_EQ(line.Device(1).Address, 2);
}

// --- End address and fast scan ---------------------------------------------------------------

namespace {

// (plant number, address, sensor count) of each device found, in order.
std::vector<std::tuple<int, int, int>> FoundDevices(const TScanTestHost& host) {
  std::vector<std::tuple<int, int, int>> found;
  for (int i = 0; i < host.Found.Count(); ++i)
    found.emplace_back(host.Found[i]->PlantNumber(), host.Found[i]->SystemAddress(),
                       host.Found[i]->SensorCount());
  return found;
}

// (plant number, address) of each device found, as text.
std::string PlantsAndAddresses(const TScanTestHost& host) {
  std::string text;
  for (int i = 0; i < host.Found.Count(); ++i)
    text += std::to_string(host.Found[i]->PlantNumber()) + "@" +
            std::to_string(host.Found[i]->SystemAddress()) + " ";
  return text;
}

// Runs `attempt` up to three times until it reports nothing amiss. The virtual
// line shares the machine with the test: on a loaded machine its device
// thread can stall for longer than the fast probe allows, which reads as a
// device answering late. A fault of the scan shows in every try.
void ExpectInOneOfThreeTries(const std::function<std::string()>& attempt) {
  std::string amiss;
  for (int i = 0; i < 3; ++i) {
    amiss = attempt();
    if (amiss.empty()) return;
  }
  ADD_FAILURE() << amiss;
}

// Scans addresses 1..6 of a 9600-baud line holding a clean device, one that
// answers late within the probe's allowance, one that refuses every request,
// one later than the probe waits (but within the pause after it), nothing at
// 5 and a clean device at 6. Returns what was found.
std::string ScanMixedLine(TDeviceProtocol protocol, bool fast, TVirtualLine& line) {
  line.SetPacing(9600);
  line.AddDevice(SimDevice(1, 11, protocol));
  const int late = line.AddDevice(SimDevice(2, 12, protocol));
  const int refusing = line.AddDevice(SimDevice(3, 13, protocol));
  const int later = line.AddDevice(SimDevice(4, 14, protocol));
  line.AddDevice(SimDevice(6, 16, protocol));
  line.Modify(late, [](TSimDevice& d) { d.Faults.DelayMs = kFastAnswerDelayMs - 10; });
  line.Modify(refusing, [](TSimDevice& d) { d.Faults.ErrorCode = 1; });
  line.Modify(later, [](TSimDevice& d) { d.Faults.DelayMs = 60; });
  TScanTestHost host(line, protocol);
  // The main window's read limits: a long answer is read to its end.
  host.ComPort().Timeouts().SetReadInterval(50);
  host.ComPort().Timeouts().SetReadTotalMultiplier(2);
  TSearchThread thread(&host, 1, {6, fast});
  EXPECT_TRUE(host.Run(thread));
  EXPECT_EQ(host.Percents, (std::vector<int>{28, 42, 57, 71, 85, 100}));
  return PlantsAndAddresses(host);
}

}  // namespace

TEST(FastScanTest, FindsExactlyWhatTheNormalScanFinds) {
  for (TDeviceProtocol protocol : {dpLargis1, dpModbus}) {
    SCOPED_TRACE(protocol == dpModbus ? "Modbus" : "native");
    const std::uint8_t identification = protocol == dpModbus ? 0x2B : kCmdIdentification;
    TVirtualLine normalLine;
    const std::string normal = ScanMixedLine(protocol, false, normalLine);
    EXPECT_EQ(normal, "11@1 12@2 14@4 16@6 ");
    EXPECT_EQ(CountFrames(normalLine, 5, identification), 3);
    ExpectInOneOfThreeTries([&] {
      TVirtualLine line;
      const std::string fast = ScanMixedLine(protocol, true, line);
      // One probe where nothing came; the ordinary three tries after the
      // refusal; one ordinary try after the late answer heard in the pause
      // (a Modbus answer heard only at the next address would be taken for
      // a device there).
      const int silent = CountFrames(line, 5, identification);
      const int refused = CountFrames(line, 3, identification);
      const int late = CountFrames(line, 4, identification);
      if (fast == normal && silent == 1 && refused == 1 + 3 && late <= 1 + 1) return std::string();
      return "found " + fast + "; identifications at 5, 3, 4: " + std::to_string(silent) + ", " +
             std::to_string(refused) + ", " + std::to_string(late);
    });
  }
}

TEST(FastScanTest, ReprobesGarbageAndCollisions) {
  ExpectInOneOfThreeTries([] {
    TVirtualLine line;
    line.SetCollisions(true);
    const int noisy = line.AddDevice(SimDevice(1, 21));
    line.Modify(noisy, [](TSimDevice& d) {
      d.Faults.Garbage = {0x01, 0x20, 0x99};
      d.Faults.Remaining = 1;
    });
    line.AddDevice(SimDevice(2, 22));  // two devices at one address
    line.AddDevice(SimDevice(2, 23));
    TScanTestHost host(line);
    TSearchThread thread(&host, 1, {2, true});
    EXPECT_TRUE(host.Run(thread));
    // Garbage, then the ordinary try; a collision, then three ordinary ones.
    const std::string found = PlantsAndAddresses(host);
    const int noisyTries = CountFrames(line, 1, kCmdIdentification);
    const int collided = CountFrames(line, 2, kCmdIdentification);
    if (found == "21@1 " && noisyTries == 2 && collided == 1 + 3) return std::string();
    return "found " + found + "; identifications at 1, 2: " + std::to_string(noisyTries) + ", " +
           std::to_string(collided);
  });
}

TEST(AddressScanTest, EndAddressIsTheLastProbedInBothProtocols) {
  {
    TVirtualLine line;
    line.AddDevice(SimDevice(251, 1001));
    line.AddDevice(SimDevice(253, 1003));
    TScanTestHost host(line);
    TSearchThread thread(&host, 250, {252, false});
    ASSERT_TRUE(host.Run(thread));
    EXPECT_EQ(FoundDevices(host),
              (std::vector<std::tuple<int, int, int>>{{1001, 251, line.Device(0).SensorCount()}}));
    EXPECT_EQ(host.Percents, (std::vector<int>{99, 99, 100}));
    EXPECT_EQ(CountFrames(line, 253, kCmdIdentification), 0);
  }
  {
    TVirtualLine line;
    line.AddDevice(SimDevice(2, 2002, dpModbus));
    line.AddDevice(SimDevice(3, 2003, dpModbus));
    TScanTestHost host(line, dpModbus);
    TSearchThread thread(&host, 1, {2, true});
    ASSERT_TRUE(host.Run(thread));
    EXPECT_EQ(FoundDevices(host),
              (std::vector<std::tuple<int, int, int>>{{2002, 2, line.Device(0).SensorCount()}}));
    EXPECT_EQ(host.Percents, (std::vector<int>{66, 100}));
    EXPECT_EQ(CountFrames(line, 3, 0x2B), 0);
  }
  // An end below the start probes the start address alone; outside 1..254
  // it is 254.
  EXPECT_EQ(TSearchThread(nullptr, 20, {10, false}).EndAddress(), 20);
  EXPECT_EQ(TSearchThread(nullptr, 20, {0, false}).EndAddress(), 254);
  EXPECT_EQ(TSearchThread(nullptr, 20, {300, false}).EndAddress(), 254);
}

TEST_F(PlantScanTest, FastScanStopsAfterTheEndAddress) {
  // The line answers at once: the probe's allowance is far off.
  TSearch2Thread thread(&host, 10, false, "100-102, 200", {11, true});
  ASSERT_TRUE(host.Run(thread));
  EXPECT_EQ(Found(), (std::vector<std::pair<int, int>>{{100, 10}, {102, 11}}));
  EXPECT_EQ(host.DeviceReports, (std::vector<TDeviceReport>{{100, 11}, {101, 11}, {0, 0}}));
  EXPECT_EQ(line.Device(2).Requests, 0);  // 200: never asked
  EXPECT_EQ(host.Found[0]->SensorCount(), line.Device(0).SensorCount());
}
