// Polling from the window, offscreen, on the virtual line through the real
// port: the layout switch and the enabling while polling, the data table's
// headers and cells, stop then start, the period dialog's bounds and closing
// the window while polling.
#include <gtest/gtest.h>

#include <QAction>
#include <QGroupBox>
#include <QLineEdit>
#include <QLocale>
#include <QTest>
#include <QToolButton>

#include <memory>
#include <thread>

#include "Animate.h"
#include "StringGrid.h"
#include "RequestThread.h"
#include "UiTestSupport.h"
#include "VirtualLine.h"

namespace {

using namespace std::chrono_literals;

TSimDevice SimDevice(std::uint8_t address, TDeviceProtocol protocol,
                     std::vector<std::uint16_t> temperatures) {
  TSimDevice d;
  d.Address = address;
  d.PlantNumber = static_cast<std::uint16_t>(3000 + address);
  d.Protocol = protocol;
  d.Temperatures = std::move(temperatures);
  d.LevelCode = static_cast<std::uint16_t>(500 + address);
  d.LevelMetres = 1.5;  // 15 dm
  return d;
}

QString Deg(double v) {
  QLocale locale;
  locale.setNumberOptions(QLocale::OmitGroupSeparator);
  return locale.toString(v, 'f', 2);
}

class PollingWindow : public testing::Test {
 protected:
  void Make(TDeviceProtocol protocol) { form = MakeForm(answers, protocol); }
  // The device on the line and its record in the window's list.
  void Add(const TSimDevice& d, const char* name) {
    line.AddDevice(d);
    form->AddDevice(MakeDevice(name, d.PlantNumber, d.Address, d.Temperatures));
    form->FModified = false;
  }
  void OpenPort() {
    form->ComPort().SetPort(line.SlavePath());
    form->OpenPortAction->trigger();
    ASSERT_TRUE(form->ComPort().Connected());
  }
  // Events are served while waiting, so the thread's refreshes run.
  bool WaitRow(int row) {
    return QTest::qWaitFor([&] { return !form->sgData->Cells(3, row).isEmpty(); }, 10000);
  }
  bool WaitThreadGone() {
    return QTest::qWaitFor([&] { return form->FThread.isNull(); }, 10000);
  }
  void StopAndWait() {
    if (form->StopAction->isEnabled()) form->StopAction->trigger();
    ASSERT_TRUE(WaitThreadGone());
  }

  TAnswering answers;
  TVirtualLine line;
  std::unique_ptr<TMainForm> form;
};

}  // namespace

TEST(PollingDataRow, CellsOfOneDevice) {
  TestApp();
  std::unique_ptr<TDevice> d(MakeDevice("A", 1, 1, {0x0191, 0xFF60, 0xDDDD, 0xAAAA, 0x55AA}));
  d->LevelCode = 1234;
  d->Level = 56;
  d->LevelState = 0x0012;
  d->TemperatureState = 0x0008;
  const QStringList t = TMainForm::DataRowTexts(*d, 7);
  ASSERT_EQ(t.size(), 10);
  EXPECT_EQ(t.mid(0, 3), (QStringList{"1234", "56", "0x1A"}));
  EXPECT_EQ(t.mid(3), (QStringList{Deg(25.06), Deg(-10.0), "", "****", "****", "", ""}));

  // A failed level read: no level cells; bit 15 never shows in the state.
  d->LevelState = kStateFailed | 0x0002;
  d->TemperatureState = kStateFailed;
  EXPECT_EQ(TMainForm::DataRowTexts(*d, 0), (QStringList{"", "", "0x02"}));
  EXPECT_EQ(TMainForm::StateText(0, 0), "0x00");
  EXPECT_EQ(TMainForm::StateText(0x0100, 0x002D), "0x12D");
  EXPECT_EQ(TMainForm::StateText(0xFFFF, 0xFFFF), "0x7FFF");
}

