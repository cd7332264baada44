// The frame decoder against the worked frames of both protocols and against
// corrupted frames; the frame ring's bound; the recorder and the statistics
// on the virtual line with injected faults.
#include <gtest/gtest.h>

#include <random>

#include "LineFixture.h"
#include "TrafficRecorder.h"

namespace {

std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> body) {
  const std::uint16_t crc = Crc16(body.data(), 0, static_cast<int>(body.size()));
  body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  body.push_back(static_cast<std::uint8_t>(crc >> 8));
  return body;
}

TFrameRecord Sent(std::vector<std::uint8_t> bytes, TParityBits first, TParityBits rest) {
  TFrameRecord f;
  f.Direction = 'T';
  f.FirstParity = first;
  f.RestParity = rest;
  f.Bytes = std::move(bytes);
  return f;
}

TFrameRecord Answer(std::vector<std::uint8_t> bytes, std::vector<std::uint8_t> request,
                    TFrameProtocol protocol) {
  TFrameRecord f;
  f.Direction = 'R';
  f.Protocol = protocol;
  f.Bytes = std::move(bytes);
  f.RequestLength = static_cast<std::uint8_t>(std::min<std::size_t>(8, request.size()));
  std::copy_n(request.begin(), f.RequestLength, f.Request.begin());
  return f;
}

struct TWorkedFrame {
  TFrameRecord Frame;
  const char* Expected;  // what the description must contain
};

std::vector<TWorkedFrame> WorkedFrames() {
  const std::vector<std::uint8_t> temps = {0x05, 0x01, 0x02, 0x02, 0xD1, 0x89};
  const std::vector<std::uint8_t> level = WithCrc({0x05, 0x01, 0x02, 0x01});
  const std::vector<std::uint8_t> poll = {0x05, 0x04, 0x00, 0x00, 0x00, 0x2D, 0x31, 0x93};
  std::vector<std::uint8_t> data = {0x05, 0x04, 90};
  for (int r = 0; r < 45; ++r) {
    std::uint16_t v = 0;
    if (r == 5) v = 0x4145;  // 12.34 m, high word
    if (r == 6) v = 0x70A4;
    if (r == 14) v = 2;
    if (r == 15) v = 0x0198;
    if (r == 16) v = 0xFFCC;
    data.push_back(static_cast<std::uint8_t>(v >> 8));
    data.push_back(static_cast<std::uint8_t>(v & 0xFF));
  }
  return {
      {Sent(temps, prMark, prSpace), "Ларгис-1, адрес 5: Чтение показаний температуры"},
      {Answer({0x05, 0x01, 0x07, 0x01, 0x98, 0xFF, 0xCC, 0xAA, 0xAA, 0xAC, 0x55}, temps,
              TFrameProtocol::Native),
       "показания температуры; 3 датчика: 25.50 -3.25 ****"},
      {Answer(WithCrc({0x05, 0x01, 0x06, 0x0F, 0xA0, 0x00, 0x7B, 0x12}), level,
              TFrameProtocol::Native),
       "данные уровнемера; код 4000, уровень 123 дм, флаги 0x12"},
      {Sent({0x05, 0x20, 0x01, 0xB9, 0xC1}, prMark, prSpace),
       "адрес 5: Чтение идентификации устройства"},
      {Answer(WithCrc({0x05, 0x20, 0x06, 0x06, 0x04, 0xD2, 0x02, 0x0E}), {0x05, 0x20, 0x01},
              TFrameProtocol::Native),
       "тип 6, зав. № 1234, аппаратная версия 2, версия ПО 14"},
      {Sent({0xFF, 0x25, 0x05, 0x06, 0x04, 0xD2, 0x07, 0x83, 0x11}, prMark, prSpace),
       "всем: Запись системного адреса; зав. № 1234 → адрес 7"},
      {Sent({0xFF, 0xB1, 0x03, 0x03, 0xAA, 0x67, 0xA7}, prMark, prSpace),
       "всем: Изменить протокол на Modbus"},
      {Answer(WithCrc({0x05, 0xFA, 0x02, 0x1F}), temps, TFrameProtocol::Native),
       "ошибка; код 0x1F"},
      {Sent(poll, prEven, prEven), "Modbus, адрес 5: Чтение данных; входные регистры 0–44"},
      {Answer(WithCrc(data), poll, TFrameProtocol::Modbus),
       "уровень 12.34 м, 2 датчика: 25.50 -3.25"},
      {Sent({0x05, 0x04, 0x00, 0x0E, 0x00, 0x01, 0x51, 0x8D}, prEven, prEven),
       "Чтение числа датчиков; входные регистры 14"},
      {Sent({0x00, 0x10, 0x03, 0xEA, 0x00, 0x01, 0x02, 0x00, 0x55, 0x4E, 0x35}, prEven, prEven),
       "Modbus, всем: Изменить протокол на Ларгис-1; регистры хранения 1002: 0x0055"},
      {Answer(WithCrc({0x05, 0x84, 0x02}), poll, TFrameProtocol::Modbus),
       "исключение; функция 0x04, код 0x02"},
      {Sent(WithCrc({0x05, 0x10, 0x03, 0xE8, 0x00, 0x02, 0x04, 0x41, 0x48, 0x00, 0x00}), prEven,
            prEven),
       "Запись неизмеряемого уровня; регистры хранения 1000–1001: 12.50 м"},
      // Neither parity nor a request says what a frame is: its shape does.
      {Answer(WithCrc({0x05, 0x01, 0x07, 0x01, 0x98, 0xFF, 0xCC, 0xAA, 0xAA}), {},
              TFrameProtocol::Unknown),
       "Ларгис-1, адрес 5: показания температуры"},
      {Sent({0x05, 0x01, 0x02, 0x02, 0xD1, 0x88}, prMark, prSpace), "(неверная CRC)"},
  };
}

}  // namespace

