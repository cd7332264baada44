// CRC, frame building and the common answer check, on byte vectors.
#include <gtest/gtest.h>

#include <cstring>

#include "ModbusRequests.h"
#include "NativeRequests.h"
#include "TestFrames.h"

TEST(Crc16Test, KnownVectors) {
  const char* text = "123456789";
  EXPECT_EQ(Crc16(reinterpret_cast<const std::uint8_t*>(text), 0, 9), 0x4B37);
  const std::uint8_t poll[] = {0x01, 0x04, 0x00, 0x00, 0x00, 0x2D};
  EXPECT_EQ(Crc16(poll, 0, 6), 0x1730);
  const std::uint8_t empty[] = {0};
  EXPECT_EQ(Crc16(empty, 0, 0), 0xFFFF);
  // Start offset: the CRC of a tail equals the CRC of the same bytes alone.
  const std::uint8_t padded[] = {0xEE, 0x01, 0x01, 0x02, 0x02};
  EXPECT_EQ(Crc16(padded, 1, 4), 0xB9D0);
}

TEST(Crc16Test, BuildFrameAppendsCrcLowByteFirst) {
  std::uint8_t frame[16] = {};
  const std::uint8_t poll[] = {0x01, 0x04, 0x00, 0x00, 0x00, 0x2D};
  ASSERT_EQ(TTransaction::BuildFrame(frame, poll, 6), 8);
  EXPECT_EQ(Bytes(frame, frame + 8), (Bytes{0x01, 0x04, 0x00, 0x00, 0x00, 0x2D, 0x30, 0x17}));
  const std::uint8_t coil[] = {0x01, 0x01, 0x02, 0x02};
  ASSERT_EQ(TTransaction::BuildFrame(frame, coil, 4), 6);
  EXPECT_EQ(Bytes(frame, frame + 6), (Bytes{0x01, 0x01, 0x02, 0x02, 0xD0, 0xB9}));
}

TEST(Crc16Test, CrcValid) {
  const Bytes good{0x01, 0x01, 0x02, 0x02, 0xD0, 0xB9};
  EXPECT_TRUE(TTransaction::CrcValid(good.data(), 6));
  Bytes swapped = good;
  std::swap(swapped[4], swapped[5]);
  EXPECT_FALSE(TTransaction::CrcValid(swapped.data(), 6));
  // Fewer than 3 bytes never pass, even 2 bytes that are the CRC of nothing.
  const Bytes crcOfNothing{0xFF, 0xFF};
  EXPECT_FALSE(TTransaction::CrcValid(crcOfNothing.data(), 2));
  EXPECT_FALSE(TTransaction::CrcValid(good.data(), 0));
  const Bytes three = WithCrc({0x42});
  EXPECT_TRUE(TTransaction::CrcValid(three.data(), 3));
}

TEST(ResultTextTest, TableAndProtocolErrorFormats) {
  EXPECT_STREQ(ResultText(rtSuccess), "Операция завершена успешно");
  EXPECT_STREQ(ResultText(rtNoLink), "Нет связи с прибором");
  EXPECT_STREQ(ResultText(rtChecksumError), "Ошибка контрольной суммы");
  EXPECT_STREQ(ResultText(rtProtocolError), "Ошибка протокола");
  EXPECT_STREQ(ResultText(rtFrameError), "Ошибка фрейма");
  EXPECT_STREQ(ResultText(rtUnknownError), "Неизвестная ошибка");
  EXPECT_STREQ(ResultText(rtSensorCountMismatch),
               "Число датчиков в сообщении не совпадает с фактическим");
  EXPECT_EQ(ProtocolErrorText(0x1F), "Ошибка протокола код 0x1F");
  EXPECT_EQ(ProtocolErrorText(0x0a), "Ошибка протокола код 0x0A");
  EXPECT_EQ(UnknownProtocolErrorText(), "Ошибка протокола код неизвестен");
}

class CheckAnswerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device.SetSensorCount(3);
    std::uint16_t* t = device.LockTemperatures();
    t[0] = 0x0190;
    device.UnlockTemperatures();
  }
  bool Check(TTransaction& t, const Bytes& answer, std::uint8_t command, int expected) {
    t.Device = &device;
    const bool ok =
        t.CheckAnswer(answer.data(), static_cast<int>(answer.size()), command, expected);
    t.Device = nullptr;
    return ok;
  }
  bool TemperaturesCleared() const {
    return device.TemperaturesSnapshot()[0] == kNoDataTemperature;
  }
  TDevice device;
};

TEST_F(CheckAnswerTest, ShortOrCorruptAnswersClearTemperatures) {
  TLevelTransaction t(nullptr);
  // Four bytes with a correct CRC are still no link.
  EXPECT_FALSE(Check(t, WithCrc({0x05, 0x01}), 0x01, 4));
  EXPECT_EQ(device.LastResult, "Нет связи с прибором");
  EXPECT_TRUE(TemperaturesCleared());

  SetUp();
  EXPECT_FALSE(Check(t, {0x05, 0xB1, 0x01, 0x00, 0x00}, 0xB1, 5));
  EXPECT_EQ(device.LastResult, "Ошибка контрольной суммы");
  EXPECT_TRUE(TemperaturesCleared());
}

