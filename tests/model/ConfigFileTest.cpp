#include "ConfigFile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// A short string of the stream: length byte, then the characters.
std::string S(const std::string& s) {
  return std::string(1, static_cast<char>(s.size())) + s;
}
std::string B(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out += static_cast<char>(b);
  return out;
}

// The settings the main window gives its port.
void MainWindowSettings(TCustomComPort& port) {
  port.Parity().SetBits(prEven);
  port.Timeouts().SetReadInterval(50);
  port.Timeouts().SetReadTotalMultiplier(2);
  port.Timeouts().SetReadTotalConstant(100);
  port.SetLeft(104);
  port.SetTop(168);
}

std::string Block(const TCustomComPort& port) {
  std::ostringstream out;
  WriteComPortSettings(out, port);
  return out.str();
}

std::string Record(const TDevice& d) {
  std::string r(kDeviceRecordSize, '\0');
  d.WriteRecord(reinterpret_cast<std::uint8_t*>(r.data()));
  return r;
}

TDevice* MakeDevice(const std::string& name, std::uint16_t plant, std::uint8_t address) {
  auto* d = new TDevice;
  d->SetName(name);
  d->SetPlantNumber(plant);
  d->SetSystemAddress(address);
  d->SetSensorCount(plant % 33);
  d->CalibrationCode1 = static_cast<std::uint16_t>(plant * 3);
  d->SetNote("Примечание " + std::to_string(plant));
  return d;
}

// A fresh folder per test, removed afterwards.
class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/lim07-config-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Dir = tmpl;
  }
  void TearDown() override { fs::remove_all(Dir); }
  void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
  }
  std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Loads into a fresh list; returns the records of the devices read.
  std::vector<std::string> Load(const std::string& path, TCustomComPort& port,
                                TConfigLoadResult* result = nullptr) {
    std::vector<std::string> records;
    const TConfigLoadResult r = LoadConfigurationFile(
        path, port, [&](std::unique_ptr<TDevice> d) { records.push_back(Record(*d)); });
    if (result) *result = r;
    EXPECT_EQ(r.DevicesRead, static_cast<int>(records.size()));
    return records;
  }
  std::string Dir;
};

// Both ends of a pseudo-terminal; the port opens the slave by its path.
struct TPty {
  int Master = -1;
  std::string SlavePath;
  TPty() {
    Master = posix_openpt(O_RDWR | O_NOCTTY);
    if (Master >= 0 && grantpt(Master) == 0 && unlockpt(Master) == 0) SlavePath = ptsname(Master);
  }
  ~TPty() {
    if (Master >= 0) close(Master);
  }
};

}  // namespace

TEST(ConfigBlock, DefaultBlockIsByteExact) {
  TComPort port;
  MainWindowSettings(port);
  const std::string expected = B({0x54, 0x50, 0x46, 0x30}) + S("TComPort") + S("ComPort") +  //
                               S("BaudRate") + B({0x07}) + S("br9600") +                     //
                               S("Port") + B({0x06}) + S("COM1") +                           //
                               S("Parity.Bits") + B({0x07}) + S("prEven") +                  //
                               S("StopBits") + B({0x07}) + S("sbOneStopBit") +               //
                               S("DataBits") + B({0x07}) + S("dbEight") +                    //
                               S("Events") + B({0x0B}) + S("evRxChar") + S("evTxEmpty") +
                               S("evRxFlag") + S("evRing") + S("evBreak") + S("evCTS") +
                               S("evDSR") + S("evError") + S("evRLSD") + S("evRx80Full") +
                               B({0x00}) +                                                  //
                               S("FlowControl.OutCTSFlow") + B({0x08}) +                    //
                               S("FlowControl.OutDSRFlow") + B({0x08}) +                    //
                               S("FlowControl.ControlDTR") + B({0x07}) + S("dtrDisable") +  //
                               S("FlowControl.ControlRTS") + B({0x07}) + S("rtsDisable") +  //
                               S("FlowControl.XonXoffOut") + B({0x08}) +                    //
                               S("FlowControl.XonXoffIn") + B({0x08}) +                     //
                               S("Timeouts.ReadInterval") + B({0x02, 50}) +                 //
                               S("Timeouts.ReadTotalMultiplier") + B({0x02, 2}) +           //
                               S("Timeouts.ReadTotalConstant") + B({0x02, 100}) +           //
                               S("Left") + B({0x02, 104}) +                                 //
                               S("Top") + B({0x03, 0xA8, 0x00}) +                           //
                               B({0x00, 0x00});
  EXPECT_EQ(Block(port), expected);
  // The first bytes spelled out, independent of the helper above.
  EXPECT_EQ(Block(port).substr(0, 22),
            B({0x54, 0x50, 0x46, 0x30, 0x08, 'T', 'C', 'o', 'm', 'P', 'o',
               'r',  't',  0x07, 'C',  'o',  'm', 'P', 'o', 'r', 't', 0x08}));
}