TEST(FrameDecoder, WorkedFramesOfBothProtocolsReadAsTheyShould) {
  for (const TWorkedFrame& w : WorkedFrames()) {
    const std::string text = DescribeFrame(w.Frame);
    EXPECT_NE(text.find(w.Expected), std::string::npos)
        << FrameHex(w.Frame.Bytes.data(), w.Frame.Bytes.size()) << "\n  gave: " << text;
  }
  // The line shows the parities, the pause and the exchange's result.
  TFrameRecord f = WorkedFrames()[0].Frame;
  f.PauseUs = 2150;
  f.Result = InternText("Нет связи с прибором");
  const std::string line = FrameLine(f);
  EXPECT_NE(line.find("[M|S 2.1 мс] 05 01 02 02 D1 89"), std::string::npos) << line;
  EXPECT_NE(line.find("|  Нет связи с прибором"), std::string::npos) << line;
}

TEST(FrameDecoder, CorruptedCutAndRandomFramesStillGiveAReadableLine) {
  std::mt19937 random(7);
  for (const TWorkedFrame& w : WorkedFrames()) {
    const TFrameRecord& whole = w.Frame;
    for (std::size_t n = 0; n <= whole.Bytes.size(); ++n) {
      TFrameRecord cut = whole;
      cut.Bytes.resize(n);  // the buffer is exactly n bytes: ASan sees any overread
      cut.Bytes.shrink_to_fit();
      EXPECT_FALSE(FrameLine(cut).empty());
      EXPECT_FALSE(DescribeFrame(cut).empty());
    }
    for (std::size_t i = 0; i < whole.Bytes.size(); ++i) {
      TFrameRecord flipped = whole;
      flipped.Bytes[i] ^= static_cast<std::uint8_t>(1 + random() % 255);
      const std::string text = DescribeFrame(flipped);
      EXPECT_FALSE(text.empty());
      const bool crcBroken =
          flipped.Bytes.size() >= 4 &&
          !TTransaction::CrcValid(flipped.Bytes.data(), static_cast<int>(flipped.Bytes.size()));
      if (crcBroken) {
        EXPECT_NE(text.find("неверная CRC"), std::string::npos) << text;
      }
    }
  }
  for (int k = 0; k < 2000; ++k) {
    TFrameRecord f;
    f.Direction = k % 2 ? 'T' : 'R';
    f.FirstParity = static_cast<TParityBits>(k % 5);
    f.Protocol = static_cast<TFrameProtocol>(k % 4);
    f.Bytes.resize(random() % 300);
    for (auto& b : f.Bytes) b = static_cast<std::uint8_t>(random());
    f.RequestLength = static_cast<std::uint8_t>(random() % 9);
    for (auto& b : f.Request) b = static_cast<std::uint8_t>(random());
    EXPECT_FALSE(FrameLine(f).empty());
  }
}

