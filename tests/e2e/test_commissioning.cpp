// A commissioning day on the demo line, through the window as the engineer
// drives it: open the port, find the devices by their plant numbers, poll,
// stop, read the settings back, run single commands, save, reload, close.
// Every message box and dialog is answered here; progress windows run for
// real and are closed by the workers' own reports.
#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QDir>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include "../ui/test_scan_ui_support.h"
#include "ScanTypeForm.h"

using namespace scanui;

namespace {

// Serves the window until pred holds or limitMs has passed.
template <typename Pred>
bool ServeUntil(Pred pred, int limitMs) {
  QDeadlineTimer deadline(limitMs);
  while (!pred() && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return pred();
}

bool AllRowsPolled(TMainForm& form) {
  for (int row = 1; row <= form.DeviceCount(); ++row)
    if (form.sgData->Cells(4, row).isEmpty()) return false;
  return form.DeviceCount() > 0;
}

}  // namespace

TEST(CommissioningTest, WholeDayOnTheDemoLine) {
  std::unique_ptr<TVirtualLine> line = MakeDemoLine(dpLargis1);
  // The scan gives the devices addresses from 10 on, so that the addresses
  // really change on the line.
  TWindowOnLine w(*line, dpLargis1);
  TMainForm& form = *w.Form;
  ASSERT_TRUE(form.ComPort().Connected());
  EXPECT_FALSE(form.OpenPortAction->isEnabled());
  EXPECT_TRUE(form.ClosePortAction->isEnabled());

  // --- the scan by plant numbers
  w.Answers = {mrYes};
  w.OnDialog = [](QDialog& d) {
    auto* scan = qobject_cast<TScanTypeForm*>(&d);
    if (!scan) return int(mrCancel);
    scan->eStartAddress->setText("10");
    scan->rbNumber->setChecked(true);
    QTest::keyClicks(scan->eNumbers, "1201-1205");
    scan->btnApply->click();
    return scan->result();
  };
  form.SearchActionExecute();
  ASSERT_TRUE(w.WaitIdle());
  ASSERT_EQ(form.DeviceCount(), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(form.FDevices[i]->PlantNumber(), 1201 + i);
    EXPECT_EQ(form.FDevices[i]->SystemAddress(), 10 + i);
    EXPECT_EQ(line->Device(i).Address, 10 + i);
  }
  EXPECT_EQ(form.FDevices[1]->SensorCount(), 12);
  EXPECT_TRUE(form.FModified);
  form.UpdateActions();
  EXPECT_TRUE(form.RunAction->isEnabled());

  // --- polling
  form.RunActionExecute();
  ASSERT_TRUE(form.FThread);
  EXPECT_TRUE(form.gbData->isVisibleTo(&form));
  EXPECT_FALSE(form.gbDevices->isVisibleTo(&form));
  ASSERT_TRUE(ServeUntil([&] { return AllRowsPolled(form); }, 10000));
  EXPECT_EQ(form.sgData->Cells(0, 2), U8("ЛИМ-07_1202"));
  EXPECT_EQ(form.sgData->Cells(4 + 7, 2), "****");        // the broken sensor
  EXPECT_EQ(form.sgData->Cells(4 + 5, 3), QString());     // no data
  EXPECT_FALSE(form.sgData->Cells(4 + 15, 5).isEmpty());  // 16 sensors
  EXPECT_EQ(form.sgData->Cells(4 + 6, 3), QString());     // beyond its 6
  EXPECT_EQ(form.sgData->Cells(3, 3), "0x00");  // the level flags keep bits 1, 4 and 5 only

  // While polling runs, nothing else reaches the port.
  form.UpdateActions();
  for (QAction* a : {form.SearchAction, form.ClosePortAction, form.RefreshDeviceAction,
                     form.AllAddressWriteAction, form.tReadAction, form.CoeffWriteAction,
                     form.DeviceToLargis1ModeAction, form.SwitchForModbusProtocolAction,
                     form.OpenAction, form.NewAction, form.AddDeviceAction})
    EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();
  form.SelectDevice(0);
  const std::size_t messagesBefore = w.Messages.size();
  form.tReadAction->trigger();
  form.CoeffWriteAction->trigger();
  form.RefreshDeviceActionExecute();
  form.SearchActionExecute();
  form.ClosePortActionExecute();
  EXPECT_EQ(w.Messages.size(), messagesBefore);
  EXPECT_TRUE(form.ComPort().Connected());

  // --- stop
  form.StopActionExecute();
  ASSERT_TRUE(w.WaitIdle(5000));
  EXPECT_TRUE(form.gbDevices->isVisibleTo(&form));
  EXPECT_FALSE(form.gbData->isVisibleTo(&form));
  form.UpdateActions();
  EXPECT_TRUE(form.RunAction->isEnabled());
  EXPECT_FALSE(form.StopAction->isEnabled());
  EXPECT_TRUE(form.ClosePortAction->isEnabled());

  // --- batch read of the settings
  for (int i = 0; i < 5; ++i) form.FDevices[i]->SetSensorCount(1);
  w.Answers = {mrYes};
  form.RefreshDeviceActionExecute();
  ASSERT_TRUE(w.WaitIdle());
  EXPECT_EQ(w.Dialogs.back().Name, "TProgressXForm");
  EXPECT_EQ(w.Dialogs.back().Caption, U8("Пакетное чтение"));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(form.FDevices[i]->SensorCount(), line->Device(i).Temperatures.size()) << i;
    EXPECT_EQ(form.FDevices[i]->UnmeasurableLevel, 5) << i;
    for (int col = 4; col <= 8; ++col) EXPECT_FALSE(w.Marked(col, i + 1)) << col;
    EXPECT_TRUE(w.Marked(9, i + 1)) << "the coefficient is not read back";
  }

