// The device table and the state panel.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QTest>

#include "UiTestSupport.h"

namespace {

// Double-clicks a cell of the device table and types into the editor.
void EditCell(TMainForm& form, int col, int row, const QString& typed,
              Qt::Key end = Qt::Key_Return) {
  const QPoint p = form.sgDevices->CellRect(col, row).center();
  form.sgDevicesMouseDown(Qt::LeftButton, p);
  form.sgDevicesDblClick();
  ASSERT_TRUE(form.GridPopupEdit->isVisibleTo(&form)) << col << "," << row;
  form.GridPopupEdit->clear();
  QTest::keyClicks(form.GridPopupEdit, typed);
  QTest::keyClick(form.GridPopupEdit, end);
}

}  // namespace

TEST(DeviceTable, AddFillsTheRowSelectsAndRaisesThePeriod) {
  TAnswering answers;
  auto form = MakeForm(answers);
  answers.OnDialog = [](QDialog& d) { return Click(d, "btnAdd"); };  // all fields empty
  form->AddDeviceAction->trigger();
  ASSERT_EQ(form->DeviceCount(), 1);
  EXPECT_EQ(form->FDevices[0]->PlantNumber(), 0);
  EXPECT_EQ(form->FDevices[0]->SystemAddress(), 0);
  EXPECT_EQ(form->sgDevices->Cells(1, 1), U8("ЛИМ-07_0"));
  EXPECT_EQ(form->sgDevices->Cells(0, 1), QStringLiteral(" >"));
  EXPECT_TRUE(form->FModified);
  for (int i = 0; i < 4; ++i) form->AddDevice(MakeDevice("B", 100 + i, 2 + i));
  EXPECT_EQ(form->sgDevices->RowCount(), 6);
  EXPECT_EQ(form->SelectedIndex(), 4);
  EXPECT_EQ(form->FPeriod, 1000u);
  // Adding the same object again changes nothing.
  form->AddDevice(form->FDevices[0]);
  EXPECT_EQ(form->DeviceCount(), 5);
  // Deleting never lowers the period.
  form->DeleteDevice(4);
  EXPECT_EQ(form->FPeriod, 1000u);
  form->FModified = false;
}

TEST(DeviceTable, RemovingWithAnEmptyListAndTheLastDevice) {
  TAnswering answers;
  auto form = MakeForm(answers);
  EXPECT_TRUE(form->RemoveDeviceAction->isEnabled());
  answers.Answers = {mrYes};
  form->RemoveDeviceAction->trigger();
  ASSERT_EQ(answers.Messages.size(), 2u);
  EXPECT_EQ(answers.Messages[0].Text, U8("Вы действительно желаете удалить устройство из списка?"));
  EXPECT_EQ(answers.Messages[1].Text, U8("Недопустимый индекс устройства!"));
  EXPECT_EQ(answers.Messages[1].Type, mtError);
  EXPECT_FALSE(form->RemoveDeviceAction->isEnabled());
  EXPECT_TRUE(form->FModified);

  form->AddDevice(MakeDevice("Last", 7, 3, {0x0191}));
  EXPECT_TRUE(form->RemoveDeviceAction->isEnabled());  // a device to remove again
  form->SetCellMark(2, 1, form->FMark);
  form->FDevices[0]->LastOperation = "op";
  form->RefreshSelection();
  answers.Answers = {mrNo};
  form->FModified = false;
  form->RemoveDeviceAction->trigger();  // No: kept, but counts as modified
  EXPECT_EQ(form->DeviceCount(), 1);
  EXPECT_TRUE(form->FModified);
  answers.Answers = {mrYes};
  form->RemoveDeviceAction->trigger();
  EXPECT_EQ(form->DeviceCount(), 0);
  EXPECT_EQ(form->sgDevices->RowCount(), 2);
  for (int c = 0; c <= 10; ++c) {
    EXPECT_TRUE(form->sgDevices->Cells(c, 1).isEmpty()) << c;
    EXPECT_EQ(form->GetCellMark(c, 1), nullptr) << c;
  }
  EXPECT_EQ(form->SelectedIndex(), -1);
  EXPECT_EQ(form->sgTemperature->ColCount(), 1);
  EXPECT_TRUE(form->sgTemperature->Cells(0, 1).isEmpty());
  EXPECT_TRUE(form->lLastOperation->text().isEmpty());
  EXPECT_FALSE(form->RemoveDeviceAction->isEnabled());
  form->FModified = false;
}