TEST(FrameRing, KeepsItsBoundAndHandsOutInOrder) {
  TFrameRing ring(1000);
  for (int i = 0; i < 2500; ++i) {
    TFrameRecord f;
    f.Bytes = {static_cast<std::uint8_t>(i)};
    ring.Push(std::move(f));
  }
  EXPECT_EQ(ring.Size(), 1000u);
  EXPECT_EQ(ring.Trimmed(), 1500u);
  EXPECT_EQ(ring.LastSeq(), 2500u);
  auto all = ring.Since(0, 100000);
  ASSERT_EQ(all.size(), 1000u);
  EXPECT_EQ(all.front()->Seq, 1501u);
  EXPECT_EQ(all.back()->Seq, 2500u);
  auto some = ring.Since(2400, 30);
  ASSERT_EQ(some.size(), 30u);
  EXPECT_EQ(some.front()->Seq, 2401u);
  EXPECT_TRUE(ring.Since(2500, 10).empty());
  EXPECT_EQ(ring.Last(3).front()->Seq, 2498u);
  ring.SetCapacity(10);
  EXPECT_EQ(ring.Size(), 10u);
  ring.Clear();
  EXPECT_EQ(ring.Size(), 0u);
  ring.Push({});
  EXPECT_EQ(ring.LastSeq(), 2501u);  // numbering goes on after a clear
}

class RecorderLine : public LineTest {
 protected:
  TFrameRing ring;
  TLineStatistics statistics;
  TTrafficRecorder recorder{&ring, &statistics};
  void SetUp() override {
    LineTest::SetUp();
    recorder.Attach(port);
  }
  const TDeviceStatistics* Of(const std::vector<TDeviceStatistics>& all, int address) {
    for (const auto& s : all)
      if (s.Address == address) return &s;
    return nullptr;
  }
};

