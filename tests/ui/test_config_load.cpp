// Opening configuration files through the window: round trips byte for byte,
// damaged and odd files, the questions before the old configuration goes, and
// the port a file names.
#include <sys/inotify.h>
#include <termios.h>

#include <QAction>
#include <QLabel>

#include "MainFormConfig.h"
#include "test_config_support.h"

using namespace cfgtest;

namespace {

// A configuration with settings off their defaults and records whose bytes
// beyond the name and note lengths are not zero.
std::string UnusualConfiguration(const std::string& portName, bool connectedStored) {
  TComPort port;
  port.SetPort(portName);
  port.SetBaudRate(br19200);
  port.SetDataBits(dbSeven);
  port.SetStopBits(sbTwoStopBits);
  port.Parity().SetBits(prOdd);
  port.Parity().SetReplaceChar(0xB5);  // above 0x80: written as UTF-8 text
  port.FlowControl().SetXonChar(1);
  port.Timeouts().SetReadInterval(50);
  port.Timeouts().SetReadTotalMultiplier(2);
  port.Timeouts().SetReadTotalConstant(100000);  // a four-byte integer
  port.Buffer().SetInputSize(4096);
  port.SetLeft(104);
  port.SetTop(168);
  TDeviceList list;
  TDevice* a = NewDevice("ABCDEFGH", 1201, 1, 8);
  a->SetName("xy");  // the old name's bytes are cleared: fourteen zeros follow
  a->SetNote("ок");
  a->CalibrationCode1 = 0x1234;
  a->CalibrationCode2 = 0xFEDC;
  a->UnmeasurableLevel = 17;
  a->CalibrationLevel2 = 230;
  a->SetAveragingCoefficient(9);
  list.Add(a);
  list.Add(NewDevice("ЛИМ-07_65535", 65535, 254, 32));
  list.Add(NewDevice("", 0, 0, 0));
  std::string image = ConfigurationImage(port, list);
  // Bytes behind the name and note lengths, as an older program version may
  // have left them, are carried along untouched.
  const std::size_t first = image.size() - 3 * kDeviceRecordSize;
  image.replace(first + 3, 6, "STALE!");
  image.replace(first + 31 + 4, 10, "old note..");
  if (connectedStored) {
    // "Connected" True goes right after the object name, before "BaudRate".
    const std::string head = std::string("TPF0") + char(8) + "TComPort" + char(7) + "ComPort";
    const std::string connected = std::string(1, char(9)) + "Connected" + char(0x09);
    image.insert(head.size(), connected);
  }
  return image;
}

// Opens fileName through the Open action (the file dialog answers with it).
void Open(TMainForm& form, TScript& script, const QString& fileName) {
  script.FileNames.push_back(fileName);
  form.OpenActionExecute();
}

int InotifyOpens(int fd) {
  int opens = 0;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return opens;
    for (ssize_t i = 0; i < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buffer + i);
      if (e->mask & IN_OPEN) ++opens;
      i += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
}

struct TPseudoTerminal {
  int Master = -1;
  std::string SlavePath;
  TPseudoTerminal() {
    Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Master >= 0 && grantpt(Master) == 0 && unlockpt(Master) == 0) SlavePath = ptsname(Master);
  }
  ~TPseudoTerminal() {
    if (Master >= 0) close(Master);
  }
  speed_t Speed() const {
    termios t{};
    tcgetattr(Master, &t);
    return cfgetospeed(&t);
  }
};

class ConfigLoad : public TConfigTest {};

}  // namespace

