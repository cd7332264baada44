// The device table sgDevices and the state panel gbState.
#include <QCheckBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPolygon>
#include <algorithm>
#include <cmath>

#include "Dialogs.h"
#include "MainForm.h"
#include "ViewHub.h"
#include "UiHooks.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}
QString U(const std::string& s) {
  return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

constexpr int kLastColumn = 10;
constexpr QChar kBackspace(8);
constexpr QChar kEnter(13);
constexpr QChar kEscape(27);

}  // namespace

// ------------------------------------------------------------------ selection

int TMainForm::SelectedIndex() {
  if (FSelectedIndex >= DeviceCount()) FSelectedIndex = -1;
  return FSelectedIndex;
}

void TMainForm::SelectDevice(int index) {
  // Only the selected row carries the marker; FMarkerRow remembers where it
  // stands, so selecting costs the same whatever the length of the list (a
  // load selects every device it adds). Rows the table no longer has are not
  // written.
  ClearSelectionMarker();
  if (index < 0 || index >= DeviceCount()) {
    FSelectedIndex = -1;
    ClearStatePanel();
  } else {
    FSelectedIndex = index;
    sgDevices->SetCells(0, index + 1, QStringLiteral(" >"));
    FMarkerRow = index + 1;
  }
  RefreshSelection();
  UpdateViewedDevice();
}

void TMainForm::ClearSelectionMarker() {
  if (FMarkerRow >= 1 && FMarkerRow < sgDevices->RowCount())
    sgDevices->SetCells(0, FMarkerRow, QString());
  FMarkerRow = -1;
}

void TMainForm::RefreshSelection() {
  const int index = SelectedIndex();
  if (index < 0) {
    sgTemperature->SetColCount(1);
    sgTemperature->SetCells(0, 0, QString());
    sgTemperature->SetCells(0, 1, QString());
    return;
  }
  const int n = FDevices[index]->SensorCount();
  sgTemperature->SetColCount(std::max(1, n));
  if (n == 0) {
    sgTemperature->SetCells(0, 0, QString());
    sgTemperature->SetCells(0, 1, QString());
  }
  for (int i = 0; i < n; ++i) sgTemperature->SetCells(i, 0, QString::number(i + 1));
  ShowDeviceState(true, true);
}

void TMainForm::ClearStatePanel() {
  sgTemperature->SetColCount(1);
  sgTemperature->SetCells(0, 0, QString());
  sgTemperature->SetCells(0, 1, QString());
  lLastOperation->clear();
  lLastResult->clear();
}

QString TMainForm::TemperatureText(std::uint16_t word) {
  if (word == kNoDataTemperature) return QString();
  if (word == kFaultTemperatureA || word == kFaultTemperatureB) return QStringLiteral("****");
  QLocale locale;
  locale.setNumberOptions(QLocale::OmitGroupSeparator);
  double degrees = static_cast<std::int16_t>(word) / 16.0;
  // Five significant digits, two decimals at most: from 1000 degrees on the
  // second decimal is 0 (0x7FFF reads 2047.90). Sixteenths are exact in
  // binary, so rounding half away from zero has no ties to misjudge.
  if (std::fabs(degrees) >= 1000.0) degrees = std::round(degrees * 10.0) / 10.0;
  return locale.toString(degrees, 'f', 2);
}

void TMainForm::ShowDeviceState(bool temperatures, bool level) {
  const int index = SelectedIndex();
  if (index < 0) return;
  TDevice* d = FDevices[index];
  gbState->setTitle(QStringLiteral(" %1 %2 ").arg(Tr("Состояние"), U(d->Name())));
  lLastOperation->setText(U(d->LastOperation));
  lLastResult->setText(U(d->LastResult));
  if (temperatures) {
    const int n = d->SensorCount();
    // The sensor count may have changed since the table was laid out (an
    // operation read it back): lay it out again before writing.
    if (sgTemperature->ColCount() != std::max(1, n)) {
      sgTemperature->SetColCount(std::max(1, n));
      for (int i = 0; i < n; ++i) sgTemperature->SetCells(i, 0, QString::number(i + 1));
    }
    if (d->TemperatureState & kStateFailed) {
      chbEEPROMError->setChecked(false);
      chbBusError->setChecked(false);
      chbSensorError->setChecked(false);
      for (int c = 0; c < sgTemperature->ColCount(); ++c) sgTemperature->SetCells(c, 1, QString());
    } else {
      const std::vector<std::uint16_t> words = d->TemperaturesSnapshot();  // under the device lock
      for (int i = 0; i < n; ++i)
        sgTemperature->SetCells(
            i, 1, i < static_cast<int>(words.size()) ? TemperatureText(words[i]) : QString());
      chbEEPROMError->setChecked(d->TemperatureState & 0x0001);
      chbBusError->setChecked(d->TemperatureState & 0x0004);
      chbSensorError->setChecked(d->TemperatureState & 0x0008);
    }
  }
  if (level) {
    if (d->LevelState & kStateFailed) {
      stC->clear();
      stH->clear();
      chbRangeError->setChecked(false);
      chbDustError->setChecked(false);
      chbDACError->setChecked(false);
    } else {
      stC->setText(QString::number(d->LevelCode));
      stH->setText(QString::number(d->Level));
      chbRangeError->setChecked(d->LevelState & 0x0002);
      chbDustError->setChecked(d->LevelState & 0x0010);
      chbDACError->setChecked(d->LevelState & 0x0020);
    }
  }
}

