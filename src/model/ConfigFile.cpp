#include "ConfigFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <istream>
#include <optional>
#include <ostream>
#include <sstream>
#include <vector>

#include "Cp1251.h"

namespace {

// Value tags of the object stream.
enum : std::uint8_t {
  vaInt8 = 0x02,
  vaInt16 = 0x03,
  vaInt32 = 0x04,
  vaString = 0x06,
  vaIdent = 0x07,
  vaFalse = 0x08,
  vaTrue = 0x09,
  vaSet = 0x0B,
  vaLString = 0x0C,
  vaUTF8String = 0x14,
};

constexpr char kSignature[4] = {'T', 'P', 'F', '0'};
// No text of a port setting comes near this; it bounds what a damaged length
// field can make us allocate.
constexpr std::uint32_t kMaxTextLength = 64 * 1024;

const std::vector<std::string> kBaudRateNames = {
    "brCustom", "br110",   "br300",   "br600",   "br1200",  "br2400",   "br4800",   "br9600",
    "br14400",  "br19200", "br38400", "br56000", "br57600", "br115200", "br128000", "br256000"};
const std::vector<std::string> kParityNames = {"prNone", "prOdd", "prEven", "prMark", "prSpace"};
const std::vector<std::string> kStopBitsNames = {"sbOneStopBit", "sbOne5StopBits", "sbTwoStopBits"};
const std::vector<std::string> kDataBitsNames = {"dbFive", "dbSix", "dbSeven", "dbEight"};
const std::vector<std::string> kDTRNames = {"dtrDisable", "dtrEnable", "dtrHandshake"};
const std::vector<std::string> kRTSNames = {"rtsDisable", "rtsEnable", "rtsHandshake", "rtsToggle"};
const std::vector<std::string> kEventNames = {"evRxChar", "evTxEmpty", "evRxFlag", "evRing",
                                              "evBreak",  "evCTS",     "evDSR",    "evError",
                                              "evRLSD",   "evRx80Full"};
const std::vector<std::string> kSyncNames = {"smThreadSync", "smWindowSync", "smNone"};

// ---------------------------------------------------------------- writing

class TBlockWriter {
 public:
  std::string Data;

  void Short(const std::string& s) {
    Data += static_cast<char>(s.size());
    Data += s;
  }
  void Name(const std::string& property) { Short(property); }
  void Int(const std::string& property, std::int32_t v) {
    Name(property);
    if (v >= -128 && v <= 127) {
      Data += static_cast<char>(vaInt8);
      Data += static_cast<char>(static_cast<std::int8_t>(v));
    } else if (v >= -32768 && v <= 32767) {
      Data += static_cast<char>(vaInt16);
      Le(static_cast<std::uint32_t>(v), 2);
    } else {
      Data += static_cast<char>(vaInt32);
      Le(static_cast<std::uint32_t>(v), 4);
    }
  }
  void Bool(const std::string& property, bool v) {
    Name(property);
    Data += static_cast<char>(v ? vaTrue : vaFalse);
  }
  void Ident(const std::string& property, const std::vector<std::string>& names, int v) {
    Name(property);
    Data += static_cast<char>(vaIdent);
    Short(names.at(static_cast<std::size_t>(v)));
  }
  void Text(const std::string& property, const std::string& v) {
    Name(property);
    bool ascii = true;
    for (char c : v) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii && v.size() <= 255) {
      Data += static_cast<char>(vaString);
      Short(v);
    } else {
      Data += static_cast<char>(ascii ? vaLString : vaUTF8String);
      Le(static_cast<std::uint32_t>(v.size()), 4);
      Data += v;
    }
  }
  // A character byte of 0x80 or above is the code point of the same value.
  void Char(const std::string& property, std::uint8_t c) {
    Text(property, c < 0x80 ? std::string(1, static_cast<char>(c)) : CodePointToUtf8(c));
  }
  void Set(const std::string& property, const std::vector<std::string>& names, unsigned bits) {
    Name(property);
    Data += static_cast<char>(vaSet);
    for (std::size_t i = 0; i < names.size(); ++i)
      if (bits & (1u << i)) Short(names[i]);
    Data += '\0';
  }