  // --- single commands on the selected device
  form.SelectDevice(2);
  w.OnDialog = [](QDialog& d) {
    if (d.objectName() != "TEditForm") return int(mrCancel);
    auto* editor = d.findChild<QLineEdit*>("Editor");
    editor->setText("9");
    return int(mrOk);
  };
  const std::size_t before = w.Messages.size();
  form.CoeffWriteAction->trigger();
  EXPECT_EQ(w.Messages.size(), before) << w.Messages.back().Text.toStdString();
  EXPECT_EQ(form.FDevices[2]->AveragingCoefficient(), 9);
  EXPECT_EQ(line->Device(2).AveragingCoefficient, 9);
  form.FDevices[2]->SetAveragingCoefficient(1);
  form.CoeffReadAction->trigger();
  EXPECT_EQ(form.FDevices[2]->AveragingCoefficient(), 9);
  form.hReadAction->trigger();
  EXPECT_EQ(w.Messages.size(), before);
  EXPECT_EQ(form.lLastResult->text(), U8("Операция завершена успешно"));

  // --- save, then a fresh load with the port closed
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString file = QDir(dir.path()).filePath("line.l07");
  w.Hooks.Files = [&](TFileDialogKind, const QString&) { return file; };
  form.SaveAsActionExecute();
  EXPECT_FALSE(form.FModified);
  EXPECT_EQ(form.FFileName, file);

  form.ClosePortActionExecute();
  EXPECT_FALSE(form.ComPort().Connected());
  w.Answers = {};
  form.NewActionExecute();
  EXPECT_EQ(form.DeviceCount(), 0);
  form.OpenActionExecute();
  ASSERT_EQ(form.DeviceCount(), 5);
  EXPECT_EQ(form.FDevices[2]->AveragingCoefficient(), 9);
  EXPECT_EQ(form.FDevices[4]->SystemAddress(), 14);
  EXPECT_EQ(form.FDevices[1]->SensorCount(), 12);
  EXPECT_FALSE(form.FModified);

  // --- closing: asked once, nothing to save, accepted
  w.Answers = {mrYes};
  const std::size_t beforeClose = w.Messages.size();
  QCloseEvent close;
  QCoreApplication::sendEvent(&form, &close);
  EXPECT_TRUE(close.isAccepted());
  ASSERT_EQ(w.Messages.size(), beforeClose + 1);
  EXPECT_EQ(w.Messages.back().Text, U8("Вы действительно желаете завершить работу?"));
}

