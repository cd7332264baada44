// The main window: start-up, the enabling and visibility rules, the port and
// protocol actions, closing.
#include <QAction>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <atomic>
#include <chrono>
#include <thread>

#include "Transaction.h"

#include "ComSetup.h"
#include "UiTestSupport.h"
#include "VirtualLine.h"

namespace {

using namespace std::chrono_literals;

// Waits until the predicate holds, serving the event loop meanwhile.
template <class P>
bool WaitFor(P pred, int ms = 5000) {
  QDeadlineTimer deadline(ms);
  while (!pred()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

// A worker that keeps calling back into the window until stopped.
class TBusyWorker : public TWorkerThread {
 public:
  explicit TBusyWorker(IOperationHost* host) : TWorkerThread(host) {}
  std::atomic<int> Calls{0};

 protected:
  void Execute() override {
    while (!Terminated()) {
      FForm->RefreshDataGrid();
      ++Calls;
      Pause(2);
    }
  }
};

}  // namespace

TEST(MainForm, StartsAsTheSystemSays) {
  TAnswering answers;
  auto form = MakeForm(answers, dpModbus);
  EXPECT_EQ(form->windowTitle(), U8("Настройка ЛИМ-07"));
  EXPECT_EQ(form->pos(), QPoint(0, 0));
  ASSERT_EQ(answers.DialogsSeen.size(), 1u);
  EXPECT_EQ(answers.DialogsSeen[0], QStringLiteral("TStartModeForm"));
  EXPECT_EQ(form->CurrentProtocol(), dpModbus);
  EXPECT_TRUE(form->mModbus->isChecked());
  EXPECT_FALSE(form->ComPort().Connected());
  EXPECT_EQ(form->StatusPanel0->text(), QStringLiteral(" COM1 / 9600 / 8 / 1 "));
  EXPECT_EQ(form->FPeriod, 200u);
  EXPECT_EQ(form->SelectedIndex(), -1);
  EXPECT_EQ(form->FMark->Color, QColor(255, 144, 144));
  EXPECT_TRUE(answers.Messages.empty());  // the port is closed: nothing asked or sent
  EXPECT_TRUE(form->Animate_T->HasClip());
  EXPECT_TRUE(form->Animate_T->isHidden());
  EXPECT_EQ(form->sgDevices->ColCount(), 11);
  EXPECT_EQ(form->sgDevices->Cells(5, 0), U8("С1"));    // Cyrillic С
  EXPECT_EQ(form->sgDevices->Cells(7, 0), U8("C2"));    // Latin C
  EXPECT_EQ(form->sgDevices->Cells(9, 0), U8("Kуср"));  // Latin K
  for (int c : {5, 7, 8, 9}) EXPECT_EQ(form->sgDevices->ColWidths(c), -1) << c;
  EXPECT_EQ(form->sgDevices->ColWidths(1), 124);
}

TEST(MainForm, ActionTexts) {
  TAnswering answers;
  auto form = MakeForm(answers);
  EXPECT_EQ(form->ActionList1.size(), 41);
  EXPECT_EQ(form->RefreshDeviceAction->text(), U8("Прочитать настройку  из приборов"));
  EXPECT_EQ(form->AllAddressWriteAction->toolTip(), U8("Пакетное изменение системных адресов "));
  EXPECT_EQ(form->FindLostNumbersAction->text(), U8("\"Потерянные\" заводские номера"));
  EXPECT_EQ(form->OpenPortAction->toolTip(),
            U8("Установить соединение по последовательному порту"));
  EXPECT_EQ(form->AboutAction->property("category").toString(), QStringLiteral("Over Actions"));
  EXPECT_FALSE(form->AboutAction->icon().isNull());
  EXPECT_EQ(form->pmNoMark->text(), U8("Снять выделение цветом"));
  form->PopupMenuPopup();
  EXPECT_FALSE(form->pmCoeff->isVisible());  // its action is visible, the item is not
  EXPECT_TRUE(form->CoeffReadAction->isVisible());
  EXPECT_FALSE(form->pmCA->isVisible());  // hidden action
  // Toolbar order and sizes.
  EXPECT_EQ(form->tbConnection->defaultAction(), form->OpenPortAction);
  EXPECT_EQ(form->tbRunStop->defaultAction(), form->RunAction);
  EXPECT_EQ(form->tbLargis1->size(), QSize(39, 38));
}

TEST(MainForm, EnablingWithThePortClosedAndOpen) {
  TAnswering answers;
  TVirtualLine line;
  auto form = MakeForm(answers);
  form->UpdateActions();
  // Port closed.
  EXPECT_FALSE(form->RunAction->isEnabled());
  EXPECT_FALSE(form->SearchAction->isEnabled());
  EXPECT_FALSE(form->AllAddressWriteAction->isEnabled());
  EXPECT_FALSE(form->UpdateDeviceAction->isVisible());
  form->UpdateDeviceAction->setVisible(true);
  EXPECT_FALSE(form->UpdateDeviceAction->isEnabled());
  form->UpdateDeviceAction->setVisible(false);
  EXPECT_TRUE(form->OpenPortAction->isEnabled());
  EXPECT_TRUE(form->PortPropertiesAction->isEnabled());
  EXPECT_TRUE(form->OpenAction->isEnabled());
  EXPECT_TRUE(form->RemoveDeviceAction->isEnabled());  // even with an empty list
  EXPECT_FALSE(form->ClosePortAction->isEnabled());
  EXPECT_FALSE(form->SaveAction->isEnabled());
  EXPECT_FALSE(form->StopAction->isEnabled());

  form->ComPort().SetPort(line.SlavePath());
  form->OpenPortAction->trigger();
  ASSERT_TRUE(form->ComPort().Connected()) << answers.LastText().toStdString();
  form->UpdateActions();
  EXPECT_TRUE(form->RunAction->isEnabled());
  EXPECT_TRUE(form->SearchAction->isEnabled());
  EXPECT_TRUE(form->AllAddressWriteAction->isEnabled());
  EXPECT_FALSE(form->UpdateDeviceAction->isVisible());
  form->UpdateDeviceAction->setVisible(true);  // a hidden action counts as disabled
  EXPECT_TRUE(form->UpdateDeviceAction->isEnabled());
  form->UpdateDeviceAction->setVisible(false);
  EXPECT_FALSE(form->OpenPortAction->isEnabled());
  EXPECT_FALSE(form->PortPropertiesAction->isEnabled());
  EXPECT_FALSE(form->OpenAction->isEnabled());
  EXPECT_EQ(form->tbConnection->defaultAction(), form->ClosePortAction);
  // Open but no device: the list-bound actions stay off.
  EXPECT_FALSE(form->RefreshDeviceAction->isEnabled());
  EXPECT_FALSE(form->UploadSoftwareAction->isEnabled());
  EXPECT_FALSE(form->TotalDownloadSoftwareAction->isEnabled());
  form->FHitCol = 1;
  form->FHitRow = 1;
  form->PopupMenuPopup();
  EXPECT_FALSE(form->pmID->isEnabled());
  EXPECT_FALSE(form->pmSA->isEnabled());
  // With a device the context commands follow the rule.
  form->AddDevice(MakeDevice("A", 5, 1));
  form->PopupMenuPopup();
  EXPECT_TRUE(form->pmID->isEnabled());
  EXPECT_TRUE(form->RefreshDeviceAction->isEnabled());
  form->FHitRow = 0;  // header row
  form->PopupMenuPopup();
  EXPECT_FALSE(form->pmID->isEnabled());

  form->ClosePortAction->trigger();
  EXPECT_FALSE(form->ComPort().Connected());
  EXPECT_EQ(form->tbConnection->defaultAction(), form->OpenPortAction);
  EXPECT_FALSE(form->RunAction->isEnabled());
  form->FModified = false;
}

TEST(MainForm, VisibilityFollowsTheProtocol) {
  TAnswering answers;
  TVirtualLine line;
  auto form = MakeForm(answers);
  form->ComPort().SetPort(line.SlavePath());
  form->OpenPortAction->trigger();
  form->AddDevice(MakeDevice("A", 5, 1));
  form->UpdateActions();
  EXPECT_TRUE(form->tReadAction->isVisible());
  EXPECT_TRUE(form->hReadAction->isVisible());
  for (QAction* a : {form->ModbusDataReadAction, form->WriteUnmeasurableLevelAction,
                     form->UploadSoftwareAction, form->TotalDownloadSoftwareAction})
    EXPECT_FALSE(a->isVisible()) << a->objectName().toStdString();
  EXPECT_TRUE(form->DeviceToLargis1ModeAction->isEnabled());
  EXPECT_FALSE(form->DeviceToModbusModeAction->isEnabled());
  EXPECT_FALSE(form->SwitchForLargis1ProtocolAction->isEnabled());  // checked
  EXPECT_TRUE(form->SwitchForModbusProtocolAction->isEnabled());

  answers.Answers = {mrNo};
  form->SwitchForModbusProtocolAction->trigger();
  EXPECT_EQ(form->CurrentProtocol(), dpModbus);
  form->UpdateActions();
  EXPECT_FALSE(form->tReadAction->isVisible());
  EXPECT_FALSE(form->hReadAction->isVisible());
  for (QAction* a : {form->ModbusDataReadAction, form->WriteUnmeasurableLevelAction,
                     form->UploadSoftwareAction, form->TotalDownloadSoftwareAction})
    EXPECT_TRUE(a->isVisible()) << a->objectName().toStdString();
  EXPECT_TRUE(form->UploadSoftwareAction->isEnabled());
  EXPECT_TRUE(form->DeviceToModbusModeAction->isEnabled());
  EXPECT_FALSE(form->DeviceToLargis1ModeAction->isEnabled());
  EXPECT_FALSE(form->lC->isVisibleTo(form.get()));
  EXPECT_TRUE(form->chbEEPROMError->isVisibleTo(form.get()));
  // The firmware lock timer disables both upload actions while it runs.
  form->BlockTimer->start();
  form->UpdateActions();
  EXPECT_FALSE(form->UploadSoftwareAction->isEnabled());
  EXPECT_FALSE(form->TotalDownloadSoftwareAction->isEnabled());
  form->FModified = false;
}

TEST(MainForm, ProtocolSwitchBroadcastsOnlyWhenOpenAndConfirmed) {
  TAnswering answers;
  TVirtualLine line;
  auto form = MakeForm(answers);
  form->ComPort().SetPort(line.SlavePath());
  // Closed: no question, nothing sent, the window switches.
  form->SwitchForModbusProtocolAction->trigger();
  EXPECT_EQ(form->CurrentProtocol(), dpModbus);
  EXPECT_TRUE(answers.Messages.empty());

  form->OpenPortAction->trigger();
  ASSERT_TRUE(form->ComPort().Connected());
  form->ComPort().SetWriteTraceEnabled(true);
  // Open, answer No: nothing sent, switched anyway.
  answers.Answers = {mrNo};
  form->SwitchForLargis1ProtocolAction->trigger();
  ASSERT_EQ(answers.Messages.size(), 1u);
  EXPECT_EQ(answers.Messages[0].Text,
            U8("Выполнить запрос на использование устройствами протокола Ларгис-1?"));
  EXPECT_EQ(answers.Messages[0].Type, mtConfirmation);
  EXPECT_EQ(form->CurrentProtocol(), dpLargis1);
  QThread::msleep(100);
  EXPECT_EQ(line.FrameCount(), 0u);

  // Open, answer Yes: the native broadcast switch to Modbus goes to 0xFF.
  answers.Answers = {mrYes};
  form->SwitchForModbusProtocolAction->trigger();
  EXPECT_EQ(answers.Messages.back().Text,
            U8("Выполнить запрос на использование устройствами протокола MODBUS?"));
  ASSERT_TRUE(line.WaitFrames(1, 2000ms));
  auto frames = line.Frames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames[0].Bytes.at(0), 0xFF);
  // The parity as the port applied it at the write (the line's own sample
  // can come late on a loaded machine).
  const auto writes = form->ComPort().WriteTrace();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[0].Parity, prMark);
  EXPECT_EQ(writes[0].Bytes, std::vector<std::uint8_t>{0xFF});