 private:
  void Le(std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) Data += static_cast<char>((v >> (8 * i)) & 0xFF);
  }
};

// ---------------------------------------------------------------- reading

struct TValue {
  std::uint8_t Tag = 0;
  std::int64_t Integer = 0;
  std::string Text;  // texts and identifiers
  std::vector<std::string> Members;
};

[[noreturn]] void Malformed(const std::string& why) {
  throw EConfigFormat("Damaged port settings block: " + why);
}

class TBlockReader {
 public:
  explicit TBlockReader(std::istream& in) : FIn(in) {}

  std::uint8_t Byte() {
    char c = 0;
    if (!FIn.get(c)) Fail();
    return static_cast<std::uint8_t>(c);
  }
  std::string Bytes(std::uint32_t n) {
    if (n > kMaxTextLength) Malformed("text too long");
    std::string s(n, '\0');
    if (n > 0 && (!FIn.read(s.data(), n) || static_cast<std::uint32_t>(FIn.gcount()) != n)) Fail();
    return s;
  }
  std::string Short() { return Bytes(Byte()); }
  std::uint32_t Le(int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint32_t>(Byte()) << (8 * i);
    return v;
  }

  TValue Value() {
    TValue v;
    v.Tag = Byte();
    switch (v.Tag) {
      case vaInt8:
        v.Integer = static_cast<std::int8_t>(Byte());
        break;
      case vaInt16:
        v.Integer = static_cast<std::int16_t>(Le(2));
        break;
      case vaInt32:
        v.Integer = static_cast<std::int32_t>(Le(4));
        break;
      case vaString:
      case vaIdent:
        v.Text = Short();
        break;
      case vaLString:
      case vaUTF8String:
        v.Text = Bytes(Le(4));
        break;
      case vaFalse:
      case vaTrue:
        break;
      case vaSet:
        for (std::string m = Short(); !m.empty(); m = Short()) v.Members.push_back(m);
        break;
      default:
        Malformed("unsupported value tag " + std::to_string(v.Tag));
    }
    return v;
  }

 private:
  [[noreturn]] void Fail() {
    if (FIn.bad()) throw EConfigFormat("Read error");
    Malformed("unexpected end of file");
  }
  std::istream& FIn;
};

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::int32_t AsInt(const std::string& name, const TValue& v, std::int32_t minimum) {
  if (v.Tag != vaInt8 && v.Tag != vaInt16 && v.Tag != vaInt32)
    Malformed(name + ": integer expected");
  if (v.Integer < minimum) Malformed(name + ": value out of range");
  return static_cast<std::int32_t>(v.Integer);
}

bool AsBool(const std::string& name, const TValue& v) {
  if (v.Tag != vaFalse && v.Tag != vaTrue) Malformed(name + ": Boolean expected");
  return v.Tag == vaTrue;
}

int AsIdent(const std::string& name, const TValue& v, const std::vector<std::string>& names) {
  if (v.Tag != vaIdent) Malformed(name + ": identifier expected");
  for (std::size_t i = 0; i < names.size(); ++i)
    if (EqualNoCase(v.Text, names[i])) return static_cast<int>(i);
  Malformed(name + ": unknown value " + v.Text);
}

std::string AsText(const std::string& name, const TValue& v) {
  if (v.Tag != vaString && v.Tag != vaLString && v.Tag != vaUTF8String)
    Malformed(name + ": text expected");
  return v.Text;
}

std::uint8_t AsChar(const std::string& name, const TValue& v) {
  const std::string text = AsText(name, v);
  if (v.Tag != vaUTF8String) {
    if (text.size() != 1) Malformed(name + ": one character expected");
    return static_cast<std::uint8_t>(text[0]);
  }
  std::size_t pos = 0;
  char32_t cp = 0;
  if (!NextUtf8CodePoint(text, pos, cp) || pos != text.size() || cp > 0xFF)
    Malformed(name + ": one character expected");
  return static_cast<std::uint8_t>(cp);
}