TEST(ConfigBlock, NonDefaultSettingsRoundTrip) {
  TComPort a;
  a.SetTag(70000);
  a.SetBaudRate(br115200);
  a.SetPort("/dev/ttyUSB0");
  a.Parity().SetBits(prMark);
  a.Parity().SetCheck(true);
  a.Parity().SetReplace(true);
  a.Parity().SetReplaceChar('#');
  a.SetStopBits(sbTwoStopBits);
  a.SetDataBits(dbSeven);
  a.SetDiscardNull(true);
  a.SetEventChar(0xC0);  // above 0x7F: a UTF-8 text
  a.SetEvents((1 << evRxChar) | (1 << evRx80Full));
  a.Buffer().SetInputSize(4096);
  a.Buffer().SetOutputSize(512);
  a.FlowControl().SetOutCTSFlow(true);
  a.FlowControl().SetOutDSRFlow(true);
  a.FlowControl().SetControlDTR(dtrHandshake);
  a.FlowControl().SetControlRTS(rtsToggle);
  a.FlowControl().SetXonXoffOut(true);
  a.FlowControl().SetXonXoffIn(true);
  a.FlowControl().SetDSRSensitivity(true);
  a.FlowControl().SetTxContinueOnXoff(true);
  a.FlowControl().SetXonChar(0x98);
  a.FlowControl().SetXoffChar(0xFF);
  a.Timeouts().SetReadInterval(0);
  a.Timeouts().SetReadTotalMultiplier(300);
  a.Timeouts().SetReadTotalConstant(40000);
  a.Timeouts().SetWriteTotalMultiplier(0);
  a.Timeouts().SetWriteTotalConstant(100000);
  a.SetSyncMethod(smNone);
  a.SetLeft(-1);
  a.SetTop(-300);
  const std::string block = Block(a);
  EXPECT_NE(block.find(S("Tag") + B({0x04, 0x70, 0x11, 0x01, 0x00})), std::string::npos);
  EXPECT_NE(block.find(S("Buffer.InputSize") + B({0x03, 0x00, 0x10})), std::string::npos);
  EXPECT_NE(block.find(S("Timeouts.WriteTotalConstant") + B({0x04, 0xA0, 0x86, 0x01, 0x00})),
            std::string::npos);
  EXPECT_NE(block.find(S("Parity.ReplaceChar") + B({0x06, 0x01, '#'})), std::string::npos);
  EXPECT_NE(block.find(S("EventChar") + B({0x14, 0x02, 0, 0, 0, 0xC3, 0x80})), std::string::npos);
  EXPECT_NE(block.find(S("Events") + B({0x0B}) + S("evRxChar") + S("evRx80Full") + B({0})),
            std::string::npos);
  EXPECT_NE(block.find(S("Timeouts.ReadInterval") + B({0x02, 0})), std::string::npos);
  EXPECT_NE(block.find(S("Top") + B({0x03, 0xD4, 0xFE})), std::string::npos);
  EXPECT_EQ(block.find("Connected"), std::string::npos);  // the port is closed

  TComPort b;
  std::istringstream in(block + "tail");
  EXPECT_FALSE(ReadComPortSettings(in, b).ConnectedStored);
  std::string rest;
  in >> rest;
  EXPECT_EQ(rest, "tail");  // nothing read beyond the block
  EXPECT_EQ(b.Tag(), 70000);
  EXPECT_EQ(b.BaudRate(), br115200);
  EXPECT_EQ(b.Port(), "/dev/ttyUSB0");
  EXPECT_EQ(b.Parity().Bits(), prMark);
  EXPECT_TRUE(b.Parity().Check());
  EXPECT_TRUE(b.Parity().Replace());
  EXPECT_EQ(b.Parity().ReplaceChar(), '#');
  EXPECT_EQ(b.StopBits(), sbTwoStopBits);
  EXPECT_EQ(b.DataBits(), dbSeven);
  EXPECT_TRUE(b.DiscardNull());
  EXPECT_EQ(b.EventChar(), 0xC0);
  EXPECT_EQ(b.Events(), (1 << evRxChar) | (1 << evRx80Full));
  EXPECT_EQ(b.Buffer().InputSize(), 4096);
  EXPECT_EQ(b.Buffer().OutputSize(), 512);
  EXPECT_TRUE(b.FlowControl().OutCTSFlow());
  EXPECT_TRUE(b.FlowControl().OutDSRFlow());
  EXPECT_EQ(b.FlowControl().ControlDTR(), dtrHandshake);
  EXPECT_EQ(b.FlowControl().ControlRTS(), rtsToggle);
  EXPECT_TRUE(b.FlowControl().XonXoffOut());
  EXPECT_TRUE(b.FlowControl().XonXoffIn());
  EXPECT_TRUE(b.FlowControl().DSRSensitivity());
  EXPECT_TRUE(b.FlowControl().TxContinueOnXoff());
  EXPECT_EQ(b.FlowControl().XonChar(), 0x98);
  EXPECT_EQ(b.FlowControl().XoffChar(), 0xFF);
  EXPECT_EQ(b.Timeouts().ReadInterval(), 0);
  EXPECT_EQ(b.Timeouts().ReadTotalMultiplier(), 300);
  EXPECT_EQ(b.Timeouts().ReadTotalConstant(), 40000);
  EXPECT_EQ(b.Timeouts().WriteTotalMultiplier(), 0);
  EXPECT_EQ(b.Timeouts().WriteTotalConstant(), 100000);
  EXPECT_EQ(b.SyncMethod(), smNone);
  EXPECT_EQ(b.Left(), -1);
  EXPECT_EQ(b.Top(), -300);
  EXPECT_EQ(Block(b), block);
}

