// The single-device commands through the main window, offscreen, against the
// virtual line: dialogs and message boxes are answered here.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <chrono>
#include <memory>

#include "CalibrationForm.h"
#include "Crc16.h"
#include "Dialogs.h"
#include "MainForm.h"
#include "UiHooks.h"
#include "VirtualLine.h"

using namespace std::chrono_literals;
using TBytes = std::vector<std::uint8_t>;

namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "test_ui";
  static char* argv[] = {name, nullptr};
  static QApplication* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (app == nullptr) app = new QApplication(argc, argv);
  return *app;
}

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

TBytes WithCrc(TBytes frame) {
  const std::uint16_t crc = Crc16(frame.data(), 0, static_cast<int>(frame.size()));
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  return frame;
}

TSimDevice SimBunker(TDeviceProtocol protocol) {
  TSimDevice d;
  d.Name = "Bunker3";
  d.Address = 5;
  d.PlantNumber = 1234;
  d.HardwareVersion = 3;
  d.SoftwareVersion = 17;
  d.Protocol = protocol;
  d.Temperatures = {0x0198, 0xFFCC, 0xAAAA};
  d.LevelCode = 0x1234;
  d.LevelMetres = 12.3;
  d.CalibrationCode1 = 0x0FA0;
  d.UnmeasurableLevel = 125;
  d.CalibrationCode2 = 0x1B58;
  d.CalibrationLevel2 = 200;
  d.AveragingCoefficient = 4;
  return d;
}

// Types the text into an edit box key by key, so that key filters apply.
void Type(QLineEdit* edit, const QString& text) {
  edit->clear();
  edit->setFocus();
  QTest::keyClicks(edit, text);
}

}  // namespace

// ---------------------------------------------------------------- the dialog

TEST(CalibrationForm, ShowsUnsignedValuesAndReadsBackLow16Bits) {
  App();
  TCalibrationForm form(nullptr, 65535, 2, 3, 4);
  EXPECT_EQ(form.windowTitle(), Tr("Калибровка"));
  EXPECT_EQ(form.eC1->text(), "65535");
  EXPECT_EQ(form.eC2->text(), "2");
  EXPECT_EQ(form.eH1->text(), "3");
  EXPECT_EQ(form.eH2->text(), "4");
  EXPECT_EQ(form.C1(), 65535);
  EXPECT_EQ(form.H2(), 4);
  EXPECT_EQ(form.lC1->text(), "C1");
  EXPECT_EQ(form.lH2->text(), "H2");
  EXPECT_EQ(form.btnApply->text(), Tr("Применить"));
  EXPECT_EQ(form.btnCancel->text(), Tr("Отмена"));

  form.eH1->setText("70000");
  EXPECT_EQ(form.H1(), 70000 & 0xFFFF);
  form.eC2->setText("abc");
  EXPECT_EQ(form.C2(), 0);
  form.eH2->setText("1.5");
  EXPECT_EQ(form.H2(), 0);
  form.eC1->setText("");
  EXPECT_EQ(form.C1(), 0);
}

TEST(CalibrationForm, OnlyC1FiltersKeysAndTabOrderFollowsThePoints) {
  App();
  TCalibrationForm form(nullptr, 0, 0, 0, 0);
  form.show();
  Type(form.eC1, "a1.b2-3");
  EXPECT_EQ(form.eC1->text(), "1.23");
  QTest::keyClick(form.eC1, Qt::Key_Backspace);
  EXPECT_EQ(form.eC1->text(), "1.2");
  Type(form.eH1, "x-7");
  EXPECT_EQ(form.eH1->text(), "x-7");
  EXPECT_EQ(TCalibrationForm::editKeyPress(QChar(8)), QChar(8));
  EXPECT_TRUE(TCalibrationForm::editKeyPress(QLatin1Char(' ')).isNull());

  QWidget* w = form.eC1;
  QStringList chain;
  for (int i = 0; i < 6; ++i) {
    chain << w->objectName();
    w = w->nextInFocusChain();
    while (w->focusPolicy() == Qt::NoFocus) w = w->nextInFocusChain();
  }
  EXPECT_EQ(chain, (QStringList{"eC1", "eH1", "eC2", "eH2", "btnApply", "btnCancel"}));

  QSignalSpy finished(&form, &QDialog::finished);
  form.btnApply->click();
  ASSERT_EQ(finished.count(), 1);
  EXPECT_EQ(finished.at(0).at(0).toInt(), static_cast<int>(mrOk));
  form.show();
  form.btnCancel->click();
  EXPECT_EQ(finished.at(1).at(0).toInt(), static_cast<int>(mrCancel));
}