// ------------------------------------------------------------------ marks

void TMainForm::SetCellMark(int col, int row, TColorFlag* mark) {
  sgDevices->SetObjects(col, row, mark);
}

TColorFlag* TMainForm::GetCellMark(int col, int row) const {
  return static_cast<TColorFlag*>(sgDevices->Objects(col, row));
}

void TMainForm::ClearWrittenMarks(int row, bool address, bool sensorCount, bool calibration,
                                  bool coefficient) {
  RunOnUiThread([=, this] {
    if (address) SetCellMark(3, row, nullptr);
    if (sensorCount) SetCellMark(4, row, nullptr);
    if (calibration)
      for (int c = 5; c <= 8; ++c) SetCellMark(c, row, nullptr);
    if (coefficient) SetCellMark(9, row, nullptr);
    FillRow(row);
  });
}

void TMainForm::ClearAllMarks() {
  sgDevices->BeginUpdate();
  for (int r = 1; r <= DeviceCount(); ++r)
    for (int c = 1; c <= kLastColumn; ++c) SetCellMark(c, r, nullptr);
  sgDevices->EndUpdate();
}

void TMainForm::pmNoMarkClick() {
  ClearAllMarks();
}

// ------------------------------------------------------------------ rows

void TMainForm::FillRow(int row) {
  if (row < 1 || row > DeviceCount()) return;
  const auto texts = FDevices[row - 1]->FillRow();
  for (int c = 1; c <= kLastColumn; ++c) sgDevices->SetCells(c, row, U(texts[c - 1]));
}

void TMainForm::ResetDeviceTable() {
  HideEditor();
  sgDevices->SetRowCount(2);
  for (int c = 0; c <= kLastColumn; ++c) {
    sgDevices->SetCells(c, 1, QString());
    SetCellMark(c, 1, nullptr);
  }
  FSelectedIndex = -1;
  FMarkerRow = -1;
  ClearStatePanel();
  if (FViewHub) FViewHub->NotifyDeviceListChanged();
}

void TMainForm::AddDevice(TDevice* device) {
  RunOnUiThread([this, device] {
    if (FDevices.IndexOf(device) >= 0) return;
    HideEditor();
    FDevices.Add(device);
    const int i = FDevices.IndexOf(device);
    if (i >= sgDevices->RowCount() - 1) sgDevices->SetRowCount(i + 2);
    FillRow(i + 1);
    FModified = true;
    SelectDevice(i);
    EnforceMinimumPeriod();
    // A list that has a device again can lose one (also after a load).
    if (!Busy()) RemoveDeviceAction->setEnabled(true);
    if (FViewHub) FViewHub->NotifyDeviceListChanged();
  });
}

void TMainForm::DeleteDevice(int index) {
  if (index < 0 || index >= DeviceCount()) {
    MessageDlg(Tr("Недопустимый индекс устройства!"), mtError, mbOK, this);
    return;
  }
  HideEditor();
  // The rows below move up with their texts: take the marker off first so it
  // cannot travel with them.
  ClearSelectionMarker();
  FDevices.Delete(index);
  if (DeviceCount() == 0) {
    for (int c = 0; c <= kLastColumn; ++c) {
      sgDevices->SetCells(c, 1, QString());
      SetCellMark(c, 1, nullptr);
    }
  } else {
    const int rows = sgDevices->RowCount();
    for (int r = index + 1; r < rows - 1; ++r)
      for (int c = 0; c <= kLastColumn; ++c) {
        sgDevices->SetCells(c, r, sgDevices->Cells(c, r + 1));
        SetCellMark(c, r, GetCellMark(c, r + 1));
      }
    sgDevices->SetRowCount(rows - 1);
  }
  SelectDevice(0);
  FModified = true;
  EnforceMinimumPeriod();
  if (FViewHub) FViewHub->NotifyDeviceListChanged();
}