TEST(DeviceTable, DeletingMovesRowsWithTheirMarks) {
  TAnswering answers;
  auto form = MakeForm(answers);
  for (int i = 0; i < 3; ++i) form->AddDevice(MakeDevice("D", 10 + i, 1 + i));
  form->SetCellMark(3, 3, form->FMark);
  form->DeleteDevice(1);
  EXPECT_EQ(form->sgDevices->RowCount(), 3);
  EXPECT_EQ(form->sgDevices->Cells(2, 2), QStringLiteral("12"));
  EXPECT_EQ(form->GetCellMark(3, 2), form->FMark);
  EXPECT_EQ(form->SelectedIndex(), 0);
  EXPECT_EQ(form->sgDevices->Cells(0, 1), QStringLiteral(" >"));
  EXPECT_TRUE(form->sgDevices->Cells(0, 2).isEmpty());
  form->DeleteDevice(7);
  EXPECT_EQ(answers.LastText(), U8("Недопустимый индекс устройства!"));
  EXPECT_EQ(form->DeviceCount(), 2);
  form->FModified = false;
}

TEST(DeviceTable, InPlaceEditingStoresConvertsAndMarks) {
  TAnswering answers;
  auto form = MakeForm(answers);
  form->show();
  form->AddDevice(MakeDevice("Eight ch", 10, 1, {0x0100}));
  form->FModified = false;
  EditCell(*form, 2, 1, QStringLiteral("12.5"));
  EXPECT_EQ(form->FDevices[0]->PlantNumber(), 0);
  EXPECT_EQ(form->sgDevices->Cells(2, 1), QStringLiteral("0"));
  EXPECT_EQ(form->GetCellMark(2, 1), form->FMark);
  EXPECT_TRUE(form->FModified);
  EXPECT_FALSE(form->GridPopupEdit->isVisible());

  EditCell(*form, 2, 1, QStringLiteral("70000"));
  EXPECT_EQ(form->sgDevices->Cells(2, 1), QStringLiteral("4464"));

  EditCell(*form, 4, 1, QStringLiteral("40"));
  EXPECT_EQ(form->sgDevices->Cells(4, 1), QStringLiteral("32"));
  EXPECT_EQ(form->sgTemperature->ColCount(), 32);
  EXPECT_EQ(form->sgTemperature->Cells(31, 0), QStringLiteral("32"));

  // Letters are swallowed by the numeric filter.
  EditCell(*form, 3, 1, QStringLiteral("2x5"));
  EXPECT_EQ(form->FDevices[0]->SystemAddress(), 25);

  // Text cells: Enter stores, the cell is not marked; Escape changes nothing.
  EditCell(*form, 1, 1, QStringLiteral("AB"));
  EXPECT_EQ(form->FDevices[0]->Name(), "AB");
  EXPECT_EQ(form->GetCellMark(1, 1), nullptr);
  EXPECT_EQ(form->gbState->title(), U8(" Состояние AB "));
  EditCell(*form, 10, 1, QStringLiteral("note"), Qt::Key_Escape);
  EXPECT_EQ(form->FDevices[0]->Note(), "");
  EXPECT_FALSE(form->GridPopupEdit->isVisible());
  form->FModified = false;
}

TEST(DeviceTable, EditorClosesWhenTheListChangesAndRefusesWhileBusy) {
  TAnswering answers;
  auto form = MakeForm(answers);
  form->show();
  form->AddDevice(MakeDevice("A", 10, 1));
  form->AddDevice(MakeDevice("B", 11, 2));
  const QPoint p = form->sgDevices->CellRect(2, 1).center();
  form->sgDevicesMouseDown(Qt::LeftButton, p);
  form->sgDevicesDblClick();
  ASSERT_TRUE(form->GridPopupEdit->isVisibleTo(form.get()));
  form->DeleteDevice(0);  // the device being edited is gone
  EXPECT_FALSE(form->GridPopupEdit->isVisibleTo(form.get()));
  QTest::keyClick(form->GridPopupEdit, Qt::Key_Return);  // nothing stored anywhere
  EXPECT_EQ(form->FDevices[0]->PlantNumber(), 11);

  // Double-clicking with a worker set does nothing.
  class TIdle : public TWorkerThread {
   public:
    using TWorkerThread::TWorkerThread;
    void Execute() override {
      while (Pause(5)) {
      }
    }
  };
  auto* worker = new TIdle(form.get());
  form->StartWorker(worker);
  form->sgDevicesDblClick();
  EXPECT_FALSE(form->GridPopupEdit->isVisibleTo(form.get()));
  form->StopWorkers();
  form->FModified = false;
}