// ---------------------------------------------------------------- the window

class CommandsUi : public ::testing::Test {
 protected:
  TVirtualLine line;
  int sim = -1;
  TUiHooks hooks;
  std::vector<TMessageRequest> messages;
  std::vector<QString> dialogs;         // object names of the dialogs run
  std::function<int(QDialog&)> answer;  // for dialogs other than the start-up one
  TDeviceProtocol startProtocol = dpLargis1;
  std::unique_ptr<TMainForm> form;
  TDevice* device = nullptr;

  void SetUp() override {
    App();
    hooks.Messages = [this](const TMessageRequest& m) {
      messages.push_back(m);
      return static_cast<int>(mrOk);
    };
    hooks.Dialogs = [this](QDialog& d) {
      dialogs.push_back(d.objectName());
      if (d.objectName() == "TStartModeForm") {
        static_cast<TStartModeForm&>(d).SetItemIndex(startProtocol == dpModbus ? 1 : 0);
        return static_cast<int>(mrOk);
      }
      return answer ? answer(d) : static_cast<int>(mrCancel);
    };
  }

  void TearDown() override { form.reset(); }

  // The window with Bunker3 listed and selected, the port open on the line.
  void Start(TDeviceProtocol protocol) {
    startProtocol = protocol;
    sim = line.AddDevice(SimBunker(protocol));
    form = std::make_unique<TMainForm>();
    form->resize(900, 600);
    form->show();  // laid out: cells have their places for the mouse
    QApplication::processEvents();
    form->ComPort().SetPort(line.SlavePath());
    form->OpenPortAction->trigger();
    ASSERT_TRUE(form->ComPort().Connected());
    device = new TDevice;
    device->SetName("Bunker3");
    device->SetSystemAddress(5);
    device->SetPlantNumber(1234);
    device->SetSensorCount(3);
    device->SetAveragingCoefficient(4);
    form->AddDevice(device);
    form->FModified = false;
    RightClickRow(1);
    dialogs.clear();
    line.ClearFrames();
  }

  void RightClickRow(int row) {
    const QRect cell = form->sgDevices->CellRect(2, row);
    form->sgDevicesMouseDown(Qt::RightButton, cell.center());
  }

  void MarkAll() {
    for (int c = 2; c <= 9; ++c) form->SetCellMark(c, 1, form->FMark);
  }
  std::vector<int> MarkedColumns() const {
    std::vector<int> out;
    for (int c = 1; c <= 10; ++c)
      if (form->GetCellMark(c, 1) != nullptr) out.push_back(c);
    return out;
  }
  QString Cell(int col) const { return form->sgDevices->Cells(col, 1); }
  TSimDevice Sim() const { return line.Device(sim); }

  // Answers the integer entry with `text` and OK.
  void AnswerInteger(const QString& text) {
    answer = [text](QDialog& d) {
      auto* edit = d.findChild<QLineEdit*>("Editor");
      edit->setText(text);
      return static_cast<int>(mrOk);
    };
  }
  // Whether the line has logged this request (waits a little for it).
  bool Received(const TBytes& bytes) const {
    for (std::size_t n = 1; n < 20; ++n) {
      for (const TSimFrame& f : line.Frames())
        if (f.Bytes == bytes) return true;
      line.WaitFrames(line.FrameCount() + 1, 150ms);
    }
    return false;
  }
  std::vector<QString> MessageTexts() const {
    std::vector<QString> out;
    for (const auto& m : messages) out.push_back(m.Text);
    return out;
  }
};

TEST_F(CommandsUi, IdentificationShowsFiveLinesAndKeepsModified) {
  Start(dpLargis1);
  MarkAll();
  QString shown;
  answer = [&](QDialog& d) {
    shown = d.findChild<QPlainTextEdit*>("Memo")->toPlainText();
    return static_cast<int>(mrOk);
  };
  form->idReadAction->trigger();
  EXPECT_EQ(shown, Tr("Прибор Лим-07. Имя:  Bunker3.\nСистемный номер:  5\nЗаводской номер:  1234\n"
                      "Аппаратное исполнение:  3\nПрограммное исполнение:  17"));
  EXPECT_FALSE(form->FModified);
  EXPECT_EQ(MarkedColumns(), (std::vector<int>{4, 5, 6, 7, 8, 9}));
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(form->lLastOperation->text(), Tr("Чтение идентификации устройства"));

  // Another plant number in the record: the row shows the device's own.
  device->SetPlantNumber(999);
  form->FillRow(1);
  form->idReadAction->trigger();
  EXPECT_TRUE(form->FModified);
  EXPECT_EQ(Cell(2), "1234");

  line.Modify(sim, [](TSimDevice& d) { d.Faults.Silent = true; });
  dialogs.clear();
  form->idReadAction->trigger();
  EXPECT_TRUE(dialogs.empty());  // no identification window
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text, Tr("Операция не выполнена!"));
  EXPECT_EQ(messages[0].Type, mtError);
  EXPECT_EQ(form->lLastResult->text(), Tr("Нет связи с прибором"));
}