void TMainForm::SortDevices(TSortKey key) {
  HideEditor();
  sgDevices->BeginUpdate();
  for (int r = 1; r <= DeviceCount(); ++r)
    for (int c = 1; c <= kLastColumn; ++c) SetCellMark(c, r, nullptr);
  const int selected = SelectedIndex();
  TDevice* keep = selected >= 0 ? FDevices[selected] : nullptr;
  if (key == TSortKey::PlantNumber)
    FDevices.SortByPlantNumber();
  else
    FDevices.SortBySystemAddress();
  for (int r = 1; r <= DeviceCount(); ++r) FillRow(r);
  SelectDevice(keep ? FDevices.IndexOf(keep) : -1);
  sgDevices->EndUpdate();
  if (FViewHub) FViewHub->NotifyDeviceListChanged();
}

void TMainForm::SortByPlantNumberActionExecute() {
  if (Busy()) return;
  SortDevices(TSortKey::PlantNumber);
}

void TMainForm::SortBySystemAddressActionExecute() {
  if (Busy()) return;
  SortDevices(TSortKey::SystemAddress);
}

void TMainForm::FindLostNumbersActionExecute() {
  if (DeviceCount() == 0) return;
  MessageDlg(U(LostNumbersMessage(FDevices)), mtInformation, mbOK, this);
}

// ------------------------------------------------------------------ add / remove

void TMainForm::AddDeviceActionExecute() {
  if (Busy()) return;
  TAddLimForm form(this);
  if (ExecDialog(form) == mrOk) {
    auto* device = new TDevice;
    device->SetSystemAddress(static_cast<std::uint8_t>(form.Address()));
    device->SetPlantNumber(static_cast<std::uint16_t>(form.Number()));
    const QString name = form.DeviceName();
    device->SetName(name.isEmpty() ? DefaultDeviceName(device->PlantNumber()) : name.toStdString());
    AddDevice(device);
  }
  RemoveDeviceAction->setEnabled(DeviceCount() > 0);
}

void TMainForm::RemoveDeviceActionExecute() {
  if (Busy()) return;
  if (MessageDlg(Tr("Вы действительно желаете удалить устройство из списка?"), mtConfirmation,
                 mbYes | mbNo, this) == mrYes)
    DeleteDevice(SelectedIndex());
  RemoveDeviceAction->setEnabled(DeviceCount() > 0);
  FModified = true;
}

// ------------------------------------------------------------------ mouse and drawing

void TMainForm::sgDevicesMouseDown(Qt::MouseButton button, const QPoint& pos) {
  if (button == Qt::LeftButton || button == Qt::RightButton) {
    FMouseX = pos.x();
    FMouseY = pos.y();
  }
  sgDevices->MouseToCell(QPoint(FMouseX, FMouseY), FHitCol, FHitRow);
  if (FHitRow >= 1) SelectDevice(FHitRow - 1);
}

void TMainForm::sgDevicesDrawCell(QPainter& canvas, int col, int row, const QRect& rect) {
  const QString text = sgDevices->Cells(col, row);
  if (col == 0) {
    if (!text.isEmpty()) {
      const QRect r = rect.adjusted(0, 0, -1, -1);  // right and bottom are inclusive here
      const QPolygon triangle({QPoint(r.left() + 2, r.top() + 2),
                               QPoint(r.right() - 1, r.top() + r.height() / 2),
                               QPoint(r.left() + 2, r.bottom() - 2)});
      canvas.setPen(Qt::black);
      canvas.setBrush(Qt::black);
      canvas.drawPolygon(triangle);
      return;
    }
  } else if (row >= 1) {
    if (TColorFlag* mark = GetCellMark(col, row)) canvas.fillRect(rect, mark->Color);
  }
  TStringGrid::DrawCellText(canvas, rect, text);
}

// ------------------------------------------------------------------ in-place editing

void TMainForm::sgDevicesDblClick() {
  if (Busy() || DeviceCount() == 0) return;
  sgDevices->MouseToCell(QPoint(FMouseX, FMouseY), FHitCol, FHitRow);
  if (FHitCol < 1 || FHitRow < 1 || FHitRow > DeviceCount()) return;
  BeginEdit(FHitCol, FHitRow);
}