TEST_F(CheckAnswerTest, CommandAndLength) {
  TLevelTransaction t(nullptr);
  EXPECT_TRUE(Check(t, WithCrc({0x05, 0xB1, 0x01}), 0xB1, 5));
  EXPECT_EQ(device.LastResult, "Операция завершена успешно");
  EXPECT_FALSE(Check(t, WithCrc({0x05, 0xB1, 0x01, 0x00}), 0xB1, 5));
  EXPECT_EQ(device.LastResult, "Ошибка фрейма");
  EXPECT_FALSE(TemperaturesCleared());  // only short and corrupt answers clear
  // The address byte and the native length byte are not examined.
  EXPECT_TRUE(Check(t, WithCrc({0x77, 0xB1, 0x99}), 0xB1, 5));
}

TEST_F(CheckAnswerTest, ErrorAnswersByProtocol) {
  const Bytes nativeError = WithCrc({0x05, 0xFA, 0x02, 0x1F});
  const Bytes exception = WithCrc({0x05, 0x84, 0x02});
  const Bytes otherCommand = WithCrc({0x05, 0x03, 0x02, 0x00});

  TModbusDataTransaction native(nullptr);  // Create(Port): dpLargis1
  ASSERT_EQ(native.Protocol(), dpLargis1);
  EXPECT_FALSE(Check(native, nativeError, 0x01, 10));
  EXPECT_EQ(device.LastResult, "Ошибка протокола код 0x1F");
  EXPECT_FALSE(Check(native, exception, 0x04, 95));
  EXPECT_EQ(device.LastResult, "Ошибка протокола код неизвестен");
  EXPECT_FALSE(Check(native, otherCommand, 0x04, 95));
  EXPECT_EQ(device.LastResult, "Ошибка протокола код неизвестен");

  TModbusDataTransaction modbus(nullptr, dpModbus);
  EXPECT_FALSE(Check(modbus, exception, 0x04, 95));
  EXPECT_EQ(device.LastResult, "Ошибка протокола код 0x02");
  EXPECT_FALSE(Check(modbus, nativeError, 0x01, 10));
  EXPECT_EQ(device.LastResult, "Ошибка протокола код неизвестен");
  EXPECT_FALSE(TemperaturesCleared());

  // Any other protocol value writes no text.
  TModbusDataTransaction other(nullptr, static_cast<TDeviceProtocol>(7));
  device.LastResult = "x";
  EXPECT_FALSE(Check(other, exception, 0x04, 95));
  EXPECT_EQ(device.LastResult, "x");
}

TEST(TransactionTest, ConstructionAndProtocolProperty) {
  TLevelTransaction a(nullptr);
  EXPECT_EQ(a.Protocol(), dpLargis1);
  EXPECT_FALSE(a.Broadcast);
  EXPECT_EQ(a.Device, nullptr);
  TLevelTransaction b(nullptr, dpModbus);
  EXPECT_EQ(b.Protocol(), dpModbus);
  b.SetProtocol(dpLargis1);
  EXPECT_EQ(b.Protocol(), dpLargis1);
}

TEST(TransactionTest, ExecuteWithoutPortTouchesNothing) {
  TDevice device;
  TTemperatureTransaction t(nullptr);
  EXPECT_FALSE(t.Execute(&device));
  EXPECT_EQ(device.LastOperation, "Не производилась");
  EXPECT_EQ(device.LastResult, "Не определен");
  TComPort closed;  // never opened
  TTemperatureTransaction u(&closed);
  EXPECT_FALSE(u.Execute(&device));
  EXPECT_FALSE(RunWithRetry(&u, &device, 3));
  EXPECT_EQ(device.LastOperation, "Не производилась");
  EXPECT_FALSE(RunWithRetry(nullptr, &device, 3));
}

TEST(TransactionTest, DecodeNeedsADeviceUnlessBroadcast) {
  const Bytes answer = WithCrc({0x05, 0xB1, 0x01});
  TWriteCoefficientTransaction write(nullptr);
  EXPECT_FALSE(write.DecodeAnswer(nullptr, answer.data(), 5));
  TSetProtocolModbus toModbus(nullptr);
  EXPECT_FALSE(toModbus.DecodeAnswer(nullptr, answer.data(), 5));
  toModbus.Broadcast = true;
  EXPECT_TRUE(toModbus.DecodeAnswer(nullptr, answer.data(), 0));
  TSetProtocolLargis1 toNative(nullptr);
  toNative.Broadcast = true;
  EXPECT_TRUE(toNative.DecodeAnswer(nullptr, nullptr, 0));
  // Out-of-range lengths are refused before any byte is read.
  TDevice device;
  EXPECT_FALSE(write.DecodeAnswer(&device, answer.data(), -1));
  EXPECT_FALSE(write.DecodeAnswer(&device, answer.data(), kAnswerBufferSize + 1));
}

TEST(ProcessMessagesHookTest, CalledOncePerExecuteOnlyWithAnOpenPort) {
  int calls = 0;
  SetProcessMessagesHook([&calls] { ++calls; });
  TDevice device;
  TLevelTransaction t(nullptr);
  t.Execute(&device);
  EXPECT_EQ(calls, 0);
  ProcessMessagesOnce();
  EXPECT_EQ(calls, 1);
  SetProcessMessagesHook({});
  ProcessMessagesOnce();
  EXPECT_EQ(calls, 1);
}