  // …and the Modbus broadcast back to the native protocol goes to address 0.
  line.ClearFrames();
  answers.Answers = {mrYes};
  form->SwitchForLargis1ProtocolAction->trigger();
  ASSERT_TRUE(line.WaitFrames(1, 2000ms));
  frames = line.Frames();
  EXPECT_EQ(frames[0].Bytes.at(0), 0x00);
  EXPECT_EQ(frames[0].Bytes.at(1), 0x10);  // write multiple registers
  EXPECT_EQ(form->CurrentProtocol(), dpLargis1);
}

TEST(MainForm, OpenPortFailureMessage) {
  TAnswering answers;
  auto form = MakeForm(answers);
  form->ComPort().SetPort("/nonexistent/ttyLIM07");
  form->OpenPortAction->trigger();
  ASSERT_EQ(answers.Messages.size(), 1u);
  EXPECT_EQ(answers.Messages[0].Text,
            U8("Не удалось установить соединение! Возможно порт занят другой программой!\n"
               "Произведите настройку последовательного порта и повторите попытку!"));
  EXPECT_EQ(answers.Messages[0].Type, mtError);
  EXPECT_EQ(answers.Messages[0].Buttons, int(mbOK));
  EXPECT_FALSE(form->ComPort().Connected());
  EXPECT_TRUE(form->OpenPortAction->isEnabled());
  EXPECT_FALSE(form->RunAction->isEnabled());
}