TEST_F(PollingWindow, NativePollingShowsTheDataTableAndStopRestoresTheDeviceTable) {
  Make(dpLargis1);
  Add(SimDevice(1, dpLargis1, {0x0191, 0xFF60, 0xDDDD}), "Первый");
  Add(SimDevice(2, dpLargis1, {0xAAAA, 0x0020}), "Второй");
  Add(SimDevice(3, dpLargis1, {0x0010}), "Немой");
  line.Modify(0, [](TSimDevice& d) { d.StatusFlags = 0x0010; });
  line.Modify(2, [](TSimDevice& d) { d.Faults.Silent = true; });
  OpenPort();
  form->SelectDevice(0);

  form->RunAction->trigger();
  ASSERT_FALSE(form->FThread.isNull());
  EXPECT_NE(qobject_cast<TRequestThread*>(form->FThread.data()), nullptr);
  // The layout and the enabling while polling.
  EXPECT_FALSE(form->gbData->isHidden());
  EXPECT_TRUE(form->gbDevices->isHidden());
  EXPECT_TRUE(form->gbState->isHidden());
  EXPECT_TRUE(form->StopAction->isEnabled());
  EXPECT_EQ(form->tbRunStop->defaultAction(), form->StopAction);
  for (QAction* a : {form->RunAction, form->SearchAction, form->UpdateDeviceAction,
                     form->ClosePortAction, form->AddDeviceAction, form->RemoveDeviceAction,
                     form->RefreshDeviceAction, form->AllAddressWriteAction})
    EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();
  if (form->Animate_T->HasClip()) {
    EXPECT_FALSE(form->Animate_T->isHidden());
    EXPECT_TRUE(form->Animate_T->Active());
  }

  // The table as built at the start.
  TStringGrid* g = form->sgData;
  ASSERT_EQ(g->ColCount(), 3 + 4);
  ASSERT_EQ(g->RowCount(), 4);
  const QStringList headers{"", "C", "H", U8("Сост."), "1", "2", "3"};
  for (int c = 0; c < g->ColCount(); ++c) EXPECT_EQ(g->Cells(c, 0), headers[c]) << c;
  EXPECT_EQ(g->ColWidths(0), 96);
  for (int c = 1; c < g->ColCount(); ++c) EXPECT_EQ(g->ColWidths(c), 48) << c;
  EXPECT_GE(g->DefaultRowHeight(), 18);
  EXPECT_EQ(g->FixedCols(), 1);
  EXPECT_EQ(g->Cells(0, 1), U8("Первый"));
  EXPECT_EQ(g->Cells(0, 3), U8("Немой"));

  // Switching the protocol is not possible while polling runs.
  form->UpdateActions();
  EXPECT_FALSE(form->SwitchForModbusProtocolAction->isEnabled());

  ASSERT_TRUE(WaitRow(3));  // the first full cycle has been shown
  EXPECT_EQ(g->Cells(1, 1), "501");
  EXPECT_EQ(g->Cells(2, 1), "15");
  EXPECT_EQ(g->Cells(3, 1), "0x10");
  EXPECT_EQ(g->Cells(4, 1), Deg(25.06));
  EXPECT_EQ(g->Cells(5, 1), Deg(-10.0));
  EXPECT_EQ(g->Cells(6, 1), "");
  EXPECT_EQ(g->Cells(4, 2), "****");
  EXPECT_EQ(g->Cells(5, 2), Deg(2.0));
  EXPECT_EQ(g->Cells(6, 2), "");  // beyond the device's sensors
  // The silent device: no level, no temperatures, bit 15 masked out.
  EXPECT_EQ(g->Cells(1, 3), "");
  EXPECT_EQ(g->Cells(2, 3), "");
  EXPECT_EQ(g->Cells(3, 3), "0x00");
  EXPECT_EQ(g->Cells(4, 3), "");
  // A later cycle brings new readings into the table.
  line.Modify(1, [](TSimDevice& d) { d.Temperatures[1] = 0x0030; });
  EXPECT_TRUE(QTest::qWaitFor([&] { return g->Cells(5, 2) == Deg(3.0); }, 10000));

  form->StopAction->trigger();
  EXPECT_TRUE(form->gbData->isHidden());
  EXPECT_FALSE(form->gbDevices->isHidden());
  EXPECT_FALSE(form->gbState->isHidden());
  EXPECT_FALSE(form->StopAction->isEnabled());
  EXPECT_TRUE(form->RunAction->isEnabled());
  EXPECT_EQ(form->tbRunStop->defaultAction(), form->RunAction);
  EXPECT_FALSE(form->Animate_T->Active());
  // The state panel shows the selected device's last readings.
  EXPECT_EQ(form->sgTemperature->Cells(0, 1), Deg(25.06));
  ASSERT_TRUE(WaitThreadGone());
  EXPECT_TRUE(form->AddDeviceAction->isEnabled());
  EXPECT_TRUE(form->ClosePortAction->isEnabled());
  // The data stays in the table after the stop.
  EXPECT_EQ(g->Cells(1, 1), "501");
}