TEST_F(CommandsUi, AddressWriteClampsAndFailureShowsTheOldAddress) {
  Start(dpLargis1);
  MarkAll();
  AnswerInteger("0");  // clamped to 1
  form->saWriteAction->trigger();
  EXPECT_EQ(dialogs, (std::vector<QString>{"TEditForm"}));
  EXPECT_EQ(device->SystemAddress(), 1);
  EXPECT_EQ(Sim().Address, 1);
  EXPECT_EQ(Cell(3), "1");
  EXPECT_TRUE(form->FModified);
  EXPECT_EQ(MarkedColumns(), (std::vector<int>{2, 4, 5, 6, 7, 8, 9}));

  form->SetCellMark(3, 1, form->FMark);
  form->FModified = false;
  line.Modify(sim, [](TSimDevice& d) { d.Faults.Silent = true; });
  AnswerInteger("77");
  form->saWriteAction->trigger();
  EXPECT_EQ(device->SystemAddress(), 1);
  EXPECT_EQ(Cell(3), "1");
  EXPECT_NE(form->GetCellMark(3, 1), nullptr);
  EXPECT_FALSE(form->FModified);
  EXPECT_EQ(MessageTexts(), (std::vector<QString>{Tr("Операция не выполнена!")}));
}

TEST_F(CommandsUi, CancelledDialogsSendNothingAndLeaveThePanel) {
  Start(dpModbus);
  device->LastOperation = "before";
  form->ShowDeviceState(false, false);
  answer = nullptr;  // every dialog cancelled
  for (QAction* a : {form->saWriteAction, form->CoeffWriteAction,
                     form->WriteUnmeasurableLevelAction, form->clbrWriteAction}) {
    a->setEnabled(true);
    a->trigger();
  }
  EXPECT_EQ(dialogs,
            (std::vector<QString>{"TEditForm", "TEditForm", "TEditForm", "TCalibrationForm"}));
  EXPECT_EQ(line.FrameCount(), 0u);
  EXPECT_EQ(form->lLastOperation->text(), "before");
  EXPECT_TRUE(messages.empty());
  EXPECT_FALSE(form->FModified);
}

TEST_F(CommandsUi, UnmeasurableLevelIsClampedToOneHundredInModbus) {
  Start(dpModbus);
  form->UpdateActions();
  EXPECT_TRUE(form->WriteUnmeasurableLevelAction->isVisible());
  AnswerInteger("150");
  form->WriteUnmeasurableLevelAction->trigger();
  EXPECT_EQ(device->UnmeasurableLevel, 100);
  EXPECT_EQ(Sim().UnmeasurableLevel, 100);
  EXPECT_EQ(Cell(6), "100");
  EXPECT_TRUE(form->FModified);

  // Reading it back changes the cell, not the modified flag.
  form->FModified = false;
  line.Modify(sim, [](TSimDevice& d) { d.UnmeasurableLevel = 64; });
  form->SetCellMark(6, 1, form->FMark);
  form->ReadUnmeasurableLevelAction->trigger();
  EXPECT_EQ(Cell(6), "64");
  EXPECT_EQ(form->GetCellMark(6, 1), nullptr);
  EXPECT_FALSE(form->FModified);
}

TEST_F(CommandsUi, CalibrationDialogWritesTheFourPoints) {
  Start(dpLargis1);
  MarkAll();
  QString title;
  answer = [&](QDialog& d) {
    auto& f = static_cast<TCalibrationForm&>(d);
    title = f.windowTitle();
    EXPECT_EQ(f.eC1->text(), "4000");  // the record's value
    f.eC1->setText("70000");
    f.eH1->setText("12");
    f.eC2->setText("x");
    f.eH2->setText("300");
    return static_cast<int>(mrOk);
  };
  device->CalibrationCode1 = 4000;
  form->clbrWriteAction->trigger();
  EXPECT_EQ(title, Tr("Калибровка Bunker3"));
  const TSimDevice s = Sim();
  EXPECT_EQ(s.CalibrationCode1, 70000 & 0xFFFF);
  EXPECT_EQ(s.UnmeasurableLevel, 12);
  EXPECT_EQ(s.CalibrationCode2, 0);
  EXPECT_EQ(s.CalibrationLevel2, 300);
  EXPECT_EQ(MarkedColumns(), (std::vector<int>{2, 3, 4, 9}));
  EXPECT_TRUE(form->FModified);
  EXPECT_EQ(form->lLastOperation->text(), Tr("Запись калибровочных точек"));
}