TEST(PortSettings, PreselectionCustomFlowAndCancel) {
  TAnswering answers;
  auto form = MakeForm(answers);
  // Preselection from the window's port settings.
  QStringList selected;
  answers.OnDialog = [&](QDialog& d) {
    auto& f = dynamic_cast<TComSetupFrm&>(d);
    for (QComboBox* c : {f.Combo2, f.Combo3, f.Combo4, f.Combo5, f.Combo6})
      selected << c->currentText();
    const int port = f.Combo1->currentIndex();
    EXPECT_TRUE(port < 0 || f.Combo1->currentText() == QStringLiteral("COM1"));
    return Click(f, "btnCancel");
  };
  form->PortPropertiesAction->trigger();
  EXPECT_EQ(selected, QStringList({"9600", "8", "1", "Even", "None"}));
  EXPECT_FALSE(form->FModified);  // cancelled: nothing changes

  // "Custom" flow control and a new speed, accepted.
  form->ComPort().FlowControl().SetXonXoffOut(true);  // a mode of no name: Custom
  form->ComPort().FlowControl().SetOutDSRFlow(true);
  answers.OnDialog = [&](QDialog& d) {
    auto& f = dynamic_cast<TComSetupFrm&>(d);
    EXPECT_EQ(f.Combo6->currentText(), QStringLiteral("Custom"));
    f.Combo2->setCurrentText(QStringLiteral("19200"));
    return Click(f, "btnOk");
  };
  form->PortPropertiesAction->trigger();
  EXPECT_TRUE(form->FModified);
  EXPECT_EQ(form->ComPort().BaudRate(), br19200);
  EXPECT_TRUE(form->ComPort().FlowControl().XonXoffOut());
  EXPECT_FALSE(form->ComPort().FlowControl().XonXoffIn());
  EXPECT_TRUE(form->ComPort().FlowControl().OutDSRFlow());
  EXPECT_EQ(form->ComPort().Port(), "COM1");  // no port chosen: the name stays
  EXPECT_EQ(form->StatusPanel0->text(), QStringLiteral(" COM1 / 19200 / 8 / 1 "));
  form->FModified = false;
}