TEST_F(PollingWindow, ModbusPollingReadsOneDataBlockPerDevice) {
  Make(dpModbus);
  Add(SimDevice(4, dpModbus, {0x0191, 0x55AA}), "M");
  line.Modify(0, [](TSimDevice& d) { d.StatusFlags = 0x000C; });
  OpenPort();
  form->RunAction->trigger();
  ASSERT_TRUE(WaitRow(1));
  StopAndWait();

  TStringGrid* g = form->sgData;
  EXPECT_EQ(g->Cells(1, 1), "0");  // the Modbus block carries no level code
  EXPECT_EQ(g->Cells(2, 1), "15");
  EXPECT_EQ(g->Cells(3, 1), "0x0C");
  EXPECT_EQ(g->Cells(4, 1), Deg(25.06));
  EXPECT_EQ(g->Cells(5, 1), "****");
  for (const TSimFrame& f : line.Frames()) {
    ASSERT_GE(f.Bytes.size(), 2u);
    EXPECT_EQ(f.Bytes[1], 0x04) << SimHex(f.Bytes);  // input registers, nothing else
  }
}

TEST_F(PollingWindow, EmptyListShowsFourColumnsAndNoRows) {
  Make(dpLargis1);
  OpenPort();
  form->RunAction->trigger();
  TStringGrid* g = form->sgData;
  EXPECT_EQ(g->ColCount(), 4);
  EXPECT_TRUE(g->isRowHidden(0));  // the grid's one data row is not shown
  QTest::qWait(300);               // a few refreshes
  StopAndWait();
  EXPECT_EQ(line.FrameCount(), 0u);

  // A list that is no longer empty gets its rows back at the next start.
  Add(SimDevice(1, dpLargis1, {0x0010}), "A");
  form->RunAction->trigger();
  EXPECT_FALSE(g->isRowHidden(0));
  EXPECT_EQ(g->ColCount(), 5);
  ASSERT_TRUE(WaitRow(1));
  StopAndWait();
}

TEST_F(PollingWindow, StopThenImmediateStartDoesNothingUntilTheThreadHasEnded) {
  Make(dpLargis1);
  OpenPort();
  form->RunAction->trigger();
  QPointer<TWorkerThread> first = form->FThread;
  ASSERT_FALSE(first.isNull());
  // Without serving events the thread's first refresh stays pending: the
  // thread cannot end within the stop's 500 ms.
  std::this_thread::sleep_for(200ms);
  form->StopAction->trigger();
  ASSERT_EQ(form->FThread, first);
  EXPECT_TRUE(form->RunAction->isEnabled());

  form->RunAction->trigger();  // refused: the old thread is still there
  EXPECT_EQ(form->FThread, first);
  EXPECT_TRUE(form->gbData->isHidden());
  EXPECT_FALSE(form->StopAction->isEnabled());

  ASSERT_TRUE(WaitThreadGone());  // the pending refresh runs, the thread ends
  EXPECT_TRUE(first.isNull() || first->isFinished());
  form->UpdateActions();
  ASSERT_TRUE(form->RunAction->isEnabled());
  form->RunAction->trigger();
  EXPECT_FALSE(form->FThread.isNull());
  EXPECT_NE(form->FThread, first);
  EXPECT_FALSE(form->gbData->isHidden());
  StopAndWait();
}

TEST_F(PollingWindow, PeriodDialogClampsAndReachesTheRunningThread) {
  Make(dpLargis1);
  for (std::uint8_t a = 1; a <= 3; ++a) Add(SimDevice(a, dpLargis1, {0x0010}), "D");
  EXPECT_EQ(form->FPeriod, 600u);  // three devices
  QString entry;
  QString caption;
  QString shown;
  answers.OnDialog = [&](QDialog& d) {
    caption = d.windowTitle();
    auto* editor = d.findChild<QLineEdit*>("Editor");
    shown = editor->text();
    editor->setText(entry);
    return Click(d, "btnOK");
  };

  entry = "100";
  form->SetIntervalAction->trigger();
  EXPECT_EQ(caption, U8("Период [мс.]"));
  EXPECT_EQ(shown, "600");
  EXPECT_EQ(form->FPeriod, 600u);  // raised to the minimum

  entry = "2000000";
  form->SetIntervalAction->trigger();
  EXPECT_EQ(form->FPeriod, 1000000u);

  // Cancel keeps the period.
  answers.OnDialog = [](QDialog& d) { return Click(d, "btnCancel"); };
  form->SetIntervalAction->trigger();
  EXPECT_EQ(form->FPeriod, 1000000u);

  // While polling runs the thread gets the new period at once.
  OpenPort();
  form->RunAction->trigger();
  auto* thread = qobject_cast<TRequestThread*>(form->FThread.data());
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(thread->Period(), 1000000u);
  answers.OnDialog = [&](QDialog& d) {
    d.findChild<QLineEdit*>("Editor")->setText("700");
    return Click(d, "btnOK");
  };
  form->SetIntervalAction->trigger();
  EXPECT_EQ(form->FPeriod, 700u);
  EXPECT_EQ(thread->Period(), 700u);
  StopAndWait();
}

