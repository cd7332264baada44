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

// A loaded machine can hold either end of the line past the probe's
// allowance, so an answer is given a few tries (silence is not: it needs
// none). A probe that misreads answers fails every try.
template <class TProbe>
TProbeOutcome ProbeFor(TProbeOutcome expected, TProbe& probe, TDevice* device, TComPort& port) {
  TProbeOutcome got = probe.Probe(device);
  for (int i = 1; i < 3 && got != expected && expected != TProbeOutcome::Silent; ++i) {
    ListenUntilQuiet(port, 300, kFastQuietMs);
    got = probe.Probe(device);
  }
  return got;
}

}  // namespace

TEST_F(LineTest, FastIdentificationProbeTellsAnswerGarbageAndSilence) {
  line.SetPacing(9600);
  const auto none = [](TSimFaults&) {};
  const TProbeCase cases[] = {
      {"native, at once", dpLargis1, none, TProbeOutcome::Answered},
      {"native, late within the allowance", dpLargis1,
       [](TSimFaults& f) { f.DelayMs = kFastAnswerDelayMs - 10; }, TProbeOutcome::Answered},
      {"Modbus, late within the allowance", dpModbus,
       [](TSimFaults& f) { f.DelayMs = kFastAnswerDelayMs - 10; }, TProbeOutcome::Answered},
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
    EXPECT_EQ(static_cast<int>(ProbeFor(c.Expected, probe, &device, port)),
              static_cast<int>(c.Expected))
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
  const auto LastRequest = [&] { return Hex(line.Frames().back().Bytes); };
  TFastIdentificationTransaction identification(&port);
  ASSERT_EQ(ProbeFor(TProbeOutcome::Answered, identification, &device, port),
            TProbeOutcome::Answered);
  EXPECT_EQ(LastRequest(), "05 20 01 B9 C1");

  // The address write by plant number, heard by every device on the line.
  device.SetSystemAddress(7);
  TFastWriteAddressTransaction address(&port);
  ASSERT_EQ(ProbeFor(TProbeOutcome::Answered, address, &device, port), TProbeOutcome::Answered)
      << device.LastResult;
  EXPECT_EQ(LastRequest(), "FF 25 05 06 04 D2 07 83 11");
  EXPECT_EQ(line.Device(0).Address, 7);
  device.SetPlantNumber(999);  // nobody has it
  EXPECT_EQ(address.Probe(&device), TProbeOutcome::Silent);

  // Closed port: nothing sent, nothing listened to.
  port.Close();
  EXPECT_EQ(identification.Probe(&device), TProbeOutcome::Silent);
  EXPECT_EQ(ListenUntilQuiet(port, 50, 20), -1);
}

TEST_F(LineTest, FastModbusProbeTakesNoAnswerFromAnotherAddress) {
  AddDevice(1, 71, dpModbus);
  TFastIdentificationTransaction probe(&port, dpModbus);
  ASSERT_EQ(ProbeFor(TProbeOutcome::Answered, probe, &device, port), TProbeOutcome::Answered);
  const Bytes fromAddressOne = line.Frames().back().Answer;
  // A device at 2 whose answer is the one from address 1, as when a late
  // answer runs into the next probe.
  const int i = AddDevice(2, 72, dpModbus);
  SetFaults(i, [&](TSimFaults& f) { f.Garbage = fromAddressOne; });
  EXPECT_EQ(ProbeFor(TProbeOutcome::Garbled, probe, &device, port), TProbeOutcome::Garbled);
  EXPECT_EQ(device.SystemAddress(), 2);
}

TEST_F(LineTest, ListeningHearsALateAnswerAndWaitsForQuiet) {
  line.SetPacing(9600);
  const int i = AddDevice(3, 77, dpModbus);
  SetFaults(i, [](TSimFaults& f) { f.DelayMs = 250; });
  TFastIdentificationTransaction probe(&port, dpModbus);
  EXPECT_EQ(probe.Probe(&device), TProbeOutcome::Silent);
  // The 63-byte answer comes after the probe has given up and is read to its
  // end, a byte about every millisecond.
  EXPECT_EQ(ListenUntilQuiet(port, 1000, kFastQuietMs), 63);
  EXPECT_EQ(ListenUntilQuiet(port, 30, kFastQuietMs), 0);
}
