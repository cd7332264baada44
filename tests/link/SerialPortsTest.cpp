// The list of serial ports, over a made-up /sys/class/tty.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "ComPort.h"

namespace fs = std::filesystem;

namespace {

class SerialPortList : public testing::Test {
 protected:
  void SetUp() override {
    root = fs::path(testing::TempDir()) / ("lim07-ports-" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "class");
    fs::create_directories(root / "devices/uart");
  }
  void TearDown() override { fs::remove_all(root); }

  // A tty class entry; withDevice links a device behind it; type is the
  // serial core's UART type (-1: no type file).
  void AddTty(const std::string& name, bool withDevice, int type = -1) {
    const fs::path entry = root / "class" / name;
    fs::create_directories(entry);
    if (withDevice) fs::create_directory_symlink(root / "devices/uart", entry / "device");
    if (type >= 0) std::ofstream(entry / "type") << type << "\n";
  }

  fs::path root;
};

}  // namespace

TEST_F(SerialPortList, PresentPortsStableNamesAndLiveLinesSortedIgnoringCase) {
  AddTty("ttyS0", true, 4);  // a 16550A answers here
  AddTty("ttyS1", true, 0);  // PORT_UNKNOWN: nothing there
  AddTty("ttyS10", true, 4);
  AddTty("ttyS2", true, 4);
  AddTty("ttyUSB0", true);
  AddTty("tty0", false);  // a console: no device behind it
  AddTty("ptmx", false);
  fs::create_directories(root / "by-id");
  std::ofstream(root / "by-id/usb-FTDI_FT232R-if00-port0") << "";
  fs::create_directories(root / "lines");
  std::ofstream(root / "target") << "";
  fs::create_symlink(root / "target", root / "lines/Line-a");
  fs::create_symlink(root / "gone", root / "lines/line-b");  // its simulator has ended

  const auto ports = ListSerialPortsIn((root / "class").string(), (root / "by-id").string(),
                                       (root / "lines").string());
  const std::vector<std::string> expected = {"/dev/ttyS0",
                                             "/dev/ttyS10",
                                             "/dev/ttyS2",
                                             "/dev/ttyUSB0",
                                             (root / "by-id/usb-FTDI_FT232R-if00-port0").string(),
                                             (root / "lines/Line-a").string()};
  // The temporary folder may sort before or after "/dev": compare as sets,
  // then check the order inside each group.
  EXPECT_EQ(ports.size(), expected.size());
  for (const auto& p : expected)
    EXPECT_NE(std::find(ports.begin(), ports.end(), p), ports.end()) << p;
  auto pos = [&](const std::string& p) {
    return std::find(ports.begin(), ports.end(), p) - ports.begin();
  };
  EXPECT_LT(pos("/dev/ttyS10"), pos("/dev/ttyS2"));
  EXPECT_LT(pos("/dev/ttyS2"), pos("/dev/ttyUSB0"));
  EXPECT_LT(pos(expected[4]), pos(expected[5]));  // ".../by-id" before ".../lines"
}

TEST_F(SerialPortList, MissingOptionalFoldersAreEmptyAndAnUnreadableListIsErrorTwentyThree) {
  AddTty("ttyACM0", true);
  const auto ports = ListSerialPortsIn((root / "class").string(), (root / "none1").string(),
                                       (root / "none2").string());
  EXPECT_EQ(ports, std::vector<std::string>{"/dev/ttyACM0"});
  try {
    ListSerialPortsIn((root / "no-class").string(), "", "");
    ADD_FAILURE() << "no error";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorKind(), 23);
    EXPECT_EQ(e.OsErrorCode(), ENOENT);
  }
}

TEST(VirtualLines, FolderFollowsTheRuntimeDirectory) {
  const char* old = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = old ? old : "";
  setenv("XDG_RUNTIME_DIR", "/run/user/1234", 1);
  EXPECT_EQ(VirtualLineDirectory(), "/run/user/1234/lim07-lines");
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(VirtualLineDirectory(), "/tmp/lim07-lines-" + std::to_string(getuid()));
  if (old) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  EXPECT_NO_THROW(ListSerialPorts());  // the real system's list can be read here
}