TEST_F(ConfigLoad, LoadedFileSavedUnderAnotherNameIsByteIdentical) {
  TScript script;
  auto form = MakeWindow();
  const std::string original = UnusualConfiguration("/dev/ttyUSB7", false);
  WriteBytes(Path("a.l07"), original);

  Open(*form, script, QPath("a.l07"));
  EXPECT_EQ(script.Filters, std::vector<QString>{U8("Файлы конфигурации|*.l07")});
  ASSERT_EQ(form->DeviceCount(), 3);
  EXPECT_EQ(form->FFileName, QPath("a.l07"));
  EXPECT_FALSE(form->FModified);
  EXPECT_FALSE(form->ComPort().Connected());
  EXPECT_EQ(form->FDevices[0]->Name(), "xy");
  EXPECT_EQ(form->FDevices[0]->Note(), "ок");
  EXPECT_EQ(form->FDevices[1]->PlantNumber(), 65535);
  // The status bar shows the loaded port; the list can be edited.
  EXPECT_EQ(form->StatusPanel0->text(), U8(" /dev/ttyUSB7 / 19200 / 7 / 2 "));
  EXPECT_TRUE(form->RemoveDeviceAction->isEnabled());
  EXPECT_TRUE(script.Messages.empty());

  script.FileNames.push_back(QPath("b"));  // typed without an extension
  form->SaveAsActionExecute();
  EXPECT_EQ(form->FFileName, QPath("b.l07"));
  EXPECT_FALSE(form->FModified);
  EXPECT_EQ(ReadBytes(Path("b.l07")), original);
  EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"a.l07", "b.l07"}));
}

TEST_F(ConfigLoad, FileSavedWithThePortOpenLoadsWithThePortClosed) {
  TPseudoTerminal pty;
  ASSERT_FALSE(pty.SlavePath.empty());
  ASSERT_NE(pty.Speed(), B19200);
  TScript script;
  auto form = MakeWindow();
  const std::string stored = UnusualConfiguration(pty.SlavePath, true);
  WriteBytes(Path("open.l07"), stored);

  Open(*form, script, QPath("open.l07"));
  EXPECT_TRUE(script.Messages.empty());
  EXPECT_EQ(form->DeviceCount(), 3);
  // The terminal was opened under the stored settings, then closed again.
  EXPECT_EQ(pty.Speed(), B19200);
  EXPECT_FALSE(form->ComPort().Connected());
  EXPECT_TRUE(form->OpenPortAction->isEnabled());
  EXPECT_FALSE(form->RunAction->isEnabled());
  // Nothing holds it: the port opens again at once.
  form->OpenPortActionExecute();
  EXPECT_TRUE(form->ComPort().Connected());
  form->ClosePortActionExecute();

  // Saved again, the file says the port was closed and is otherwise the same.
  script.FileNames.push_back(QPath("closed.l07"));
  form->SaveAsActionExecute();
  EXPECT_EQ(ReadBytes(Path("closed.l07")), UnusualConfiguration(pty.SlavePath, false));
}

TEST_F(ConfigLoad, StoredConnectionNeverOpensAnythingButATerminal) {
  const std::string plain = Path("not-a-port");
  WriteBytes(plain, "keep");
  EXPECT_FALSE(IsTerminalDevicePath(plain));
  EXPECT_FALSE(IsTerminalDevicePath("/dev/null"));
  EXPECT_FALSE(IsTerminalDevicePath(Dir));
  EXPECT_FALSE(IsTerminalDevicePath(Path("missing")));
  TPseudoTerminal pty;
  EXPECT_TRUE(IsTerminalDevicePath(pty.SlavePath));

  // A character device that is no terminal. Not /dev/null: the watch sees
  // every process's opens, and the tests running beside this one open
  // /dev/null all the time.
  for (const std::string& target : {plain, std::string("/dev/full")}) {
    SCOPED_TRACE(target);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, target.c_str(), IN_OPEN), 0);
    TScript script;
    auto form = MakeWindow();
    WriteBytes(Path("sent.l07"), UnusualConfiguration(target, true));
    Open(*form, script, QPath("sent.l07"));
    EXPECT_TRUE(script.Messages.empty());
    EXPECT_EQ(form->DeviceCount(), 3);
    EXPECT_EQ(form->ComPort().Port(), target);
    EXPECT_FALSE(form->ComPort().Connected());
    EXPECT_EQ(InotifyOpens(watch), 0) << "the loader opened " << target;
    close(watch);
  }
  EXPECT_EQ(ReadBytes(plain), "keep");
}