TEST_F(PollingWindow, PeriodFollowsTheNumberOfDevices) {
  Make(dpLargis1);
  EXPECT_EQ(form->FPeriod, 200u);
  for (std::uint8_t a = 1; a <= 2; ++a) Add(SimDevice(a, dpLargis1, {}), "D");
  answers.OnDialog = [&](QDialog& d) {
    d.findChild<QLineEdit*>("Editor")->setText("100");
    return Click(d, "btnOK");
  };
  form->SetIntervalAction->trigger();
  EXPECT_EQ(form->FPeriod, 400u);  // 100 with two devices gives the minimum
  Add(SimDevice(3, dpLargis1, {}), "D");
  EXPECT_EQ(form->FPeriod, 600u);
  Add(SimDevice(4, dpLargis1, {}), "D");
  EXPECT_EQ(form->FPeriod, 800u);
  form->DeleteDevice(0);
  EXPECT_EQ(form->FPeriod, 800u);  // deleting never lowers it
}

TEST_F(PollingWindow, ClosingTheWindowWhilePollingStopsTheThreadFirst) {
  Make(dpLargis1);
  Add(SimDevice(1, dpLargis1, {0x0010, 0x0020}), "A");
  Add(SimDevice(2, dpLargis1, {0x0030}), "B");
  OpenPort();
  form->RunAction->trigger();
  ASSERT_TRUE(WaitRow(2));
  QPointer<TWorkerThread> thread = form->FThread;
  ASSERT_FALSE(thread.isNull());
  // The window is destroyed while the thread polls: it must be stopped and
  // gone before the device list is freed (the sanitizers watch the rest).
  form.reset();
  EXPECT_TRUE(thread.isNull());
  const std::size_t frames = line.FrameCount();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(line.FrameCount(), frames);
}

TEST(PollingMarks, AFailedReadMarksItsRowUntilAGoodOneAndTheButtonsStayPlain) {
  for (TDeviceProtocol protocol : {dpLargis1, dpModbus}) {
    SCOPED_TRACE(protocol == dpLargis1 ? "native" : "Modbus");
    TAnswering answers;
    TVirtualLine line;
    auto form = MakeForm(answers, protocol);
    for (std::uint8_t a : {1, 2}) {
      line.AddDevice(SimDevice(a, protocol, {0x0190, 0x0191}));
      form->AddDevice(MakeDevice("D", 3000 + a, a, {0x0190, 0x0191}));
    }
    line.Modify(1, [](TSimDevice& d) { d.Faults.Silent = true; });
    form->ComPort().SetPort(line.SlavePath());
    form->OpenPortAction->trigger();
    TStringGrid* g = form->sgData;
    const auto marked = [g](int row) {
      return g->CellColor(0, row) == TMainForm::kFailedRowColor &&
             g->CellColor(4, row) == TMainForm::kFailedRowColor;
    };
    for (int run = 0; run < 2; ++run) {
      form->RunAction->trigger();
      ASSERT_TRUE(QTest::qWaitFor([&] { return marked(2); }, 10000));
      EXPECT_EQ(g->CellHint(3, 2), U8("Нет связи с прибором"));
      EXPECT_FALSE(marked(1));
      EXPECT_TRUE(g->CellHint(3, 1).isEmpty());
      // The next good read clears the mark.
      line.Modify(1, [](TSimDevice& d) { d.Faults = {}; });
      ASSERT_TRUE(QTest::qWaitFor([&] { return !g->CellColor(0, 2).isValid(); }, 10000));
      EXPECT_TRUE(g->CellHint(3, 2).isEmpty());
      form->StopAction->trigger();
      ASSERT_TRUE(QTest::qWaitFor([&] { return form->FThread.isNull(); }, 10000));
      line.Modify(1, [](TSimDevice& d) { d.Faults.Silent = true; });
      // One action a button, however often it changed: no drop-down menu.
      EXPECT_EQ(form->tbRunStop->actions().size(), 1);
    }
    form->ClosePortAction->trigger();
    form->OpenPortAction->trigger();
    EXPECT_EQ(form->tbConnection->actions(), QList<QAction*>{form->ClosePortAction});
    form->FModified = false;
  }
}