TEST_F(CommandsUi, SettingsWriteChecksThePlantNumberAndKeepsFailedMarks) {
  Start(dpLargis1);
  device->SetPlantNumber(4321);
  form->tWriteAction->trigger();
  EXPECT_EQ(MessageTexts(), (std::vector<QString>{Tr("Прибор не обнаружен!")}));
  EXPECT_TRUE(MarkedColumns().empty());
  ASSERT_TRUE(line.WaitFrames(1, 2s));
  EXPECT_EQ(line.FrameCount(), 1u);  // the identification only

  messages.clear();
  device->SetPlantNumber(1234);
  device->SetAveragingCoefficient(21);
  // The device refuses both calibration attempts, then answers again.
  line.SetFrameListener([this](const TSimFrame& f) {
    if (f.Bytes.size() > 1 && f.Bytes[1] == 0x20)
      line.Modify(sim, [](TSimDevice& d) {
        d.Faults.ErrorCode = 2;
        d.Faults.Remaining = 2;
      });
  });
  form->tWriteAction->trigger();
  line.SetFrameListener(nullptr);
  EXPECT_EQ(MarkedColumns(), (std::vector<int>{5, 6, 7, 8}));
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(Sim().AveragingCoefficient, 21);
  EXPECT_FALSE(form->FModified);
}

TEST_F(CommandsUi, EmptyBunkerInModbusLeavesEveryMark) {
  Start(dpModbus);
  MarkAll();
  form->EmptyBunkerCalibrationAction->trigger();
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(Sim().EmptyBunkerCalibrations, 1);
  EXPECT_EQ(MarkedColumns(), (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(form->lLastOperation->text(), Tr("Калибровка на пустом бункере"));
}

TEST_F(CommandsUi, EmptyBunkerNativeClearsTheCalibrationMarks) {
  Start(dpLargis1);
  MarkAll();
  form->EmptyBunkerCalibrationAction->trigger();
  EXPECT_EQ(MarkedColumns(), (std::vector<int>{2, 3, 4, 9}));
  EXPECT_FALSE(form->FModified);
  line.Modify(sim, [](TSimDevice& d) { d.Faults.Silent = true; });
  form->EmptyBunkerCalibrationAction->trigger();
  EXPECT_EQ(MessageTexts(), (std::vector<QString>{Tr("Операция не выполнена!")}));
}

TEST_F(CommandsUi, ProtocolSwitchBroadcastsShowTheirInformation) {
  Start(dpLargis1);
  form->UpdateActions();
  EXPECT_TRUE(form->DeviceToLargis1ModeAction->isEnabled());
  EXPECT_FALSE(form->DeviceToModbusModeAction->isEnabled());
  form->DeviceToLargis1ModeAction->trigger();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text, Tr("Команда перевода устройств на протокол Ларгис-1 отправлена."));
  EXPECT_EQ(messages[0].Type, mtInformation);
  EXPECT_TRUE(Received(WithCrc({0x00, 0x10, 0x03, 0xEA, 0x00, 0x01, 0x02, 0x00, 0x55})));
  EXPECT_EQ(Sim().Protocol, dpLargis1);

  messages.clear();
  line.ClearFrames();
  form->DeviceToModbusModeAction->setEnabled(true);
  form->DeviceToModbusModeAction->trigger();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text, Tr("Команда перевода устройств на протокол Modbus отправлена."));
  EXPECT_TRUE(Received({0xFF, 0xB1, 0x03, 0x03, 0xAA, 0x67, 0xA7}));
  EXPECT_TRUE(line.WaitDevice(
      sim, [](const TSimDevice& d) { return d.Protocol == dpModbus; }, 3s));
}