TEST_F(ConfigLoad, OddButReadableFiles) {
  const std::string full = UnusualConfiguration("COM3", false);
  const std::string block = full.substr(0, full.size() - 3 * kDeviceRecordSize);
  TScript script;
  auto form = MakeWindow();

  // 40 stray bytes after the last full record are ignored.
  WriteBytes(Path("tail.l07"), full + std::string(40, '\x55'));
  Open(*form, script, QPath("tail.l07"));
  EXPECT_EQ(form->DeviceCount(), 3);
  EXPECT_EQ(form->FFileName, QPath("tail.l07"));

  // The settings alone: an empty list, and the file becomes the current one.
  WriteBytes(Path("settings.l07"), block);
  Open(*form, script, QPath("settings.l07"));
  EXPECT_EQ(form->DeviceCount(), 0);
  EXPECT_EQ(form->FFileName, QPath("settings.l07"));
  EXPECT_FALSE(form->RemoveDeviceAction->isEnabled());
  EXPECT_EQ(form->StatusPanel0->text(), U8(" COM3 / 19200 / 7 / 2 "));

  // An empty port name is read as it stands; saved again it is left out, and
  // the devices come back the same (a finding of the reader's fuzz run).
  std::string noPort = full;
  const std::string portProperty = std::string(1, char(4)) + "Port" + char(6) + char(4) + "COM3";
  const auto at = noPort.find(portProperty);
  ASSERT_NE(at, std::string::npos);
  noPort.replace(at, portProperty.size(), std::string(1, char(4)) + "Port" + char(6) + char(0));
  WriteBytes(Path("noport.l07"), noPort);
  Open(*form, script, QPath("noport.l07"));
  EXPECT_TRUE(script.Messages.empty());
  EXPECT_EQ(form->ComPort().Port(), "");
  const std::vector<std::string> records = Records(form->FDevices);
  ASSERT_EQ(records.size(), 3u);
  script.FileNames.push_back(QPath("again.l07"));
  form->SaveAsActionExecute();
  Open(*form, script, QPath("again.l07"));
  EXPECT_EQ(Records(form->FDevices), records);
}

TEST_F(ConfigLoad, UnreadableFilesClearTheOldListAndLeaveNoFileName) {
  const std::string full = UnusualConfiguration("COM3", false);
  struct TCase {
    const char* Name;
    std::string Bytes;
  };
  std::string unknownProperty = full;
  unknownProperty.replace(unknownProperty.find("DataBits"), 8, "DataBitz");
  std::string hugeText = full.substr(0, 21);  // up to the end of "ComPort"
  hugeText += std::string(1, char(4)) + "Port" + char(0x0C) + std::string("\xff\xff\xff\x7f", 4);
  const TCase cases[] = {
      {"empty", ""},
      {"no signature", "TPF1" + full.substr(4)},
      {"truncated block", full.substr(0, 40)},
      {"unknown property", unknownProperty},
      {"huge text length", hugeText},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TScript script;
    auto form = MakeWindow();
    form->AddDevice(NewDevice("old", 5, 5));
    form->FFileName = QPath("previous.l07");
    form->FModified = false;
    WriteBytes(Path("bad.l07"), c.Bytes);
    script.Answers = {mrOk};
    Open(*form, script, QPath("bad.l07"));
    ASSERT_EQ(script.Messages.size(), 1u);
    EXPECT_EQ(script.Messages[0].Text, U8("Ошибка чтения файла!"));
    EXPECT_EQ(script.Messages[0].Type, mtError);
    EXPECT_EQ(script.Messages[0].Caption, U8("Настройка ЛИМ-07"));
    EXPECT_EQ(form->DeviceCount(), 0);
    EXPECT_TRUE(form->FFileName.isEmpty());
    EXPECT_FALSE(form->FModified);
    // A damaged block sets nothing on the port.
    EXPECT_EQ(form->ComPort().Port(), "COM1");
    EXPECT_EQ(form->StatusPanel0->text(), U8(" COM1 / 9600 / 8 / 1 "));
  }
}

TEST_F(ConfigLoad, MissingFileChangesNothing) {
  TScript script;
  auto form = MakeWindow();
  form->AddDevice(NewDevice("kept", 5, 5));
  form->FFileName = QPath("current.l07");
  script.Answers = {mrOk};
  form->LoadConfiguration(QPath("missing.l07"));
  EXPECT_EQ(script.Texts(), std::vector<QString>{U8("Файл не найден!")});
  EXPECT_EQ(script.Messages[0].Type, mtError);
  EXPECT_EQ(form->DeviceCount(), 1);
  EXPECT_EQ(form->FFileName, QPath("current.l07"));
  EXPECT_TRUE(form->FModified);
}

