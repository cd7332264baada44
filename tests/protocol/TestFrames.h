// Helpers for building answer frames in tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "Transaction.h"

using Bytes = std::vector<std::uint8_t>;

// The bytes followed by their Crc16, low byte first.
inline Bytes WithCrc(Bytes bytes) {
  const std::uint16_t crc = Crc16(bytes.data(), 0, static_cast<int>(bytes.size()));
  bytes.push_back(LowByte(crc));
  bytes.push_back(HighByte(crc));
  return bytes;
}

inline bool Decode(TTransaction& t, TDevice& d, const Bytes& answer) {
  return t.DecodeAnswer(&d, answer.data(), static_cast<int>(answer.size()));
}

// A 95-byte answer to the Modbus data read: status, level float (4 bytes, most
// significant first), register 14 and the temperatures from register 15 on.
inline Bytes ModbusDataAnswer(std::uint8_t address, std::uint16_t status,
                              std::initializer_list<std::uint8_t> levelFloat,
                              std::uint16_t sensorRegister,
                              const std::vector<std::uint16_t>& temperatures) {
  Bytes b(93, 0);
  b[0] = address;
  b[1] = 0x04;
  b[2] = 90;
  b[3] = HighByte(status);
  b[4] = LowByte(status);
  int i = 13;
  for (std::uint8_t v : levelFloat) b[i++] = v;
  b[31] = HighByte(sensorRegister);
  b[32] = LowByte(sensorRegister);
  for (std::size_t k = 0; k < temperatures.size() && 33 + 2 * k + 1 < b.size(); ++k) {
    b[33 + 2 * k] = HighByte(temperatures[k]);
    b[34 + 2 * k] = LowByte(temperatures[k]);
  }
  return WithCrc(b);
}