TEST_F(CommandsUi, RightClickOutsideTheRowsLeavesTheCommandsDisabled) {
  Start(dpLargis1);
  ASSERT_EQ(form->FHitRow, 1);
  ASSERT_GE(form->FHitCol, 0);
  form->PopupMenuPopup();
  EXPECT_TRUE(form->pmID->isEnabled());
  EXPECT_TRUE(form->pmSA->isEnabled());
  EXPECT_TRUE(form->pmT->isVisible());
  EXPECT_FALSE(form->pmModbusReadData->isVisible());
  EXPECT_FALSE(form->pmCA->isVisible());
  EXPECT_FALSE(form->pmCoeff->isVisible());
  EXPECT_FALSE(form->pmTuneWrite->isVisible());

  // Below the last row.
  const QRect last = form->sgDevices->CellRect(2, 1);
  form->sgDevicesMouseDown(Qt::RightButton, QPoint(last.center().x(), last.bottom() + 5));
  EXPECT_LT(form->FHitRow, 1);
  EXPECT_EQ(form->SelectedIndex(), 0);  // nothing else selected
  form->PopupMenuPopup();
  for (QAction* item : {form->pmT, form->pmID, form->pmSA, form->pmSN, form->pmLevel})
    EXPECT_FALSE(item->isEnabled()) << item->objectName().toStdString();
}

TEST_F(CommandsUi, ModbusDataReadNeedsASelectedDevice) {
  Start(dpModbus);
  form->UpdateActions();
  EXPECT_TRUE(form->ModbusDataReadAction->isVisible());
  EXPECT_TRUE(form->ModbusDataReadAction->isEnabled());
  form->ModbusDataReadAction->trigger();
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(form->lLastResult->text(), Tr("Операция завершена успешно"));

  form->SelectDevice(-1);
  form->UpdateActions();
  EXPECT_FALSE(form->ModbusDataReadAction->isEnabled());
  line.ClearFrames();
  form->ModbusDataReadActionExecute();  // even when called directly: nothing sent
  EXPECT_EQ(line.FrameCount(), 0u);
  EXPECT_TRUE(messages.empty());
}

TEST_F(CommandsUi, DataReadShowsTheFailureInThePanel) {
  Start(dpLargis1);
  form->tReadAction->trigger();
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(form->lLastOperation->text(), Tr("Чтение показаний температуры"));
  line.Modify(sim, [](TSimDevice& d) { d.Faults.Silent = true; });
  form->hReadAction->trigger();
  EXPECT_EQ(MessageTexts(), (std::vector<QString>{Tr("Операция не выполнена!")}));
  EXPECT_EQ(form->lLastOperation->text(), Tr("Чтение данных уровнемера"));
  EXPECT_EQ(form->lLastResult->text(), Tr("Нет связи с прибором"));
}

TEST_F(CommandsUi, HiddenCommandsStillWorkWhenExecuted) {
  Start(dpLargis1);
  form->UpdateActions();
  form->PopupMenuPopup();
  for (QAction* hidden :
       {form->clbrReadAction, form->clbrWriteAction, form->ConfigReadAction, form->tWriteAction})
    EXPECT_FALSE(hidden->isVisible()) << hidden->objectName().toStdString();
  EXPECT_FALSE(form->pmCoeff->isVisible());
  EXPECT_FALSE(form->pmCoeffWrite->isVisible());

  MarkAll();
  line.Modify(sim, [](TSimDevice& d) {
    d.AveragingCoefficient = 12;
    d.Temperatures.resize(5, 0x0100);
  });
  form->clbrReadAction->trigger();
  EXPECT_EQ(Cell(5), "4000");  // 0x0FA0 from the device
  EXPECT_EQ(MarkedColumns(), (std::vector<int>{2, 3, 4, 9}));
  EXPECT_TRUE(form->FModified);

  form->FModified = false;
  form->CoeffReadAction->trigger();
  EXPECT_EQ(Cell(9), "12");
  EXPECT_EQ(MarkedColumns(), (std::vector<int>{2, 3, 4}));
  EXPECT_TRUE(form->FModified);

  form->FModified = false;
  MarkAll();
  form->ConfigReadAction->trigger();
  EXPECT_EQ(Cell(4), "5");
  EXPECT_EQ(MarkedColumns(), (std::vector<int>{2}));  // the plant number is never confirmed here
  EXPECT_FALSE(form->FModified);

  AnswerInteger("300");  // clamped to 255
  form->CoeffWriteAction->trigger();
  EXPECT_EQ(Sim().AveragingCoefficient, 255);
  EXPECT_EQ(Cell(9), "255");
  EXPECT_TRUE(form->FModified);
  EXPECT_TRUE(messages.empty());
}

TEST_F(CommandsUi, OneDeviceUploadNeedsASelectedDevice) {
  Start(dpModbus);
  form->UpdateActions();
  EXPECT_TRUE(form->UploadSoftwareAction->isEnabled());
  form->SelectDevice(-1);
  form->UpdateActions();
  EXPECT_FALSE(form->UploadSoftwareAction->isEnabled());
  EXPECT_TRUE(form->TotalDownloadSoftwareAction->isEnabled());
}
