#pragma once

#include <cstdint>

// The protocol a device (and the line) speaks.
enum TDeviceProtocol : std::uint8_t { dpLargis1 = 0, dpModbus = 1 };