void TMainForm::BeginEdit(int col, int row) {
  const QRect cell = sgDevices->CellRect(col, row);
  if (cell.isEmpty()) return;
  FEditCol = col;
  FEditRow = row;
  FEditDevice = FDevices[row - 1];
  GridPopupEdit->setGeometry(cell.adjusted(0, 0, 1, 1));
  GridPopupEdit->setText(sgDevices->Cells(col, row));
  FEditorKeyPress =
      (col == 1 || col == kLastColumn)
          ? std::function<QChar(QChar)>([this](QChar k) { return TextCellKeyPress(k); })
          : std::function<QChar(QChar)>([this](QChar k) { return IntegerCellKeyPress(k); });
  GridPopupEdit->show();
  GridPopupEdit->raise();
  GridPopupEdit->setFocus();
  GridPopupEdit->selectAll();
}

void TMainForm::HideEditor() {
  FEditDevice = nullptr;
  FEditorKeyPress = nullptr;
  if (GridPopupEdit->isVisible()) GridPopupEdit->hide();
}

void TMainForm::EditorExit() {
  HideEditor();
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == GridPopupEdit && event->type() == QEvent::FocusOut && GridPopupEdit->isVisible())
    EditorExit();
  return QMainWindow::eventFilter(watched, event);
}

QChar TMainForm::IntegerCellKeyPress(QChar key) {
  const bool digit = key.unicode() >= '0' && key.unicode() <= '9';
  if (!(digit || key == kBackspace || key == kEnter || key == kEscape || key == QLatin1Char('.')))
    return QChar();
  if (key == kEscape) {
    HideEditor();
    return QChar();
  }
  if (key != kEnter) return key;
  // The device must still be the one the editor was opened on, and no worker
  // may be using it.
  const int row = FEditRow, col = FEditCol;
  TDevice* d = FEditDevice;
  if (!d || Busy() || row < 1 || row > DeviceCount() || FDevices[row - 1] != d) {
    HideEditor();
    return QChar();
  }
  bool ok = false;
  long long v = GridPopupEdit->text().toLongLong(&ok);
  if (!ok || v > 0x7FFFFFFF || v < -0x7FFFFFFFLL - 1) v = 0;
  const auto value = static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
  std::uint32_t shown = 0;
  switch (col) {
    case 2:
      d->SetPlantNumber(static_cast<std::uint16_t>(value));
      shown = d->PlantNumber();
      break;
    case 3:
      d->SetSystemAddress(static_cast<std::uint8_t>(value));
      shown = d->SystemAddress();
      break;
    case 4:
      d->SetSensorCount(static_cast<int>(std::min<std::uint32_t>(value, 0x7FFFFFFF)));
      shown = d->SensorCount();
      break;
    case 5:
      d->CalibrationCode1 = static_cast<std::uint16_t>(value);
      shown = d->CalibrationCode1;
      break;
    case 6:
      d->UnmeasurableLevel = static_cast<std::uint16_t>(value);
      shown = d->UnmeasurableLevel;
      break;
    case 7:
      d->CalibrationCode2 = static_cast<std::uint16_t>(value);
      shown = d->CalibrationCode2;
      break;
    case 8:
      d->CalibrationLevel2 = static_cast<std::uint16_t>(value);
      shown = d->CalibrationLevel2;
      break;
    case 9:
      d->SetAveragingCoefficient(static_cast<std::uint8_t>(value));
      shown = d->AveragingCoefficient();
      break;
    default:
      HideEditor();
      return QChar();
  }
  sgDevices->SetCells(col, row, QString::number(shown));
  SetCellMark(col, row, FMark);
  HideEditor();
  FModified = true;
  if (row == SelectedIndex() + 1) RefreshSelection();
  return QChar();
}

QChar TMainForm::TextCellKeyPress(QChar key) {
  if (key == kEscape) {
    HideEditor();
    return QChar();
  }
  if (key != kEnter) return key;
  const int row = FEditRow, col = FEditCol;
  TDevice* d = FEditDevice;
  if (!d || Busy() || row < 1 || row > DeviceCount() || FDevices[row - 1] != d) {
    HideEditor();
    return QChar();
  }
  const std::string text = GridPopupEdit->text().toStdString();
  if (col == 1) {
    d->SetName(text);
    sgDevices->SetCells(col, row, U(d->Name()));
  } else {
    d->SetNote(text);
    sgDevices->SetCells(col, row, U(d->Note()));
  }
  HideEditor();
  FModified = true;
  if (row == SelectedIndex() + 1) RefreshSelection();
  return QChar();
}
