// The configuration file (.l07): the serial port's settings as an object
// stream beginning "TPF0", then one 95-byte device record per device, in list
// order, up to the end of the file. Plain C++, no Qt.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ComPort.h"
#include "Device.h"
#include "DeviceList.h"

// A file or settings block that cannot be read: not "TPF0", malformed or
// truncated, an unknown property, tag or value, or an unreadable file. The
// window shows "Ошибка чтения файла!" for it.
class EConfigFormat : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Saving failed; the text carries the system's message.
class EConfigWrite : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes the port's settings block: "TPF0", class and object name, the
// properties that are due (see the .cpp for the order and the rules), the end
// of the list and the end of the children. Characters below 0x80 are
// one-character texts (tag 0x06); a character byte of 0x80 or above is written
// as a UTF-8 text (tag 0x14) of the code point with the byte's value
// (U+0080..U+00FF), which reads back as the same byte. Sets the stream's
// failbit on a write failure (the caller checks).
void WriteComPortSettings(std::ostream& out, const TCustomComPort& port);

struct TComPortReadResult {
  // The block says the port was open when the file was saved. The reader
  // does not open it: the file loader closes the port right after anyway.
  bool ConnectedStored = false;
  // The names of the properties the block holds, in block order (e.g.
  // "BaudRate", "Timeouts.ReadInterval"): the others kept the port's values.
  std::vector<std::string> Properties;
};

// Reads one settings block and sets every property present in it on the port;
// absent properties keep their values, and Left/Top are kept on the port.
// The whole block is parsed first: a malformed or truncated block, an unknown
// property, tag or value raises EConfigFormat and sets nothing. Never reads
// beyond the block. The properties are then set inside HoldSetup/ReleaseSetup;
// when the port is open and applying fails, every property is still stored,
// the stream stands after the block, and the first EComPort is raised at the
// end.
TComPortReadResult ReadComPortSettings(std::istream& in, TCustomComPort& port);

// Receives each device read from a file, in file order; it takes ownership.
using TDeviceSink = std::function<void(std::unique_ptr<TDevice>)>;

// Reads 95-byte records while 95 bytes remain, handing each new device to
// addDevice; a shorter remainder is ignored. Returns the number of devices.
// EConfigFormat when the stream reports a read error (devices handed over
// before it stay with the receiver).
int ReadDeviceRecords(std::istream& in, const TDeviceSink& addDevice);

struct TConfigLoadResult {
  bool ConnectedStored = false;         // the file says the port was open
  std::vector<std::string> Properties;  // the port properties the file holds
  bool PortErrorSwallowed = false;      // applying the settings raised EComPort
  std::string PortError;                // its text
  int DevicesRead = 0;
};

// The reading part of opening a configuration: opens the file, reads the
// settings block into the port, closes the port (a port error while applying
// or closing is swallowed and reported in the result), then reads the device
// records into addDevice. Raises EConfigFormat for a file that cannot be
// opened or read, or a damaged settings block; devices handed over before an
// error stay with the receiver. The caller checks beforehand that the file
// exists ("Файл не найден!") and clears the old configuration.
TConfigLoadResult LoadConfigurationFile(const std::string& path, TCustomComPort& port,
                                        const TDeviceSink& addDevice);

// The file's whole contents for this port and list.
std::string ConfigurationImage(const TCustomComPort& port, const TDeviceList& devices);

// Writes the configuration: the settings block, then every device's record in
// list order. The new contents go to a temporary file beside the target that
// then replaces it, so a failed save leaves the old file as it was. A link
// stays a link (the file it points to is replaced). Where the folder does not
// allow a new file, the target is rewritten in place with its old contents
// kept in memory and put back if the new ones cannot be written whole. Any
// failure raises EConfigWrite with the system's message.
void SaveConfigurationFile(const std::string& path, const TCustomComPort& port,
                           const TDeviceList& devices);