TEST(PortSettings, ChoosingAModeAndAPortFromTheList) {
  TAnswering answers;
  TVirtualLine line;
  line.Announce();  // listed with the ports
  TComPort port;
  TComSetupFrm f(port);
  ASSERT_GT(f.Combo1->count(), 0);
  f.Combo1->setCurrentIndex(0);
  f.Combo6->setCurrentText(QStringLiteral("Hardware"));
  f.Combo5->setCurrentText(QStringLiteral("Mark"));
  f.ApplySettings();
  EXPECT_EQ(QString::fromStdString(port.Port()), f.Combo1->itemText(0));
  EXPECT_EQ(port.FlowControl().FlowControl(), fcHardware);
  EXPECT_EQ(port.Parity().Bits(), prMark);
}

TEST(MainForm, WorkerGuardsTheActionsUntilItHasEnded) {
  TAnswering answers;
  TVirtualLine line;
  auto form = MakeForm(answers);
  form->ComPort().SetPort(line.SlavePath());
  form->OpenPortAction->trigger();
  form->AddDevice(MakeDevice("A", 5, 1));
  auto* worker = new TBusyWorker(form.get());
  form->StartWorker(worker);
  ASSERT_TRUE(WaitFor([&] { return worker->Calls > 3; }));
  form->UpdateActions();
  for (QAction* a : {form->NewAction, form->OpenAction, form->ClosePortAction, form->RunAction,
                     form->SearchAction, form->AddDeviceAction, form->RemoveDeviceAction,
                     form->SwitchForModbusProtocolAction, form->RefreshDeviceAction,
                     form->ModbusDataReadAction, form->SortByPlantNumberAction,
                     form->AllAddressWriteAction, form->EmptyBunkerCalibrationAction})
    EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();
  // A handler refuses even when called directly.
  answers.Messages.clear();
  form->RemoveDeviceActionExecute();
  EXPECT_TRUE(answers.Messages.empty());
  EXPECT_EQ(form->DeviceCount(), 1);
  // Stopping: still disabled until the end notification has run.
  worker->Terminate();
  ASSERT_TRUE(WaitFor([&] { return form->FThread == nullptr; }));
  form->UpdateActions();
  for (QAction* a : {form->NewAction, form->ClosePortAction, form->RunAction, form->SearchAction,
                     form->AddDeviceAction, form->RemoveDeviceAction,
                     form->SwitchForModbusProtocolAction, form->RefreshDeviceAction})
    EXPECT_TRUE(a->isEnabled()) << a->objectName().toStdString();
  EXPECT_FALSE(form->OpenAction->isEnabled());  // the port is open
  form->FModified = false;
}

