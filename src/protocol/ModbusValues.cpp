#include "ModbusValues.h"

#include <bit>
#include <cmath>
#include <cstring>

float ReadFloatBE(const std::uint8_t* p) {
  const std::uint32_t bits = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                             (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
  return std::bit_cast<float>(bits);
}

void WriteFloatBE(std::uint8_t* p, float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  p[0] = static_cast<std::uint8_t>(bits >> 24);
  p[1] = static_cast<std::uint8_t>(bits >> 16);
  p[2] = static_cast<std::uint8_t>(bits >> 8);
  p[3] = static_cast<std::uint8_t>(bits);
}

bool MetresToDecimetres(float metres, std::uint16_t& decimetres) {
  if (!std::isfinite(metres)) return false;
  // In double, so that 12.34f (12.3400001...) gives 123 and 0.25f gives 2.5
  // exactly, which nearbyint (default rounding: to nearest, ties to even)
  // turns into 2.
  const double rounded = std::nearbyint(static_cast<double>(metres) * 10.0);
  if (!(rounded >= 0.0 && rounded <= 65535.0)) return false;
  decimetres = static_cast<std::uint16_t>(rounded);
  return true;
}

float DecimetresToMetres(std::uint16_t decimetres) {
  return static_cast<float>(decimetres / 10.0);
}

long ParseDecimalField(const std::uint8_t* text, int count) {
  int i = 0;
  while (i < count && text[i] == ' ') ++i;
  bool negative = false;
  if (i < count && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long value = 0;
  int digits = 0;
  while (i < count && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + (text[i++] - '0');
    if (value > 0x7FFFFFFFL) return 0;
    ++digits;
  }
  while (i < count && text[i] == ' ') ++i;
  if (digits == 0 || i != count) return 0;
  return negative ? -value : value;
}
