// Frames as the traffic monitor and the command line's trace show them: one
// record per frame the program sent or received, and one decoder that turns
// its bytes into a readable line. Plain C++, no Qt.
//
// The decoder knows both line disciplines: a native ("Ларгис-1") request goes
// out as an address byte with mark parity, a pause, and the rest with space
// parity; a Modbus frame goes out whole with even parity. Answers carry no
// parity information on the receiving side; they are read in the light of the
// request they answer. The decoder never reads beyond the bytes it is given:
// any corrupted, cut or foreign frame still gives a readable line.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ComPort.h"

enum class TFrameProtocol : std::uint8_t { Unknown, Native, Modbus, XModem };

struct TFrameRecord {
  std::uint64_t Seq = 0;    // numbered by the ring, from 1
  std::int64_t TimeUs = 0;  // wall clock, microseconds since 1970 (UTC): handed to the driver
                            // (sent) or the first byte arrived (received)
  char Direction = 'T';     // 'T' sent, 'R' received
  TFrameProtocol Protocol = TFrameProtocol::Unknown;
  TParityBits FirstParity = prNone;  // sent: parity of the first byte
  TParityBits RestParity = prNone;   // sent: parity of the other bytes
  int PauseUs = -1;     // sent natively: from the address byte leaving to the rest going out
  int ResponseUs = -1;  // received: from the request's last byte sent to the answer's last byte
  int Address = -1;     // system address of the device of the exchange; -1 none (broadcast,
                        // or traffic outside an exchange)
  bool Failed = false;  // the exchange this frame belongs to failed
  // Interned texts of the exchange (see InternText); null outside an exchange.
  const std::string* Operation = nullptr;
  const std::string* Result = nullptr;
  std::vector<std::uint8_t> Bytes;
  // Received: the first bytes of the request answered, to read the answer by.
  std::array<std::uint8_t, 8> Request{};
  std::uint8_t RequestLength = 0;
};

// One copy of each distinct text for the life of the program (texts of
// exchanges form a small set). Thread-safe; the pointer stays valid.
const std::string* InternText(std::string_view text);

struct TDecodedFrame {
  TFrameProtocol Protocol = TFrameProtocol::Unknown;
  int Address = -1;  // -1 when the frame is too short to tell
  bool CrcOk = false;
  std::string Name;  // the request's name, e.g. "Чтение показаний температуры"
  std::string Fields;  // key fields, e.g. "3 датчика: 25.50 -3.25 ****"
};

// The protocol a frame's bytes fit: a native frame's length byte and CRC, or
// a Modbus CRC; Unknown otherwise.
TFrameProtocol GuessProtocol(const std::uint8_t* bytes, std::size_t count);

// Decodes one frame. The record's Protocol and parities say how it travelled
// (Unknown: guessed from the bytes); a received frame is read in the light of
// its Request bytes when present.
TDecodedFrame DecodeFrame(const TFrameRecord& frame);

// "Ларгис-1, адрес 5: Чтение показаний температуры; 3 датчика: 25.50 ...".
// When the exchange's operation name is known it names the request.
std::string DescribeFrame(const TFrameRecord& frame);

// "05 01 02 02 D1 89", at most maxBytes bytes then " …(+N)".
std::string FrameHex(const std::uint8_t* bytes, std::size_t count, std::size_t maxBytes = 512);
// "M|S 2.1 мс" for a native request, "E" for an even-parity frame, "" for
// received frames.
std::string FrameParityText(const TFrameRecord& frame);
// "14.2 мс", or "" when there is no response time.
std::string ResponseText(const TFrameRecord& frame);
// "2024-05-01 12:34:56.789" in local time.
std::string FrameTimeText(std::int64_t timeUs, bool withDate);
const char* ProtocolName(TFrameProtocol protocol);
// A UTF-8 text padded with blanks to `width` characters (not bytes).
std::string PadText(const std::string& utf8, std::size_t width);

// One line of text for the trace, saved monitor contents and support bundles:
// time, direction, parity and pause, response time, bytes, meaning, result.
std::string FrameLine(const TFrameRecord& frame);