// Closing the window while polling runs: the thread is stopped and waited for,
// serving its synchronised refresh meanwhile, so nothing hangs and nothing is
// touched after it is freed.
TEST(CommissioningTest, ClosingWhilePollingStopsTheThread) {
  std::unique_ptr<TVirtualLine> line = MakeDemoLine(dpLargis1);
  TWindowOnLine w(*line, dpLargis1);
  TMainForm& form = *w.Form;
  for (int i = 0; i < 5; ++i) {
    const TSimDevice d = line->Device(i);
    w.List(d.Name.c_str(), d.PlantNumber, d.Address)
        ->SetSensorCount(static_cast<std::uint8_t>(d.Temperatures.size()));
  }
  form.FModified = false;
  form.RunActionExecute();
  ASSERT_TRUE(ServeUntil([&] { return AllRowsPolled(form); }, 10000));
  QPointer<TWorkerThread> thread = form.FThread;
  w.Answers = {mrYes};
  QCloseEvent close;
  QCoreApplication::sendEvent(&form, &close);
  EXPECT_TRUE(close.isAccepted());
  EXPECT_FALSE(form.FThread);
  EXPECT_FALSE(thread);  // freed
}

// "Остановить опрос" while the thread is inside a long exchange (a silent
// device, a long read time-out): the stop does not wait for it, and the state
// panel must not read the texts the thread is still writing. It shows them
// once the thread has ended, so the panel tells what the last exchange gave.
TEST(CommissioningTest, StopDuringALongExchangeShowsTheStateWhenTheThreadEnds) {
  TVirtualLine line;
  line.AddDevice(SimAt(1, 100));
  line.Modify(0, [](TSimDevice& d) { d.Faults.Silent = true; });
  TWindowOnLine w(line, dpLargis1);
  TMainForm& form = *w.Form;
  TDevice* device = w.List("A", 100, 1);
  form.SelectDevice(0);
  device->LastResult = "старое";
  form.ShowDeviceState(true, true);
  EXPECT_EQ(form.lLastResult->text(), U8("старое"));
  form.ComPort().Timeouts().SetReadTotalConstant(1500);

  form.RunActionExecute();
  ASSERT_TRUE(ServeUntil([&] { return line.FrameCount() >= 1; }, 5000));
  form.StopActionExecute();
  ASSERT_TRUE(form.FThread) << "the thread was expected to be still in its exchange";
  EXPECT_TRUE(form.gbState->isVisibleTo(&form));

  ASSERT_TRUE(w.WaitIdle(10000));
  EXPECT_NE(device->LastResult, "старое");
  EXPECT_EQ(form.lLastResult->text(), QString::fromStdString(device->LastResult));
  EXPECT_EQ(form.lLastOperation->text(), QString::fromStdString(device->LastOperation));
}

namespace {

// Stands for a firmware upload in progress: holds the port until told to stop.
class THoldingThread : public TWorkerThread {
 public:
  using TWorkerThread::TWorkerThread;
  ~THoldingThread() override {
    Terminate();
    wait();
  }

 protected:
  void Execute() override {
    while (Pause(20)) {
    }
  }
};

}  // namespace

// While a firmware upload holds the port, the actions that would start a
// second user of the port or change the protocol refuse before asking
// anything, also when triggered past their enabling rule.
TEST(CommissioningTest, NoSecondUserOfThePortWhileAnUploadRuns) {
  std::unique_ptr<TVirtualLine> line = MakeDemoLine(dpLargis1);
  TWindowOnLine w(*line, dpLargis1);
  TMainForm& form = *w.Form;
  w.List("A", 1201, 1);
  w.List("B", 1202, 2);
  auto* upload = new THoldingThread(&form);
  form.FUploadThread = upload;
  upload->start();
  const std::size_t messages = w.Messages.size();
  const std::size_t frames = line->FrameCount();
  w.Answers = {mrYes, mrYes, mrYes, mrYes, mrYes, mrYes};
  form.SearchActionExecute();
  form.RefreshDeviceActionExecute();
  form.UpdateDeviceActionExecute();
  form.AllAddressWriteActionExecute();
  form.SwitchForModbusProtocolActionExecute();
  EXPECT_EQ(w.Messages.size(), messages);
  EXPECT_FALSE(form.FThread);
  EXPECT_EQ(form.DeviceCount(), 2);
  EXPECT_EQ(form.CurrentProtocol(), dpLargis1);
  EXPECT_EQ(line->FrameCount(), frames);
  form.FUploadThread = nullptr;
  delete upload;
}