TEST(ConfigBlock, AbsentPropertiesKeepTheirValues) {
  TComPort port;
  port.SetBaudRate(br19200);
  port.Timeouts().SetReadInterval(50);
  port.SetLeft(104);
  const std::string minimal = B({'T', 'P', 'F', '0'}) + S("TComPort") + S("ComPort") +
                              S("DataBits") + B({0x07}) + S("DBSEVEN") + B({0, 0});
  std::istringstream in(minimal);
  ReadComPortSettings(in, port);
  EXPECT_EQ(port.DataBits(), dbSeven);  // identifiers compare without regard to case
  EXPECT_EQ(port.BaudRate(), br19200);
  EXPECT_EQ(port.Timeouts().ReadInterval(), 50);
  EXPECT_EQ(port.Left(), 104);
}

TEST(ConfigBlock, DamagedBlocksAreRefusedAndSetNothing) {
  TComPort reference;
  MainWindowSettings(reference);
  const std::string head = B({'T', 'P', 'F', '0'}) + S("TComPort") + S("ComPort") + S("BaudRate") +
                           B({0x07}) + S("br300");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty", ""},
      {"other signature", "TPF1" + head.substr(4) + B({0, 0})},
      {"unknown property", head + S("Colour") + B({0x02, 1}) + B({0, 0})},
      {"unknown tag", head + S("Tag") + B({0x05, 1, 2, 3, 4, 5, 6, 7, 8}) + B({0, 0})},
      {"unknown identifier", head + S("StopBits") + B({0x07}) + S("sbThree") + B({0, 0})},
      {"wrong type", head + S("Port") + B({0x02, 1}) + B({0, 0})},
      {"two-character char", head + S("EventChar") + B({0x06, 2, 'a', 'b'}) + B({0, 0})},
      {"char beyond a byte", head + S("EventChar") + B({0x14, 2, 0, 0, 0, 0xD0, 0x96, 0, 0})},
      {"unknown event", head + S("Events") + B({0x0B}) + S("evMoon") + B({0, 0, 0})},
      {"negative buffer", head + S("Buffer.InputSize") + B({0x02, 0xFF}) + B({0, 0})},
      {"huge text length", head + S("Port") + B({0x0C, 0xFF, 0xFF, 0xFF, 0xFF}) + "COM1"},
      {"a child object", head + B({0, 1}) + S("TButton")},
      {"no end of children", head + B({0})},
  };
  for (const auto& [what, data] : cases) {
    TComPort port;
    MainWindowSettings(port);
    std::istringstream in(data);
    EXPECT_THROW(ReadComPortSettings(in, port), EConfigFormat) << what;
    EXPECT_EQ(Block(port), Block(reference)) << what;  // nothing was set
  }
}