TComEvents AsEvents(const std::string& name, const TValue& v) {
  if (v.Tag != vaSet) Malformed(name + ": set expected");
  TComEvents events = 0;
  for (const std::string& m : v.Members) {
    TValue ident;
    ident.Tag = vaIdent;
    ident.Text = m;
    events |= static_cast<TComEvents>(1u << AsIdent(name, ident, kEventNames));
  }
  return events;
}

using TSetter = std::function<void(TCustomComPort&)>;

// Converts one stored property into the call that sets it; the conversion
// checks everything, so that a damaged block sets nothing.
TSetter MakeSetter(const std::string& n, const TValue& v) {
  if (n == "Tag") return [x = AsInt(n, v, INT32_MIN)](TCustomComPort& p) { p.SetTag(x); };
  if (n == "BaudRate") {
    const auto x = static_cast<TBaudRate>(AsIdent(n, v, kBaudRateNames));
    return [x](TCustomComPort& p) { p.SetBaudRate(x); };
  }
  if (n == "Port") return [x = AsText(n, v)](TCustomComPort& p) { p.SetPort(x); };
  if (n == "Parity.Bits") {
    const auto x = static_cast<TParityBits>(AsIdent(n, v, kParityNames));
    return [x](TCustomComPort& p) { p.Parity().SetBits(x); };
  }
  if (n == "Parity.Check") return [x = AsBool(n, v)](TCustomComPort& p) { p.Parity().SetCheck(x); };
  if (n == "Parity.Replace")
    return [x = AsBool(n, v)](TCustomComPort& p) { p.Parity().SetReplace(x); };
  if (n == "Parity.ReplaceChar")
    return [x = AsChar(n, v)](TCustomComPort& p) { p.Parity().SetReplaceChar(x); };
  if (n == "StopBits") {
    const auto x = static_cast<TStopBits>(AsIdent(n, v, kStopBitsNames));
    return [x](TCustomComPort& p) { p.SetStopBits(x); };
  }
  if (n == "DataBits") {
    const auto x = static_cast<TDataBits>(AsIdent(n, v, kDataBitsNames));
    return [x](TCustomComPort& p) { p.SetDataBits(x); };
  }
  if (n == "DiscardNull") return [x = AsBool(n, v)](TCustomComPort& p) { p.SetDiscardNull(x); };
  if (n == "EventChar") return [x = AsChar(n, v)](TCustomComPort& p) { p.SetEventChar(x); };
  if (n == "Events") return [x = AsEvents(n, v)](TCustomComPort& p) { p.SetEvents(x); };
  if (n == "Buffer.InputSize")
    return [x = AsInt(n, v, 0)](TCustomComPort& p) { p.Buffer().SetInputSize(x); };
  if (n == "Buffer.OutputSize")
    return [x = AsInt(n, v, 0)](TCustomComPort& p) { p.Buffer().SetOutputSize(x); };
  if (n == "FlowControl.OutCTSFlow")
    return [x = AsBool(n, v)](TCustomComPort& p) { p.FlowControl().SetOutCTSFlow(x); };
  if (n == "FlowControl.OutDSRFlow")
    return [x = AsBool(n, v)](TCustomComPort& p) { p.FlowControl().SetOutDSRFlow(x); };
  if (n == "FlowControl.ControlDTR") {
    const auto x = static_cast<TDTRFlowControl>(AsIdent(n, v, kDTRNames));
    return [x](TCustomComPort& p) { p.FlowControl().SetControlDTR(x); };
  }
  if (n == "FlowControl.ControlRTS") {
    const auto x = static_cast<TRTSFlowControl>(AsIdent(n, v, kRTSNames));
    return [x](TCustomComPort& p) { p.FlowControl().SetControlRTS(x); };
  }
  if (n == "FlowControl.XonXoffOut")
    return [x = AsBool(n, v)](TCustomComPort& p) { p.FlowControl().SetXonXoffOut(x); };
  if (n == "FlowControl.XonXoffIn")
    return [x = AsBool(n, v)](TCustomComPort& p) { p.FlowControl().SetXonXoffIn(x); };
  if (n == "FlowControl.DSRSensitivity")
    return [x = AsBool(n, v)](TCustomComPort& p) { p.FlowControl().SetDSRSensitivity(x); };
  if (n == "FlowControl.TxContinueOnXoff")
    return [x = AsBool(n, v)](TCustomComPort& p) { p.FlowControl().SetTxContinueOnXoff(x); };
  if (n == "FlowControl.XonChar")
    return [x = AsChar(n, v)](TCustomComPort& p) { p.FlowControl().SetXonChar(x); };
  if (n == "FlowControl.XoffChar")
    return [x = AsChar(n, v)](TCustomComPort& p) { p.FlowControl().SetXoffChar(x); };
  // Time-outs are milliseconds; only the read interval has a meaning below 0
  // (-1, the component's own default).
  if (n == "Timeouts.ReadInterval")
    return [x = AsInt(n, v, -1)](TCustomComPort& p) { p.Timeouts().SetReadInterval(x); };
  if (n == "Timeouts.ReadTotalMultiplier")
    return [x = AsInt(n, v, 0)](TCustomComPort& p) { p.Timeouts().SetReadTotalMultiplier(x); };
  if (n == "Timeouts.ReadTotalConstant")
    return [x = AsInt(n, v, 0)](TCustomComPort& p) { p.Timeouts().SetReadTotalConstant(x); };
  if (n == "Timeouts.WriteTotalMultiplier")
    return [x = AsInt(n, v, 0)](TCustomComPort& p) { p.Timeouts().SetWriteTotalMultiplier(x); };
  if (n == "Timeouts.WriteTotalConstant")
    return [x = AsInt(n, v, 0)](TCustomComPort& p) { p.Timeouts().SetWriteTotalConstant(x); };
  if (n == "SyncMethod") {
    const auto x = static_cast<TSyncMethod>(AsIdent(n, v, kSyncNames));
    return [x](TCustomComPort& p) { p.SetSyncMethod(x); };
  }
  if (n == "Left") return [x = AsInt(n, v, INT32_MIN)](TCustomComPort& p) { p.SetLeft(x); };
  if (n == "Top") return [x = AsInt(n, v, INT32_MIN)](TCustomComPort& p) { p.SetTop(x); };
  Malformed("unknown property " + n);
}

