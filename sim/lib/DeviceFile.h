// Device files of lim07-sim: a line of simulated devices described in JSON.
//
//   {
//     "devices": [
//       {
//         "name": "Силос 1",            text, optional
//         "address": 1,                 0..255, required
//         "plant": 1234,                0..65535, required
//         "protocol": "native",         "native" (default) or "modbus"
//         "hardware": 2, "software": 14,        versions, 0..255 (default 1)
//         "temperatures": [21.5, -3.25, "fault", "nodata", "0x55AA"],
//                                       degC, or "nodata" (DD DD), "fault"
//                                       (AA AA), "fault2" (55 AA), or a raw
//                                       word "0x...."; at most 32
//         "sensors": 8,                 0..32: that many sensors at about
//                                       20 degC when no temperatures are given
//                                       (must match them when both are)
//         "level": 12.34,               metres
//         "levelCode": 4000,            0..65535
//         "flags": 0,                   status word (bits 0,2,3 temperature,
//                                       1,4,5 level)
//         "calibration": {"c1": 4000, "nu": 5, "c2": 7000, "h2": 200},
//         "coefficient": 4,             1..255
//         "drift": true,                readings wander slowly
//         "baud": 19200,                the device's line speed: it hears only
//                                       frames sent at this rate (0, the
//                                       default: any rate)
//         "faults": {"silent": false, "badCrc": false, "errorCode": 31,
//                    "deviceType": 5, "sensorCount": 8, "shortBy": 2,
//                    "delayMs": 300, "garbage": "01 02 03", "remaining": 3}
//       }
//     ]
//   }
//
// A bare array of devices is accepted as well. Unknown fields are errors, so
// that a misspelt name does not pass unnoticed.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "VirtualLine.h"

// Errors carry where they are: "line 3, column 17: ..." for JSON syntax,
// "devices[1].address: expected an integer 0..255, got 300" for values.
class EDeviceFile : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::vector<TSimDevice> ParseDeviceFile(const std::string& text);
// Reads and parses a file; the message then starts with the file name.
std::vector<TSimDevice> LoadDeviceFile(const std::string& path);