TEST(DeviceTable, MouseSelectsRowsAndIgnoresTheOutside) {
  TAnswering answers;
  auto form = MakeForm(answers);
  form->show();
  for (int i = 0; i < 3; ++i) form->AddDevice(MakeDevice("D", 10 + i, 1 + i));
  form->sgDevicesMouseDown(Qt::LeftButton, form->sgDevices->CellRect(2, 2).center());
  EXPECT_EQ(form->SelectedIndex(), 1);
  EXPECT_EQ(form->FHitRow, 2);
  // Header row: selection unchanged, context commands disabled.
  form->sgDevicesMouseDown(Qt::RightButton, form->sgDevices->CellRect(2, 0).center());
  EXPECT_EQ(form->FHitRow, 0);
  EXPECT_EQ(form->SelectedIndex(), 1);
  // Below the last row.
  const QRect last = form->sgDevices->CellRect(2, 3);
  form->sgDevicesMouseDown(Qt::RightButton, QPoint(last.center().x(), last.bottom() + 40));
  EXPECT_EQ(form->FHitRow, -1);
  EXPECT_EQ(form->SelectedIndex(), 1);
  form->PopupMenuPopup();
  EXPECT_FALSE(form->pmID->isEnabled());
  form->FModified = false;
}

TEST(DeviceTable, SortingKeepsTheSelectionAndClearsMarks) {
  TAnswering answers;
  auto form = MakeForm(answers);
  form->AddDevice(MakeDevice("C", 30, 1));
  form->AddDevice(MakeDevice("A", 10, 3));
  form->AddDevice(MakeDevice("B", 20, 2));
  form->SelectDevice(0);  // C
  form->SetCellMark(3, 2, form->FMark);
  form->FModified = false;
  form->SortByPlantNumberAction->trigger();
  EXPECT_EQ(form->sgDevices->Cells(1, 1), QStringLiteral("A"));
  EXPECT_EQ(form->sgDevices->Cells(1, 3), QStringLiteral("C"));
  EXPECT_EQ(form->SelectedIndex(), 2);
  EXPECT_EQ(form->sgDevices->Cells(0, 3), QStringLiteral(" >"));
  EXPECT_TRUE(form->sgDevices->Cells(0, 1).isEmpty());
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 10; ++c) EXPECT_EQ(form->GetCellMark(c, r), nullptr);
  EXPECT_FALSE(form->FModified);
  form->SortBySystemAddressAction->trigger();
  EXPECT_EQ(form->sgDevices->Cells(1, 1), QStringLiteral("C"));
  EXPECT_EQ(form->SelectedIndex(), 0);
}

TEST(DeviceTable, ClearWrittenMarksClearsTheConfirmedColumns) {
  TAnswering answers;
  auto form = MakeForm(answers);
  form->AddDevice(MakeDevice("A", 10, 1));
  for (int c = 2; c <= 9; ++c) form->SetCellMark(c, 1, form->FMark);
  form->FDevices[0]->SetSystemAddress(9);
  form->ClearWrittenMarks(1, true, false, true, false);
  EXPECT_EQ(form->GetCellMark(3, 1), nullptr);
  EXPECT_EQ(form->GetCellMark(4, 1), form->FMark);
  for (int c = 5; c <= 8; ++c) EXPECT_EQ(form->GetCellMark(c, 1), nullptr);
  EXPECT_EQ(form->GetCellMark(9, 1), form->FMark);
  EXPECT_EQ(form->GetCellMark(2, 1), form->FMark);
  EXPECT_EQ(form->sgDevices->Cells(3, 1), QStringLiteral("9"));  // row refilled
  form->pmNoMark->trigger();
  for (int c = 1; c <= 10; ++c) EXPECT_EQ(form->GetCellMark(c, 1), nullptr);
  // Rows the table does not have are not written.
  form->ClearWrittenMarks(5, true, true, true, true);
  form->SetCellMark(3, 9, form->FMark);
  EXPECT_EQ(form->GetCellMark(3, 9), nullptr);
  form->FModified = false;
}