// Reads and applies one block; a port error while applying is returned
// rather than raised, so that the caller still learns what the block said.
TComPortReadResult ReadAndApply(std::istream& in, TCustomComPort& port,
                                std::optional<EComPort>& portError) {
  TBlockReader r(in);
  char signature[4] = {};
  for (char& c : signature) c = static_cast<char>(r.Byte());
  if (std::memcmp(signature, kSignature, 4) != 0) throw EConfigFormat("Not a configuration file");
  r.Short();  // class name
  r.Short();  // object name
  TComPortReadResult result;
  std::vector<TSetter> setters;
  for (std::string name = r.Short(); !name.empty(); name = r.Short()) {
    const TValue value = r.Value();
    result.Properties.push_back(name);
    if (name == "Connected")
      result.ConnectedStored = AsBool(name, value);
    else
      setters.push_back(MakeSetter(name, value));
  }
  if (r.Byte() != 0) Malformed("child objects are not supported");

  // Every value is stored even when applying one to an open port fails.
  port.HoldSetup();
  for (const TSetter& set : setters) {
    try {
      set(port);
    } catch (const EComPort& e) {
      if (!portError) portError = e;
    }
  }
  try {
    port.ReleaseSetup();
  } catch (const EComPort& e) {
    if (!portError) portError = e;
  }
  return result;
}

std::string SystemMessage(const char* what, const std::string& path, int error) {
  return std::string(what) + " \"" + path + "\". " + std::strerror(error);
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, std::string& data) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    data.append(buffer, static_cast<std::size_t>(n));
  }
}

bool WriteAllAt(int fd, const std::string& data) {
  return ::lseek(fd, 0, SEEK_SET) == 0 && WriteAll(fd, data);
}

