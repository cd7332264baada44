#include "Crc16.h"

std::uint16_t Crc16(const std::uint8_t* data, int start, int count) {
  std::uint16_t crc = 0xFFFF;
  for (int i = start; i < start + count; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      const bool carry = (crc & 1) != 0;
      crc >>= 1;
      if (carry) crc ^= 0xA001;
    }
  }
  return crc;
}