TEST(ConfigBlock, CorruptedBytesNeverCrash) {
  TComPort source;
  MainWindowSettings(source);
  source.SetEventChar(0xE9);
  const std::string block = Block(source) + std::string(95, 'x');
  int refused = 0;
  for (std::size_t i = 0; i < block.size() - 95; ++i) {
    for (int value : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
      std::string damaged = block;
      damaged[i] = static_cast<char>(value);
      TComPort port;
      std::istringstream in(damaged);
      try {
        ReadComPortSettings(in, port);
      } catch (const EConfigFormat&) {
        ++refused;
      }
    }
  }
  EXPECT_GT(refused, 0);
}

TEST_F(ConfigFileTest, SaveAndLoadDevicesInListOrder) {
  TComPort port;
  MainWindowSettings(port);
  TDeviceList devices;
  devices.Add(MakeDevice("Первый", 300, 7));
  devices.Add(MakeDevice("ABCDEFGH", 12, 3));
  devices.Add(MakeDevice("", 65535, 255));
  devices[1]->SetName("XY");  // stale bytes beyond the length are written as they are
  const std::string path = Dir + "/a.l07";
  SaveConfigurationFile(path, port, devices);
  const std::string file = ReadFile(path);
  const std::string block = Block(port);
  ASSERT_EQ(file.size(), block.size() + 3 * 95);
  EXPECT_EQ(file.substr(0, block.size()), block);
  const std::string second = file.substr(block.size() + 95, 95);
  EXPECT_EQ(second.substr(0, 17), B({2, 'X', 'Y', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  TComPort loaded;
  TConfigLoadResult result;
  const auto records = Load(path, loaded, &result);
  ASSERT_EQ(records.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(records[i], Record(*devices[i])) << i;
  EXPECT_FALSE(result.ConnectedStored);
  EXPECT_FALSE(result.PortErrorSwallowed);
  EXPECT_EQ(Block(loaded), block);

  // Saving again replaces the file and leaves no temporary file behind.
  devices.Delete(0);
  SaveConfigurationFile(path, port, devices);
  EXPECT_EQ(ReadFile(path).size(), block.size() + 2 * 95);
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()), 1);
}

TEST_F(ConfigFileTest, StrayTailSettingsOnlyAndNotAConfiguration) {
  TComPort port;
  MainWindowSettings(port);
  TDeviceList devices;
  devices.Add(MakeDevice("a", 1, 1));
  devices.Add(MakeDevice("b", 2, 2));
  const std::string image = ConfigurationImage(port, devices);

  WriteFile(Dir + "/tail.l07", image + std::string(40, '\x5A'));
  TComPort p1;
  EXPECT_EQ(Load(Dir + "/tail.l07", p1).size(), 2u);

  WriteFile(Dir + "/settings.l07", Block(port));
  TComPort p2;
  EXPECT_TRUE(Load(Dir + "/settings.l07", p2).empty());
  EXPECT_EQ(p2.Parity().Bits(), prEven);

  WriteFile(Dir + "/empty.l07", "");
  WriteFile(Dir + "/text.l07", "Hello, world: not a configuration at all");
  for (const char* name : {"/empty.l07", "/text.l07", "/missing.l07", ""}) {
    TComPort p;
    EXPECT_THROW(Load(Dir + name, p), EConfigFormat) << name;  // "" is the folder itself
  }
}

TEST_F(ConfigFileTest, EveryTruncationFailsCleanlyOrLoadsWholeRecords) {
  TComPort port;
  MainWindowSettings(port);
  TDeviceList devices;
  for (int i = 0; i < 3; ++i) devices.Add(MakeDevice("Д" + std::to_string(i), i, i));
  const std::string image = ConfigurationImage(port, devices);
  const std::size_t blockSize = Block(port).size();
  const std::string path = Dir + "/cut.l07";
  for (std::size_t length = 0; length <= image.size(); ++length) {
    WriteFile(path, image.substr(0, length));
    TComPort p;
    if (length < blockSize) {
      EXPECT_THROW(Load(path, p), EConfigFormat) << length;
    } else {
      const auto records = Load(path, p);
      ASSERT_EQ(records.size(), (length - blockSize) / 95) << length;
      for (std::size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(records[i], Record(*devices[static_cast<int>(i)]));
    }
  }
}

TEST_F(ConfigFileTest, HostileRecordsAreLimitedOnLoad) {
  TComPort port;
  std::string record(95, '\xEE');
  record[0] = static_cast<char>(200);
  record[20] = static_cast<char>(250);
  record[30] = static_cast<char>(255);
  WriteFile(Dir + "/hostile.l07", Block(port) + record);
  std::vector<std::unique_ptr<TDevice>> loaded;
  LoadConfigurationFile(Dir + "/hostile.l07", port,
                        [&](std::unique_ptr<TDevice> d) { loaded.push_back(std::move(d)); });
  ASSERT_EQ(loaded.size(), 1u);
  std::string sixteen;
  for (int i = 0; i < 16; ++i) sixteen += "о";  // 0xEE in 1251
  EXPECT_EQ(loaded[0]->Name(), sixteen);
  EXPECT_EQ(loaded[0]->Note().size(), 64u * 2);
  EXPECT_EQ(loaded[0]->SensorCount(), 32);
  EXPECT_EQ(loaded[0]->TemperaturesSnapshot().size(), 32u);
}

TEST_F(ConfigFileTest, SaveFailureCarriesTheSystemMessage) {
  TComPort port;
  TDeviceList devices;
  try {
    SaveConfigurationFile(Dir + "/no/such/folder/x.l07", port, devices);
    FAIL() << "no error";
  } catch (const EConfigWrite& e) {
    EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos)
        << e.what();
  }
  // A link stays a link; the file it points to receives the configuration.
  const std::string target = Dir + "/target.l07";
  WriteFile(target, "old");
  fs::create_symlink(target, Dir + "/link.l07");
  SaveConfigurationFile(Dir + "/link.l07", port, devices);
  EXPECT_TRUE(fs::is_symlink(Dir + "/link.l07"));
  EXPECT_EQ(ReadFile(target), Block(port));
}

TEST_F(ConfigFileTest, OpenPortIsStoredAsConnectedAndClosedByLoading) {
  TPty pty;
  ASSERT_FALSE(pty.SlavePath.empty());
  TComPort port;
  MainWindowSettings(port);
  port.SetPort(pty.SlavePath);
  port.Open();
  ASSERT_TRUE(port.Connected());
  TDeviceList devices;
  devices.Add(MakeDevice("x", 5, 5));
  const std::string path = Dir + "/open.l07";
  SaveConfigurationFile(path, port, devices);
  EXPECT_NE(ReadFile(path).find(S("Connected") + B({0x09})), std::string::npos);

  // Loading into the open port: the stored settings are applied, the port
  // ends closed, and the request to connect is only reported.
  TConfigLoadResult result;
  EXPECT_EQ(Load(path, port, &result).size(), 1u);
  EXPECT_TRUE(result.ConnectedStored);
  EXPECT_FALSE(result.PortErrorSwallowed) << result.PortError;
  EXPECT_FALSE(port.Connected());
}

TEST_F(ConfigFileTest, PortErrorWhileApplyingIsSwallowedAndDevicesStillLoad) {
  TPty pty;
  ASSERT_FALSE(pty.SlavePath.empty());
  TComPort saved;
  saved.SetPort(Dir + "/no-such-port");
  TDeviceList devices;
  devices.Add(MakeDevice("x", 5, 5));
  devices.Add(MakeDevice("y", 6, 6));
  const std::string path = Dir + "/gone.l07";
  SaveConfigurationFile(path, saved, devices);

  // The open port is told to reopen under a name that does not exist.
  TComPort port;
  port.SetPort(pty.SlavePath);
  port.Open();
  TConfigLoadResult result;
  EXPECT_EQ(Load(path, port, &result).size(), 2u);
  EXPECT_TRUE(result.PortErrorSwallowed);
  EXPECT_NE(result.PortError.find("Unable to open com port"), std::string::npos)
      << result.PortError;
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(port.Port(), Dir + "/no-such-port");

  // The stream-level reader raises the port error after the whole block.
  TComPort again;
  again.SetPort(pty.SlavePath);
  again.Open();
  std::ifstream in(path, std::ios::binary);
  EXPECT_THROW(ReadComPortSettings(in, again), EComPort);
  EXPECT_EQ(ReadDeviceRecords(in, [](std::unique_ptr<TDevice>) {}), 2);
}