TEST(MainForm, DestroyingWithAWorkerInASynchronisedCallDoesNotDeadlock) {
  TAnswering answers;
  auto form = MakeForm(answers);
  std::atomic<int> refreshes{0};
  form->FOnRefreshDataGrid = [&] { ++refreshes; };
  auto* worker = new TBusyWorker(form.get());
  QPointer<TBusyWorker> alive(worker);
  form->StartWorker(worker);
  // An upload thread is asked to stop and waited for too: it must never
  // touch the port after the window has gone.
  auto* upload = new TBusyWorker(form.get());
  QPointer<TBusyWorker> uploadAlive(upload);
  upload->SetFreeOnTerminate(true);
  form->FUploadThread = upload;
  upload->start();
  ASSERT_TRUE(WaitFor([&] { return refreshes > 4; }));
  // The workers are now mostly waiting in RefreshDataGrid for this thread.
  form.reset();
  EXPECT_TRUE(alive.isNull());  // waited for and freed before the list went
  EXPECT_TRUE(uploadAlive.isNull());
}

TEST(MainForm, ClosingAsksAndKeepsTheWindowWhenTheSaveDoesNotHappen) {
  TAnswering answers;
  auto form = MakeForm(answers);
  form->show();
  // No to the first question: stays open.
  answers.Answers = {mrNo};
  EXPECT_FALSE(form->close());
  EXPECT_EQ(answers.LastText(), U8("Вы действительно желаете завершить работу?"));
  EXPECT_EQ(answers.Messages.back().Type, mtWarning);
  // Modified, Yes then Yes, and the file dialog cancelled: stays open.
  form->FModified = true;
  answers.Answers = {mrYes, mrYes};
  EXPECT_FALSE(form->close());
  EXPECT_EQ(answers.LastText(), U8("Сохранить внесенные изменения?"));
  EXPECT_EQ(answers.Messages.back().Buttons, int(mbYes | mbNo));
  EXPECT_TRUE(form->FModified);
  // Yes then No: closes without saving.
  answers.Answers = {mrYes, mrNo};
  EXPECT_TRUE(form->close());
  form->FModified = false;
}