TEST_F(ConfigLoad, QuestionBeforeTheModifiedConfigurationGoes) {
  WriteBytes(Path("other.l07"), UnusualConfiguration("COM4", false));
  const QString save = U8("Сохранить внесенные изменения?");

  {  // Cancel: nothing changes and the file is not read.
    TScript script;
    auto form = MakeWindow();
    form->AddDevice(NewDevice("mine", 1, 1));
    form->FFileName = QPath("mine.l07");
    script.Answers = {mrCancel};
    Open(*form, script, QPath("other.l07"));
    ASSERT_EQ(script.Messages.size(), 1u);
    EXPECT_EQ(script.Messages[0].Text, save);
    EXPECT_EQ(script.Messages[0].Type, mtConfirmation);
    EXPECT_EQ(script.Messages[0].Buttons, mbYes | mbNo | mbCancel);
    EXPECT_EQ(form->DeviceCount(), 1);
    EXPECT_EQ(form->FFileName, QPath("mine.l07"));
    EXPECT_TRUE(form->FModified);
    EXPECT_EQ(form->ComPort().Port(), "COM1");
    EXPECT_FALSE(fs::exists(Path("mine.l07")));
  }
  {  // No: the changes are dropped and the file is read.
    TScript script;
    auto form = MakeWindow();
    form->AddDevice(NewDevice("mine", 1, 1));
    script.Answers = {mrNo};
    Open(*form, script, QPath("other.l07"));
    EXPECT_EQ(form->DeviceCount(), 3);
    EXPECT_EQ(form->FFileName, QPath("other.l07"));
  }
  {  // Yes with a current file: saved there first, then the file is read.
    TScript script;
    auto form = MakeWindow();
    form->AddDevice(NewDevice("mine", 1, 1));
    form->FFileName = QPath("mine.l07");
    script.Answers = {mrYes};
    Open(*form, script, QPath("other.l07"));
    EXPECT_EQ(form->DeviceCount(), 3);
    auto check = MakeWindow();
    check->LoadConfiguration(QPath("mine.l07"));
    ASSERT_EQ(check->DeviceCount(), 1);
    EXPECT_EQ(check->FDevices[0]->Name(), "mine");
  }
  {  // Unmodified: no question at all.
    TScript script;
    auto form = MakeWindow();
    Open(*form, script, QPath("other.l07"));
    EXPECT_TRUE(script.Messages.empty());
    EXPECT_EQ(form->DeviceCount(), 3);
  }
}

// `lim07 FILE.l07`: a name relative to the current folder is remembered in
// full, and a missing or damaged file gets the messages of "Открыть" and keeps
// nothing of it.
TEST_F(ConfigLoad, FileNamedOnTheCommandLineOpensAsTheOpenCommandDoes) {
  WriteBytes(Path("line.l07"), UnusualConfiguration("/dev/ttyUSB7", false));
  WriteBytes(Path("bad.l07"), "TPF0 damaged");
  const fs::path before = fs::current_path();
  fs::current_path(Dir);
  struct TCase {
    const char* Argument;
    const char* Message;  // nullptr: opened without a question
    int Devices;
  };
  const TCase cases[] = {
      {"line.l07", nullptr, 3},
      {"bad.l07", "Ошибка чтения файла!", 0},
      {"missing.l07", "Файл не найден!", 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Argument);
    TScript script;
    auto form = MakeWindow();
    if (c.Message) script.Answers = {mrOk};
    OpenConfigurationAtStart(*form, QString::fromUtf8(c.Argument));
    EXPECT_EQ(script.Texts(),
              c.Message ? std::vector<QString>{U8(c.Message)} : std::vector<QString>{});
    EXPECT_EQ(form->DeviceCount(), c.Devices);
    EXPECT_EQ(form->FFileName, c.Message ? QString() : QPath(c.Argument));
    EXPECT_FALSE(form->FModified);
    EXPECT_EQ(form->ComPort().Port(), c.Message ? "COM1" : "/dev/ttyUSB7");
  }
  fs::current_path(before);
}
