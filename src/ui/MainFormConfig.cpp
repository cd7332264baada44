// New / Open / Save / Save As of the configuration file.
#include <QAction>
#include <QFileInfo>

#include "MainForm.h"
#include "UiHooks.h"

#include "ConfigFile.h"

namespace {
QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}
const char* const kConfigFilter = "Файлы конфигурации|*.l07";
}  // namespace

bool TMainForm::AskSaveChanges() {
  if (!FModified) return true;
  const int answer = MessageDlg(Tr("Сохранить внесенные изменения?"), mtConfirmation,
                                mbYes | mbNo | mbCancel, this);
  if (answer == mrCancel) return false;
  if (answer != mrYes) return true;
  if (!FFileName.isEmpty()) {
    SaveConfiguration(FFileName);  // a failure raises and ends the command
    return true;
  }
  return SaveConfigurationAs();
}

bool TMainForm::ClearConfiguration() {
  if (Busy()) return false;
  if (!AskSaveChanges()) return false;
  HideEditor();
  ResetDeviceTable();
  FDevices.Clear();
  FFileName.clear();
  FModified = false;
  return true;
}

void TMainForm::LoadConfiguration(const QString& fileName) {
  if (!QFileInfo::exists(fileName)) {
    MessageDlg(Tr("Файл не найден!"), mtError, mbOK, this);
    return;
  }
  if (!ClearConfiguration()) return;
  try {
    LoadConfigurationFile(fileName.toStdString(), FComPort,
                          [this](std::unique_ptr<TDevice> d) { AddDevice(d.release()); });
    RefreshPortDescription();
    FFileName = fileName;
    FModified = false;
  } catch (const std::exception&) {
    RefreshPortDescription();
    FModified = false;
    UpdatePortActions(FComPort.Connected());
    MessageDlg(Tr("Ошибка чтения файла!"), mtError, mbOK, this);
  }
  UpdatePortActions(FComPort.Connected());
}

void TMainForm::SaveConfiguration(const QString& fileName) {
  if (fileName == FFileName && !FModified) return;
  SaveConfigurationFile(fileName.toStdString(), FComPort, FDevices);
  FFileName = fileName;
  FModified = false;
}

bool TMainForm::SaveConfigurationAs() {
  const QString name =
      PromptFileName(this, TFileDialogKind::Save, Tr(kConfigFilter), QStringLiteral("*.l07"));
  if (name.isEmpty()) return false;
  if (QFileInfo::exists(name) && MessageDlg(Tr("Перезаписать существующий файл?"), mtConfirmation,
                                            mbYes | mbNo, this) != mrYes)
    return false;
  SaveConfiguration(name);
  return true;
}

void TMainForm::NewActionExecute() {
  if (Busy()) return;
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
