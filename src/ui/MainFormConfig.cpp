// New / Open / Save / Save As of the configuration file, and the questions
// around them. The file format itself is ConfigFile (model layer).
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QAction>
#include <QFileInfo>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "ConfigFile.h"
#include "MainForm.h"
#include "MainFormConfig.h"
#include "UiHooks.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}
const char* const kConfigFilter = "Файлы конфигурации|*.l07";
const char* const kConfigExtension = "*.l07";

// Majors of the character devices whose driver is a terminal: "tty", "ttyS",
// "ttyUSB", "ttyACM", "pts" and the like in /proc/devices. The entries named
// by a path ("/dev/tty", "/dev/ptmx") are the controlling terminal and the
// pty master multiplexer, neither of which is a line.
std::set<unsigned> TerminalMajors() {
  std::set<unsigned> majors;
  std::ifstream devices("/proc/devices");
  std::string line;
  bool character = false;
  while (std::getline(devices, line)) {
    if (line.rfind("Character devices", 0) == 0) character = true;
    if (line.rfind("Block devices", 0) == 0) character = false;
    if (!character) continue;
    std::istringstream fields(line);
    unsigned major = 0;
    std::string driver;
    if (fields >> major >> driver && (driver.rfind("tty", 0) == 0 || driver == "pts"))
      majors.insert(major);
  }
  return majors;
}

}  // namespace

// A file names its port; a file someone sent may name any path. Only a
// terminal device is ever opened for it: opening other device nodes can have
// effects of their own (a watchdog starts, a tape rewinds), and a FIFO or a
// regular file is no line. The port itself refuses what isatty refuses.
bool IsTerminalDevicePath(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  return TerminalMajors().count(major(st.st_rdev)) > 0;
}

bool TMainForm::AskSaveChanges() {
  if (!FModified) return true;
  const int answer = MessageDlg(Tr("Сохранить внесенные изменения?"), mtConfirmation,
                                mbYes | mbNo | mbCancel, this);
  if (answer == mrCancel) return false;
  if (answer != mrYes) return true;
  // Yes: the configuration goes on only once it is safely in a file. A
  // cancelled file dialog or a failed save stops the caller, so that nothing
  // the user wanted kept is cleared.
  try {
    if (!FFileName.isEmpty()) {
      SaveConfiguration(FFileName);
      return true;
    }
    return SaveConfigurationAs();
  } catch (const std::exception& e) {
    ShowErrorReport(QString::fromUtf8(e.what()));
    return false;
  }
}

bool TMainForm::ClearConfiguration() {
  // The device list may not change under a running worker or upload.
  if (Busy()) return false;
  if (!AskSaveChanges()) return false;
  HideEditor();
  ResetDeviceTable();
  FDevices.Clear();
  FFileName.clear();
  FModified = false;
  RemoveDeviceAction->setEnabled(false);
  return true;
}

void TMainForm::LoadConfiguration(const QString& fileName) {
  if (!QFileInfo::exists(fileName)) {
    MessageDlg(Tr("Файл не найден!"), mtError, mbOK, this);
    return;
  }
  if (!ClearConfiguration()) return;
  bool readable = true;
  try {
    const TConfigLoadResult result = LoadConfigurationFile(
        fileName.toStdString(), FComPort,
        [this](std::unique_ptr<TDevice> device) { AddDevice(device.release()); });
    if (result.ConnectedStored) TouchStoredPort(FComPort);
  } catch (const std::exception&) {
    readable = false;
  }
  // The settings may have changed even when the records could not be read.
  RefreshPortDescription();
  UpdatePortActions(FComPort.Connected());
  RemoveDeviceAction->setEnabled(DeviceCount() > 0);
  FModified = false;
  if (readable)
    FFileName = fileName;
  else
    MessageDlg(Tr("Ошибка чтения файла!"), mtError, mbOK, this);
}

void OpenConfigurationAtStart(TMainForm& form, const QString& fileName) {
  const QString absolute = QFileInfo(fileName).absoluteFilePath();
  RunGuarded([&] { form.LoadConfiguration(absolute); });
}

void TouchStoredPort(TCustomComPort& port) {
  if (port.Connected() || !IsTerminalDevicePath(TCustomComPort::DevicePath(port.Port()))) return;
  try {
    port.SetConnected(true);
  } catch (const EComPort&) {
  }
  try {
    port.SetConnected(false);
  } catch (const EComPort&) {
  }
}

void TMainForm::SaveConfiguration(const QString& fileName) {
  if (fileName == FFileName && !FModified) return;
  // Raises on any failure; the old file, the name and the flag stay as they were.
  SaveConfigurationFile(fileName.toStdString(), FComPort, FDevices);
  FFileName = fileName;
  FModified = false;
}

bool TMainForm::SaveConfigurationAs() {
  const QString name =
      PromptFileName(this, TFileDialogKind::Save, Tr(kConfigFilter), Tr(kConfigExtension));
  if (name.isEmpty()) return false;
  if (QFileInfo::exists(name) && MessageDlg(Tr("Перезаписать существующий файл?"), mtConfirmation,
                                            mbYes | mbNo, this) != mrYes)
    return false;
  SaveConfiguration(name);
  return true;
}

void TMainForm::NewActionExecute() {
  ClearConfiguration();
}

void TMainForm::OpenActionExecute() {
  if (Busy() || FComPort.Connected()) return;
  const QString name = PromptFileName(this, TFileDialogKind::Open, Tr(kConfigFilter));
  if (!name.isEmpty()) LoadConfiguration(name);
}

void TMainForm::SaveActionExecute() {
  if (!FFileName.isEmpty()) SaveConfiguration(FFileName);
}

void TMainForm::SaveAsActionExecute() {
  SaveConfigurationAs();
}
