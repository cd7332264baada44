// The batch read, batch write and address write from the window: questions,
// the duplicate refusal, marks set before the run and cleared per confirmed
// device, and progress windows that always close.
#include "Crc16.h"
#include "test_scan_ui_support.h"

using namespace scanui;

namespace {

// Columns whose mark is set in `row`, from 1 to 10, as a text like "4 9".
QString MarkedColumns(const TWindowOnLine& w, int row) {
  QStringList cols;
  for (int c = 1; c <= 10; ++c)
    if (w.Marked(c, row)) cols << QString::number(c);
  return cols.join(' ');
}

}  // namespace

TEST(BatchActionTest, ReadLeavesExactlyTheUnconfirmedCellsMarked) {
  TVirtualLine line;
  line.AddDevice(SimAt(5, 500));
  TWindowOnLine w(line, dpLargis1);
  TDevice* present = w.List("a", 500, 5);
  w.List("b", 600, 6);  // not on the line
  w.Answers = {mrYes};
  w.Form->RefreshDeviceActionExecute();
  ASSERT_TRUE(w.WaitIdle());

  ASSERT_EQ(w.Messages.size(), 1u);
  EXPECT_EQ(w.Messages[0].Text, U8("Прочитать настройки приборов?"));
  EXPECT_EQ(w.Messages[0].Type, mtConfirmation);
  EXPECT_EQ(w.Dialogs.back().Name, "TProgressXForm");
  EXPECT_EQ(w.Dialogs.back().Caption, U8("Пакетное чтение"));
  EXPECT_EQ(MarkedColumns(w, 1), "9");  // the coefficient is not read
  EXPECT_EQ(MarkedColumns(w, 2), "4 5 6 7 8 9");
  // What was read is in the record and in its row.
  EXPECT_EQ(present->SensorCount(), 4);
  EXPECT_EQ(present->UnmeasurableLevel, 120);
  EXPECT_EQ(w.Form->sgDevices->Cells(4, 1), "4");
  EXPECT_EQ(w.Form->sgDevices->Cells(6, 1), "120");
}

TEST(BatchActionTest, NoToTheQuestionChangesNothing) {
  TVirtualLine line;
  TWindowOnLine w(line, dpLargis1);
  w.List("a", 500, 5);
  for (auto action : {&TMainForm::RefreshDeviceActionExecute, &TMainForm::UpdateDeviceActionExecute,
                      &TMainForm::AllAddressWriteActionExecute}) {
    w.Answers = {mrNo};
    (w.Form.get()->*action)();
    EXPECT_FALSE(w.Form->FThread);
    EXPECT_EQ(MarkedColumns(w, 1), "");
  }
  ASSERT_EQ(w.Messages.size(), 3u);
  EXPECT_EQ(w.Messages[1].Text, U8("Записать данные в приборы?"));
  EXPECT_EQ(w.Messages[2].Text, U8("Изменить системные адреса в соответствии с конфигурацией?"));
  EXPECT_EQ(line.FrameCount(), 0u);
}

TEST(BatchActionTest, DuplicateAddressesRefuseTheAddressWrite) {
  TVirtualLine line;
  line.AddDevice(SimAt(1, 500));
  TWindowOnLine w(line, dpLargis1);
  w.List("a", 500, 5);
  w.List("b", 501, 5);
  EXPECT_TRUE(w.Form->HasDuplicateAddresses());
  w.Answers = {mrYes, mrOk};
  w.Form->AllAddressWriteActionExecute();
  ASSERT_EQ(w.Messages.size(), 2u);
  EXPECT_EQ(w.Messages[1].Text,
            U8("Обнаружено совпадение системных адресов!\nВыполнение команды невозможно"));
  EXPECT_EQ(w.Messages[1].Type, mtError);
  EXPECT_EQ(w.Messages[1].Buttons, mbOK);
  EXPECT_FALSE(w.Form->FThread);
  EXPECT_EQ(MarkedColumns(w, 1), "");
  EXPECT_EQ(MarkedColumns(w, 2), "");
  EXPECT_EQ(line.FrameCount(), 0u);
  EXPECT_EQ(w.Dialogs.size(), 1u);  // no progress window
}

TEST(BatchActionTest, AddressWritePutsTheConfigurationOntoTheLine) {
  TVirtualLine line;
  line.AddDevice(SimAt(1, 101));
  line.AddDevice(SimAt(2, 102));
  TWindowOnLine w(line, dpLargis1);
  w.List("a", 101, 21);
  w.List("b", 102, 22);
  w.List("c", 103, 23);  // absent
  w.Form->FModified = false;
  w.Answers = {mrYes};
  w.Form->AllAddressWriteActionExecute();
  ASSERT_TRUE(w.WaitIdle());
  EXPECT_EQ(w.Dialogs.back().Name, "TProgressForm");
  EXPECT_EQ(w.Dialogs.back().Caption, U8("Запись системных адресов"));
  EXPECT_EQ(line.Device(0).Address, 21);
  EXPECT_EQ(line.Device(1).Address, 22);
  EXPECT_EQ(MarkedColumns(w, 1), "");
  EXPECT_EQ(MarkedColumns(w, 2), "");
  EXPECT_EQ(MarkedColumns(w, 3), "3");
  EXPECT_FALSE(w.Form->FModified);
}