// Rewrites a file whose folder does not let us add a temporary file beside
// it. The old contents are kept in memory and put back when the new ones
// cannot be written whole, so a failure still leaves the old file as it was
// (short of the machine stopping midway).
void RewriteInPlace(const std::string& path, const std::string& image) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) throw EConfigWrite(SystemMessage("Cannot create file", path, errno));
  std::string old;
  bool ok = ReadAll(fd, old);
  int error = errno;
  if (ok) {
    ok = WriteAllAt(fd, image) && ::ftruncate(fd, static_cast<off_t>(image.size())) == 0 &&
         ::fsync(fd) == 0;
    error = errno;
    if (!ok) {
      (void)(WriteAllAt(fd, old) && ::ftruncate(fd, static_cast<off_t>(old.size())) == 0);
    }
  }
  if (::close(fd) != 0 && ok) ok = false, error = errno;
  if (!ok) throw EConfigWrite(SystemMessage("Cannot write file", path, error));
}

}  // namespace

void WriteComPortSettings(std::ostream& out, const TCustomComPort& port) {
  TBlockWriter w;
  w.Data.append(kSignature, 4);
  w.Short("TComPort");
  w.Short("ComPort");
  if (port.Tag() != 0) w.Int("Tag", port.Tag());
  if (port.Connected()) w.Bool("Connected", true);
  w.Ident("BaudRate", kBaudRateNames, port.BaudRate());
  if (!port.Port().empty()) w.Text("Port", port.Port());
  const TComParity& parity = port.Parity();
  w.Ident("Parity.Bits", kParityNames, parity.Bits());
  if (parity.Check()) w.Bool("Parity.Check", true);
  if (parity.Replace()) w.Bool("Parity.Replace", true);
  if (parity.ReplaceChar() != 0) w.Char("Parity.ReplaceChar", parity.ReplaceChar());
  w.Ident("StopBits", kStopBitsNames, port.StopBits());
  w.Ident("DataBits", kDataBitsNames, port.DataBits());
  if (port.DiscardNull()) w.Bool("DiscardNull", true);
  if (port.EventChar() != 0) w.Char("EventChar", port.EventChar());
  w.Set("Events", kEventNames, port.Events());
  if (port.Buffer().InputSize() != 1024) w.Int("Buffer.InputSize", port.Buffer().InputSize());
  if (port.Buffer().OutputSize() != 1024) w.Int("Buffer.OutputSize", port.Buffer().OutputSize());
  const TComFlowControl& flow = port.FlowControl();
  w.Bool("FlowControl.OutCTSFlow", flow.OutCTSFlow());
  w.Bool("FlowControl.OutDSRFlow", flow.OutDSRFlow());
  w.Ident("FlowControl.ControlDTR", kDTRNames, flow.ControlDTR());
  w.Ident("FlowControl.ControlRTS", kRTSNames, flow.ControlRTS());
  w.Bool("FlowControl.XonXoffOut", flow.XonXoffOut());
  w.Bool("FlowControl.XonXoffIn", flow.XonXoffIn());
  if (flow.DSRSensitivity()) w.Bool("FlowControl.DSRSensitivity", true);
  if (flow.TxContinueOnXoff()) w.Bool("FlowControl.TxContinueOnXoff", true);
  if (flow.XonChar() != 17) w.Char("FlowControl.XonChar", flow.XonChar());
  if (flow.XoffChar() != 19) w.Char("FlowControl.XoffChar", flow.XoffChar());
  const TComTimeouts& t = port.Timeouts();
  if (t.ReadInterval() != -1) w.Int("Timeouts.ReadInterval", t.ReadInterval());
  if (t.ReadTotalMultiplier() != 0) w.Int("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier());
  if (t.ReadTotalConstant() != 0) w.Int("Timeouts.ReadTotalConstant", t.ReadTotalConstant());
  if (t.WriteTotalMultiplier() != 100)
    w.Int("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier());
  if (t.WriteTotalConstant() != 1000) w.Int("Timeouts.WriteTotalConstant", t.WriteTotalConstant());
  if (port.SyncMethod() != smThreadSync) w.Ident("SyncMethod", kSyncNames, port.SyncMethod());
  // The component's place in the window layout, not a setting of the port.
  if (port.Left() != 0) w.Int("Left", port.Left());
  if (port.Top() != 0) w.Int("Top", port.Top());
  w.Data += '\0';  // end of the property list
  w.Data += '\0';  // end of the (empty) list of children
  out.write(w.Data.data(), static_cast<std::streamsize>(w.Data.size()));
}

TComPortReadResult ReadComPortSettings(std::istream& in, TCustomComPort& port) {
  std::optional<EComPort> portError;
  const TComPortReadResult result = ReadAndApply(in, port, portError);
  if (portError) throw *portError;
  return result;
}

int ReadDeviceRecords(std::istream& in, const TDeviceSink& addDevice) {
  int count = 0;
  std::array<std::uint8_t, kDeviceRecordSize> record{};
  for (;;) {
    in.read(reinterpret_cast<char*>(record.data()), kDeviceRecordSize);
    if (in.bad()) throw EConfigFormat("Read error");
    if (in.gcount() != kDeviceRecordSize) return count;  // a short tail is ignored
    auto device = std::make_unique<TDevice>();
    device->ReadRecord(record.data());
    addDevice(std::move(device));
    ++count;
  }
}

TConfigLoadResult LoadConfigurationFile(const std::string& path, TCustomComPort& port,
                                        const TDeviceSink& addDevice) {
  // Only a regular file: opening a FIFO or a device would block or never end.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    throw EConfigFormat(SystemMessage("Cannot open file", path, errno));
  if (!S_ISREG(st.st_mode)) throw EConfigFormat("Not a regular file: " + path);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EConfigFormat(SystemMessage("Cannot open file", path, errno));

  TConfigLoadResult result;
  std::optional<EComPort> portError;
  TComPortReadResult block = ReadAndApply(in, port, portError);
  result.ConnectedStored = block.ConnectedStored;
  result.Properties = std::move(block.Properties);
  try {
    port.SetConnected(false);
  } catch (const EComPort& e) {
    if (!portError) portError = e;
  }
  if (portError) {
    result.PortErrorSwallowed = true;
    result.PortError = portError->what();
  }
  result.DevicesRead = ReadDeviceRecords(in, addDevice);
  return result;
}

std::string ConfigurationImage(const TCustomComPort& port, const TDeviceList& devices) {
  std::ostringstream out;
  WriteComPortSettings(out, port);
  std::array<std::uint8_t, kDeviceRecordSize> record{};
  for (int i = 0; i < devices.Count(); ++i) {
    devices[i]->WriteRecord(record.data());
    out.write(reinterpret_cast<const char*>(record.data()), kDeviceRecordSize);
  }
  return out.str();
}

void SaveConfigurationFile(const std::string& path, const TCustomComPort& port,
                           const TDeviceList& devices) {
  const std::string image = ConfigurationImage(port, devices);

  // A link stays a link: the file it points to is replaced.
  std::string target = path;
  struct stat st {};
  bool exists = ::lstat(path.c_str(), &st) == 0;
  if (exists && S_ISLNK(st.st_mode)) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return RewriteInPlace(path, image);  // dangling: nothing to lose
    target = resolved;
    std::free(resolved);
    exists = ::lstat(target.c_str(), &st) == 0;
  }

  static std::atomic<unsigned> counter{0};
  const std::string temp =
      target + ".~" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    // A folder we may not add to, while the file itself may be writable.
    if (errno == EACCES || errno == EPERM) return RewriteInPlace(target, image);
    throw EConfigWrite(SystemMessage("Cannot create file", path, errno));
  }
  if (exists && S_ISREG(st.st_mode)) (void)::fchmod(fd, st.st_mode & 07777);
  bool ok = WriteAll(fd, image) && ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && ok) ok = false, error = errno;
  if (ok && ::rename(temp.c_str(), target.c_str()) != 0) ok = false, error = errno;
  if (!ok) {
    ::unlink(temp.c_str());
    throw EConfigWrite(SystemMessage("Cannot write file", path, error));
  }
}