TEST_F(RecorderLine, StatisticsAndFramesOfARunWithInjectedFaults) {
  // Three native devices: one sound, one with three bad CRCs, one silent.
  AddDevice(1, 1201, dpLargis1);
  const int noisy = AddDevice(2, 1202, dpLargis1);
  const int silent = AddDevice(3, 1203, dpLargis1);
  SetFaults(noisy, [](TSimFaults& f) {
    f.BadCrc = true;
    f.Remaining = 3;
  });
  SetFaults(silent, [](TSimFaults& f) { f.Silent = true; });
  TDevice devices[3];
  for (int i = 0; i < 3; ++i) {
    devices[i].SetName("Силос " + std::to_string(i + 1));
    devices[i].SetSystemAddress(static_cast<std::uint8_t>(i + 1));
    devices[i].SetPlantNumber(static_cast<std::uint16_t>(1201 + i));
    devices[i].SetSensorCount(3);
  }
  TLevelTransaction level(&port);
  TTemperatureTransaction temperatures(&port);
  constexpr int kCycles = 3;
  for (int c = 0; c < kCycles; ++c)
    for (TDevice& d : devices) {
      level.Execute(&d);
      temperatures.Execute(&d);
    }
  const auto all = statistics.Snapshot();
  ASSERT_EQ(all.size(), 3u);
  const TDeviceStatistics* sound = Of(all, 1);
  ASSERT_TRUE(sound);
  EXPECT_EQ(sound->Name, "Силос 1");
  EXPECT_EQ(sound->Requests, 2u * kCycles);
  EXPECT_EQ(sound->Successes, 2u * kCycles);
  EXPECT_EQ(sound->Responses, 2u * kCycles);
  EXPECT_GT(sound->LastSuccessUs, 0);
  EXPECT_GE(sound->WorstResponseMs, sound->MeanResponseMs());
  const TDeviceStatistics* bad = Of(all, 2);
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->Requests, 2u * kCycles);
  EXPECT_EQ(bad->Successes, 2u * kCycles - 3);
  EXPECT_EQ(bad->Failures.at("Ошибка контрольной суммы"), 3u);
  const TDeviceStatistics* mute = Of(all, 3);
  ASSERT_TRUE(mute);
  EXPECT_EQ(mute->Successes, 0u);
  EXPECT_EQ(mute->Failures.at("Нет связи с прибором"), 2u * kCycles);
  EXPECT_EQ(mute->Responses, 0u);
  EXPECT_EQ(mute->LastSuccessUs, 0);

  // Every request is one frame with its discipline; answers carry the
  // exchange's result and a response time.
  const auto frames = ring.Since(0, 1000);
  int requests = 0, answers = 0, failedRequests = 0;
  for (const TFramePtr& f : frames) {
    ASSERT_TRUE(f->Operation && f->Result) << FrameLine(*f);
    if (f->Direction == 'T') {
      ++requests;
      EXPECT_EQ(f->Bytes.size(), 6u);
      EXPECT_EQ(f->FirstParity, prMark);
      EXPECT_EQ(f->RestParity, prSpace);
      EXPECT_GE(f->PauseUs, 2000);
      EXPECT_EQ(f->Protocol, TFrameProtocol::Native);
      failedRequests += f->Failed;
    } else {
      ++answers;
      EXPECT_GE(f->ResponseUs, 0);
      EXPECT_EQ(f->Address, f->Bytes[0]);
    }
  }
  EXPECT_EQ(requests, 6 * kCycles);
  EXPECT_EQ(answers, 4 * kCycles);  // the silent device answers nothing
  EXPECT_EQ(failedRequests, 3 + 2 * kCycles);
  statistics.Reset();
  EXPECT_TRUE(statistics.Snapshot().empty());
}

TEST_F(RecorderLine, ModbusFramesGoWithEvenParityAndDecodeAsModbus) {
  AddDevice(5, 1205, dpModbus);
  TModbusDataTransaction data(&port, dpModbus);
  device.SetSensorCount(3);
  ASSERT_TRUE(data.Execute(&device));
  const auto frames = ring.Since(0, 10);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0]->FirstParity, prEven);
  EXPECT_EQ(frames[0]->PauseUs, -1);
  EXPECT_NE(DescribeFrame(*frames[1]).find("Modbus, адрес 5: входные регистры; состояние"),
            std::string::npos)
      << DescribeFrame(*frames[1]);
  EXPECT_EQ(*frames[1]->Result, "Операция завершена успешно");
  // A read without all its temperatures succeeds, but counts as a failure.
  device.SetSensorCount(4);
  ASSERT_TRUE(data.Execute(&device));
  const auto stats = statistics.Snapshot();
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(stats[0].Successes, 1u);
  EXPECT_EQ(stats[0].Failures.at("Число датчиков в сообщении не совпадает с фактическим"), 1u);
  EXPECT_TRUE(ring.Since(2, 10).back()->Failed);
}