TEST(BatchActionTest, WriteInModbusLeavesModbusDevicesMarked) {
  TVirtualLine line;
  line.AddDevice(SimAt(4, 400));
  line.AddDevice(SimAt(8, 800, dpModbus));
  TWindowOnLine w(line, dpModbus);
  TDevice* native = w.List("n", 400, 4);
  native->SetAveragingCoefficient(6);
  w.List("m", 800, 8);
  w.Answers = {mrYes};
  w.Form->UpdateDeviceActionExecute();
  ASSERT_TRUE(w.WaitIdle());
  EXPECT_EQ(w.Dialogs.back().Name, "TProgressXForm");
  EXPECT_EQ(w.Dialogs.back().Caption, U8("Пакетная запись"));
  EXPECT_EQ(MarkedColumns(w, 1), "");
  EXPECT_EQ(MarkedColumns(w, 2), "5 6 7 8 9");
  EXPECT_EQ(line.Device(0).AveragingCoefficient, 6);
}

TEST(BatchActionTest, EmptyListAddressWriteClosesItsWindowAtOnce) {
  TVirtualLine line;
  TWindowOnLine w(line, dpLargis1);
  w.Answers = {mrYes};
  w.Form->AllAddressWriteActionExecute();  // returns once the window closed
  ASSERT_TRUE(w.WaitIdle());
  EXPECT_EQ(w.Dialogs.back().Name, "TProgressForm");
}

TEST(BatchActionTest, BatchReadEnabledOnlyWithDevicesAndAnOpenPort) {
  TVirtualLine line;
  TWindowOnLine w(line, dpLargis1);
  w.Form->RefreshDeviceActionUpdate();
  EXPECT_FALSE(w.Form->RefreshDeviceAction->isEnabled());
  w.List("a", 1, 1);
  w.Form->RefreshDeviceActionUpdate();
  EXPECT_TRUE(w.Form->RefreshDeviceAction->isEnabled());
  w.Form->ClosePortActionExecute();
  w.Form->RefreshDeviceActionUpdate();
  EXPECT_FALSE(w.Form->RefreshDeviceAction->isEnabled());
}

TEST(BatchActionTest, RunsLeaveEachRecordAsTheSameRequestsAloneWould) {
  // A silent device loses its old temperatures in every run, as any request
  // that meets silence clears them.
  struct TCase {
    const char* What;
    void (TMainForm::*Action)();
    TDeviceProtocol Protocol;
  };
  const TCase cases[] = {{"batch read", &TMainForm::RefreshDeviceActionExecute, dpLargis1},
                         {"batch write", &TMainForm::UpdateDeviceActionExecute, dpLargis1},
                         {"address write", &TMainForm::AllAddressWriteActionExecute, dpModbus}};
  for (const TCase& c : cases) {
    TVirtualLine line;
    TSimDevice sim = SimAt(6, 600, c.Protocol);
    sim.Faults.Silent = true;
    line.AddDevice(sim);
    TWindowOnLine w(line, c.Protocol);
    TDevice* d = w.List("a", 600, 6);
    d->SetSensorCount(2);
    d->LockTemperatures()[0] = 0x0190;
    d->UnlockTemperatures();
    w.Answers = {mrYes};
    (w.Form.get()->*c.Action)();
    ASSERT_TRUE(w.WaitIdle()) << c.What;
    EXPECT_EQ(d->TemperaturesSnapshot(), (std::vector<std::uint16_t>{0xDDDD, 0xDDDD})) << c.What;
    EXPECT_EQ(d->LastResult, "Нет связи с прибором") << c.What;
    w.Form->FModified = false;
  }

  // The native identification's answering address goes into the record.
  TVirtualLine line;
  TSimDevice sim = SimAt(5, 500);
  std::vector<std::uint8_t> answer = {9, 0x20, 6, 6, 0x01, 0xF4, 1, 1};  // plant 500 at 9
  const std::uint16_t crc = Crc16(answer.data(), 0, static_cast<int>(answer.size()));
  answer.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  answer.push_back(static_cast<std::uint8_t>(crc >> 8));
  sim.Faults.Garbage = answer;
  sim.Faults.Remaining = 1;
  line.AddDevice(sim);
  TWindowOnLine w(line, dpLargis1);
  TDevice* d = w.List("a", 500, 5);
  w.Answers = {mrYes};
  w.Form->RefreshDeviceActionExecute();
  ASSERT_TRUE(w.WaitIdle());
  EXPECT_EQ(d->SystemAddress(), 9);
  EXPECT_EQ(w.Form->sgDevices->Cells(3, 1), "9");
  w.Form->FModified = false;
}
