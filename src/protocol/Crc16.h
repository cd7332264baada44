// CRC-16 as in Modbus RTU: initial 0xFFFF, reflected polynomial 0xA001, no
// final XOR; sent low byte first. Used by both device protocols.
#pragma once

#include <cstdint>

std::uint16_t Crc16(const std::uint8_t* data, int start, int count);