TEST(MainForm, WindowMessagesReachTheirHandlers) {
  TAnswering answers;
  auto form = MakeForm(answers);
  for (int i = 0; i < 4; ++i) form->AddDevice(MakeDevice("A", i + 1, i + 1));
  int overall = -1, device = -1;
  form->FOnTotalUploadProgress = [&](int o, int d) {
    overall = o;
    device = d;
  };
  form->HandleWindowMessage(WM_TOTAL_UPLOAD_PROGRESS, 3, 42);  // 1128
  EXPECT_EQ(overall, 75);
  EXPECT_EQ(device, 42);
  // From a worker thread the call waits until the window has run it.
  class TUploader : public TWorkerThread {
   public:
    using TWorkerThread::TWorkerThread;
    void Execute() override { FForm->TotalUploadProgress(1, 99); }
  } uploader(form.get());
  uploader.start();
  ASSERT_TRUE(WaitFor([&] { return device == 99; }));
  EXPECT_EQ(overall, 25);
  uploader.wait();
  form->FModified = false;
}

TEST(MainForm, UpdateRulesRunWhenTheEventLoopGoesIdle) {
  TAnswering answers;
  auto form = MakeForm(answers);
  form->UpdateActions();
  EXPECT_FALSE(form->FindLostNumbersAction->isEnabled());
  for (int i = 0; i < 3; ++i) form->AddDevice(MakeDevice("D", 10 + i, i + 1));
  EXPECT_FALSE(form->FindLostNumbersAction->isEnabled());  // no pass has run yet
  {
    QEventLoop loop;  // a loop that waits for events: idle
    QTimer::singleShot(30, &loop, &QEventLoop::quit);
    loop.exec();
  }
  EXPECT_TRUE(form->FindLostNumbersAction->isEnabled());
  // Opening the file menu runs its own rule.
  form->FFileName = QStringLiteral("/tmp/x.l07");
  form->FModified = true;
  emit form->mFile->aboutToShow();
  EXPECT_TRUE(form->SaveAction->isEnabled());
  form->FModified = false;
  emit form->mFile->aboutToShow();
  EXPECT_FALSE(form->SaveAction->isEnabled());
  form->FindLostNumbersAction->trigger();
  EXPECT_EQ(answers.Messages.back().Type, mtInformation);
  EXPECT_TRUE(answers.LastText().startsWith(U8("Младший: 10, Старший: 12.")));
}

TEST(MainForm, ProcessMessagesHookServesOnlyTheWindowThread) {
  TAnswering answers;
  auto form = MakeForm(answers);
  bool ran = false;
  QMetaObject::invokeMethod(
      form.get(), [&] { ran = true; }, Qt::QueuedConnection);
  std::thread other([] { ProcessMessagesOnce(); });  // a worker: nothing of ours runs there
  other.join();
  EXPECT_FALSE(ran);
  ProcessMessagesOnce();
  EXPECT_TRUE(ran);
  form.reset();
  // Without the window the hook is gone.
  bool later = false;
  QObject context;
  QMetaObject::invokeMethod(
      &context, [&] { later = true; }, Qt::QueuedConnection);
  ProcessMessagesOnce();
  EXPECT_FALSE(later);
  QCoreApplication::processEvents();
  EXPECT_TRUE(later);
}
