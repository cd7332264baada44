// Value conversions of the Modbus register map: big-endian IEEE-754 floats in
// metres against the device record's 16-bit decimetres, and the decimal texts
// of the identification answer.
#pragma once

#include <cstdint>

// The four frame bytes, most significant first, as a float.
float ReadFloatBE(const std::uint8_t* p);
void WriteFloatBE(std::uint8_t* p, float value);

// metres × 10 rounded to the nearest integer, halves to even. False (and
// `decimetres` untouched) when the float is not finite or the result does not
// fit 0..65535.
bool MetresToDecimetres(float metres, std::uint16_t& decimetres);
// decimetres / 10 as the float the device takes.
float DecimetresToMetres(std::uint16_t decimetres);

// A decimal integer written in `count` characters: optional spaces around an
// optional sign and digits. 0 when the text is not a valid integer (also on
// overflow of 32 bits).
long ParseDecimalField(const std::uint8_t* text, int count);
