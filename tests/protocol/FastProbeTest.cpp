// The line scan's fast probe against the virtual line paced at 9600 baud:
// what it makes of good answers, late ones, broken ones and silence.
#include "FastProbe.h"
#include "LineFixture.h"

namespace {

struct TProbeCase {
  const char* What;
  TDeviceProtocol Protocol;
  std::function<void(TSimFaults&)> Faults;
  TProbeOutcome Expected;
};

}  // namespace

TEST_F(LineTest, FastIdentificationProbeTellsAnswerGarbageAndSilence) {
  line.SetPacing(9600);
  const auto none = [](TSimFaults&) {};
  const TProbeCase cases[] = {
      {"native, at once", dpLargis1, none, TProbeOutcome::Answered},
      {"native, late within the allowance", dpLargis1,
       [](TSimFaults& f) { f.DelayMs = kFastAnswerDelayMs - 5; }, TProbeOutcome::Answered},
      {"Modbus, late within the allowance", dpModbus,
       [](TSimFaults& f) { f.DelayMs = kFastAnswerDelayMs - 5; }, TProbeOutcome::Answered},
      {"native error answer", dpLargis1, [](TSimFaults& f) { f.ErrorCode = 1; },
       TProbeOutcome::Garbled},
      {"Modbus exception", dpModbus, [](TSimFaults& f) { f.ErrorCode = 1; },
       TProbeOutcome::Garbled},
      {"native bad CRC", dpLargis1, [](TSimFaults& f) { f.BadCrc = true; }, TProbeOutcome::Garbled},
      {"Modbus cut short", dpModbus, [](TSimFaults& f) { f.ShortBy = 20; }, TProbeOutcome::Garbled},
      {"garbage", dpLargis1,
       [](TSimFaults& f) {
         f.Garbage = {0x13, 0x37};
       },
       TProbeOutcome::Garbled},
      {"native silent", dpLargis1, [](TSimFaults& f) { f.Silent = true; }, TProbeOutcome::Silent},
      {"Modbus silent", dpModbus, [](TSimFaults& f) { f.Silent = true; }, TProbeOutcome::Silent},
      {"native, later than the probe waits", dpLargis1, [](TSimFaults& f) { f.DelayMs = 150; },
       TProbeOutcome::Silent},
  };
  std::uint16_t plant = 3000;
  for (const TProbeCase& c : cases) {
    SCOPED_TRACE(c.What);
    const int i = AddDevice(static_cast<std::uint8_t>(line.DeviceCount() + 1), ++plant, c.Protocol);
    SetFaults(i, c.Faults);
    TFastIdentificationTransaction probe(&port, c.Protocol);
    EXPECT_EQ(static_cast<int>(probe.Probe(&device)), static_cast<int>(c.Expected))
        << device.LastResult;
    if (c.Expected == TProbeOutcome::Answered) {
      EXPECT_EQ(probe.PlantNumber(), plant);
      EXPECT_EQ(device.LastOperation, "Чтение идентификации устройства");
      EXPECT_EQ(device.LastResult, "Операция завершена успешно");
    }
    // Whatever is still on its way must not reach the next case.
    ListenUntilQuiet(port, 200, kFastQuietMs);
  }
}

TEST_F(LineTest, FastProbeFramesAreTheOrdinaryOnes) {
  line.SetPacing(9600);
  AddDevice(5, 1234, dpLargis1);
  TFastIdentificationTransaction identification(&port);
  ASSERT_EQ(identification.Probe(&device), TProbeOutcome::Answered);
  EXPECT_EQ(Hex(NextFrame().Bytes), "05 20 01 B9 C1");

  // The address write by plant number, heard by every device on the line.
  device.SetSystemAddress(7);
  TFastWriteAddressTransaction address(&port);
  ASSERT_EQ(address.Probe(&device), TProbeOutcome::Answered) << device.LastResult;
  EXPECT_EQ(Hex(NextFrame().Bytes), "FF 25 05 06 04 D2 07 83 11");
  EXPECT_EQ(line.Device(0).Address, 7);
  device.SetPlantNumber(999);  // nobody has it
  EXPECT_EQ(address.Probe(&device), TProbeOutcome::Silent);

  // Closed port: nothing sent, nothing listened to.
  port.Close();
  EXPECT_EQ(identification.Probe(&device), TProbeOutcome::Silent);
  EXPECT_EQ(ListenUntilQuiet(port, 50, 20), -1);
}

TEST_F(LineTest, ListeningHearsALateAnswerAndWaitsForQuiet) {
  line.SetPacing(9600);
  const int i = AddDevice(3, 77, dpModbus);
  SetFaults(i, [](TSimFaults& f) { f.DelayMs = 60; });
  TFastIdentificationTransaction probe(&port, dpModbus);
  EXPECT_EQ(probe.Probe(&device), TProbeOutcome::Silent);
  // The 63-byte answer comes during the pause and is read to its end.
  EXPECT_EQ(ListenUntilQuiet(port, 50, kFastQuietMs), 63);
  EXPECT_EQ(ListenUntilQuiet(port, 30, kFastQuietMs), 0);
}