TEST(StatePanel, RendersTemperaturesLevelAndFaults) {
  TAnswering answers;
  auto form = MakeForm(answers, dpModbus);
  auto* d = MakeDevice("T", 1, 1, {0x0191, 0xFF60, 0xDDDD, 0xAAAA, 0x55AA});
  d->TemperatureState = 0x0005;
  d->LevelState = 0x0032;
  d->LevelCode = 1834;
  d->Level = 87;
  d->LastOperation = "Чтение";
  d->LastResult = "Операция завершена успешно";
  form->AddDevice(d);
  const QString sep = QLocale().decimalPoint();
  EXPECT_EQ(form->sgTemperature->ColCount(), 5);
  EXPECT_EQ(form->sgTemperature->Cells(0, 1), QStringLiteral("25") + sep + QStringLiteral("06"));
  EXPECT_EQ(form->sgTemperature->Cells(1, 1), QStringLiteral("-10") + sep + QStringLiteral("00"));
  EXPECT_TRUE(form->sgTemperature->Cells(2, 1).isEmpty());
  EXPECT_EQ(form->sgTemperature->Cells(3, 1), QStringLiteral("****"));
  EXPECT_EQ(form->sgTemperature->Cells(4, 1), QStringLiteral("****"));
  EXPECT_TRUE(form->chbEEPROMError->isChecked());
  EXPECT_TRUE(form->chbBusError->isChecked());
  EXPECT_FALSE(form->chbSensorError->isChecked());
  EXPECT_EQ(form->stH->text(), QStringLiteral("87"));
  EXPECT_TRUE(form->chbRangeError->isChecked());
  EXPECT_TRUE(form->chbDustError->isChecked());
  EXPECT_TRUE(form->chbDACError->isChecked());
  EXPECT_EQ(form->lLastResult->text(), U8("Операция завершена успешно"));
  EXPECT_EQ(form->gbState->title(), U8(" Состояние T "));

  // A failed read empties the row and the boxes.
  d->TemperatureState = 0x8005;
  d->LevelState = 0x8032;
  form->ShowDeviceState(true, true);
  for (int c = 0; c < 5; ++c) EXPECT_TRUE(form->sgTemperature->Cells(c, 1).isEmpty()) << c;
  EXPECT_FALSE(form->chbEEPROMError->isChecked());
  EXPECT_FALSE(form->chbBusError->isChecked());
  EXPECT_TRUE(form->stH->text().isEmpty());
  EXPECT_FALSE(form->chbDACError->isChecked());

  // The sensor count changed behind the panel's back: laid out again.
  d->TemperatureState = 0;
  d->SetSensorCount(8);
  form->ShowDeviceState(true, false);
  EXPECT_EQ(form->sgTemperature->ColCount(), 8);
  EXPECT_EQ(form->sgTemperature->Cells(7, 0), QStringLiteral("8"));
  form->FModified = false;
}

TEST(StatePanel, DecimalSeparatorOfTheSystem) {
  TestApp();
  QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
  EXPECT_EQ(TMainForm::TemperatureText(0x0191), QStringLiteral("25,06"));
  EXPECT_EQ(TMainForm::TemperatureText(0xFF60), QStringLiteral("-10,00"));
  QLocale::setDefault(QLocale::c());
  EXPECT_EQ(TMainForm::TemperatureText(0x0191), QStringLiteral("25.06"));
  // Five significant digits: from 1000 degrees on, one decimal and a 0.
  const std::pair<std::uint16_t, const char*> precision[] = {
      {0x7FFF, "2047.90"},  {0x8000, "-2048.00"}, {0x3E81, "1000.10"},
      {0xC17F, "-1000.10"}, {0x3E7F, "999.94"},   {0x3E84, "1000.30"}};
  for (const auto& [word, text] : precision)
    EXPECT_EQ(TMainForm::TemperatureText(word), QLatin1String(text)) << std::hex << word;
}

TEST(DeviceTable, PeriodRules) {
  TAnswering answers;
  auto form = MakeForm(answers);
  EXPECT_EQ(form->MinimumPeriod(), 200u);
  for (int i = 0; i < 3; ++i) form->AddDevice(MakeDevice("D", i, i));
  EXPECT_EQ(form->MinimumPeriod(), 600u);
  EXPECT_EQ(form->FPeriod, 600u);
  form->SetPeriod(100);
  EXPECT_EQ(form->FPeriod, 600u);
  form->SetPeriod(5000);
  EXPECT_EQ(form->FPeriod, 5000u);
  form->FModified = false;
}
