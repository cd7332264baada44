// The window when the line fails under it, offscreen, on the virtual line
// through the real port: the adapter pulled out (the pty's other side closed)
// while polling, scanning, uploading or running a single command. The worker
// ends, any progress window closes, the window says so once (the port's error
// text, naming the port) and closes the port, nothing looks as if the work
// went on, the port opens again on the same path once the line is back, and
// the device records keep their settings.
#include <gtest/gtest.h>

#include <QAction>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <atomic>
#include <string>

#include "../ops/UploadTestFiles.h"
#include "../ui/test_scan_ui_support.h"
#include "Animate.h"
#include "ScanTypeForm.h"
#include "StringGrid.h"
#include "Transaction.h"
#include "UploadSummaryForm.h"
#include "VirtualLine.h"

using namespace scanui;

namespace {

// A line whose path stays put while the pty behind it changes, as a udev
// name of a USB adapter does, and the window's port opened on that path.
struct TPulledLine {
  TTempDir Dir;
  TVirtualLine Line;
  std::string Link = Dir.Path("ttyUSB-lim07");
  TPulledLine() { Line.AddLink(Link); }
};

void ReopenOn(TMainForm& form, const std::string& path) {
  form.ClosePortActionExecute();
  form.ComPort().SetPort(path);
  form.OpenPortActionExecute();
}

// The one message that tells the failure, with the port's name and error;
// the port is closed and shown closed.
void ExpectPortFailureTold(TWindowOnLine& w, const std::string& link, std::size_t before) {
  ASSERT_TRUE(QTest::qWaitFor([&] { return w.Messages.size() > before; }, 5000));
  QTest::qWait(50);  // and no second one
  ASSERT_EQ(w.Messages.size(), before + 1);
  const TMessageRequest& m = w.Messages.back();
  EXPECT_EQ(m.Type, mtError);
  // Which call meets the loss first (purge, parity change, write, read)
  // depends on the moment.
  EXPECT_TRUE(m.Text.startsWith(U8("Ошибка последовательного порта ") +
                                QString::fromStdString(link) + ": ") &&
              m.Text.contains("function failed"))
      << m.Text.toStdString();
  EXPECT_FALSE(w.Form->ComPort().Connected());
  EXPECT_EQ(w.Form->tbConnection->defaultAction(), w.Form->OpenPortAction);
  EXPECT_TRUE(w.Form->OpenPortAction->isEnabled());
}

std::vector<std::uint8_t> Settings(const TDevice& d) {
  std::vector<std::uint8_t> r(kDeviceRecordSize);
  d.WriteRecord(r.data());
  return r;
}

TSimDevice Native(std::uint8_t address, std::uint16_t plant) {
  TSimDevice d = SimAt(address, plant);
  d.LevelMetres = 3.1;
  return d;
}

}  // namespace

TEST(WindowLineFaults, PollingEndsQuietlyWhenTheLineIsPulledAndRunsAgainAfterReopening) {
  TPulledLine l;
  TWindowOnLine w(l.Line, dpLargis1);
  ReopenOn(*w.Form, l.Link);
  ASSERT_TRUE(w.Form->ComPort().Connected());
  std::vector<std::vector<std::uint8_t>> before;
  for (std::uint8_t a = 1; a <= 2; ++a) {
    l.Line.AddDevice(Native(a, static_cast<std::uint16_t>(900 + a)));
    TDevice* d = w.List("Подвеска", static_cast<std::uint16_t>(900 + a), a);
    d->SetSensorCount(4);
    before.push_back(Settings(*d));
  }
  w.Form->UpdateActions();
  w.Form->RunAction->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !w.Form->sgData->Cells(2, 2).isEmpty(); }, 10000));

  l.Line.Unplug();
  // The worker meets the port error and ends by itself; the window tells it
  // once and drops its polling layout without "Стоп".
  ASSERT_TRUE(w.WaitIdle(10000));
  ExpectPortFailureTold(w, l.Link, 0);
  EXPECT_FALSE(w.Form->gbDevices->isHidden());
  EXPECT_FALSE(w.Form->gbState->isHidden());
  EXPECT_TRUE(w.Form->gbData->isHidden());
  EXPECT_FALSE(w.Form->Animate_T->Active());
  EXPECT_EQ(w.Form->tbRunStop->defaultAction(), w.Form->RunAction);
  w.Form->UpdateActions();
  EXPECT_FALSE(w.Form->StopAction->isEnabled());
  EXPECT_FALSE(w.Form->RunAction->isEnabled());
  w.Messages.clear();

  l.Line.Replug();
  w.Form->OpenPortAction->trigger();
  ASSERT_TRUE(w.Form->ComPort().Connected());
  EXPECT_TRUE(w.Messages.empty());
  w.Form->UpdateActions();
  w.Form->RunAction->trigger();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return w.Form->FDevices[1]->LastResult == kResultTexts[rtSuccess] &&
               w.Form->sgData->Cells(2, 2) == "31";
      },
      10000));
  w.Form->StopAction->trigger();
  ASSERT_TRUE(w.WaitIdle(10000));
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Settings(*w.Form->FDevices[i]), before[i]) << i;
}

TEST(WindowLineFaults, ScanProgressClosesWhenTheLineIsPulledAndKeepsWhatWasFound) {
  TPulledLine l;
  l.Line.AddDevice(Native(1, 811));
  l.Line.AddDevice(Native(2, 812));
  TWindowOnLine w(l.Line, dpLargis1);
  ReopenOn(*w.Form, l.Link);
  w.Answers = {mrYes};
  w.OnDialog = [](QDialog& d) {
    auto* form = qobject_cast<TScanTypeForm*>(&d);
    if (!form) return int(mrCancel);
    form->eStartAddress->setText("1");
    form->btnApply->click();
    return form->result();
  };
  // Pulled as the scan asks address 4 (nobody there), on the worker right
  // after it wrote the address byte.
  std::atomic<bool> pulled{false};
  w.Form->ComPort().SetWireLog([&](char direction, const std::uint8_t* bytes, int count) {
    if (direction == 'T' && count == 1 && bytes[0] == 4 && !pulled.exchange(true)) l.Line.Unplug();
  });
  w.Form->SearchActionExecute();
  ASSERT_TRUE(w.WaitIdle(20000));
  w.Form->ComPort().SetWireLog(nullptr);
  EXPECT_TRUE(pulled.load());
  ExpectPortFailureTold(w, l.Link, 1);  // after the scan question
  ASSERT_EQ(w.Form->DeviceCount(), 2);
  EXPECT_EQ(w.Form->FDevices[0]->PlantNumber(), 811);
  EXPECT_EQ(w.Form->FDevices[1]->PlantNumber(), 812);
  EXPECT_EQ(w.Form->FDevices[1]->SystemAddress(), 2);

  l.Line.Replug();
  w.Form->UpdateActions();
  ReopenOn(*w.Form, l.Link);
  ASSERT_TRUE(w.Form->ComPort().Connected());
  EXPECT_EQ(w.Messages.size(), 2u);
}

TEST(WindowLineFaults, BatchReadProgressClosesWhenTheLineIsPulledAndRecordsStayWhole) {
  TPulledLine l;
  l.Line.AddDevice(Native(1, 501));
  l.Line.AddDevice(Native(2, 502));
  TWindowOnLine w(l.Line, dpLargis1);
  ReopenOn(*w.Form, l.Link);
  TDevice* first = w.List("a", 501, 1);
  TDevice* second = w.List("b", 502, 2);
  second->UnmeasurableLevel = 9;
  const auto secondBefore = Settings(*second);
  // Pulled as the second device's unmeasurable level is asked, after its
  // sensor count has been read: its record must not take the count alone.
  int memoryReads = 0;
  w.Form->ComPort().SetWireLog([&](char direction, const std::uint8_t* bytes, int count) {
    if (direction == 'T' && count > 1 && bytes[0] == 0xA6 && ++memoryReads == 2) l.Line.Unplug();
  });
  w.Answers = {mrYes};
  w.Form->RefreshDeviceActionExecute();
  ASSERT_TRUE(w.WaitIdle(20000));  // the progress window closed
  w.Form->ComPort().SetWireLog(nullptr);
  EXPECT_EQ(memoryReads, 2);
  ExpectPortFailureTold(w, l.Link, 1);
  EXPECT_EQ(first->SensorCount(), 4);
  EXPECT_EQ(first->UnmeasurableLevel, 120);
  EXPECT_EQ(Settings(*second), secondBefore);
  // The second row keeps every mark the run set: nothing of it is confirmed.
  for (int col : {4, 5, 6, 7, 8}) EXPECT_TRUE(w.Marked(col, 2)) << col;

  l.Line.Replug();
  w.Form->UpdateActions();
  ReopenOn(*w.Form, l.Link);
  EXPECT_TRUE(w.Form->ComPort().Connected());
}

TEST(WindowLineFaults, SingleCommandOnAPulledLineReportsAndThePortOpensAgain) {
  TPulledLine l;
  l.Line.AddDevice(Native(3, 733));
  TWindowOnLine w(l.Line, dpLargis1);
  ReopenOn(*w.Form, l.Link);
  TDevice* d = w.List("Подвеска", 733, 3);
  d->SetSensorCount(4);
  const auto before = Settings(*d);
  w.Form->SelectDevice(0);

  l.Line.Unplug();
  w.Form->UpdateActions();
  ASSERT_TRUE(w.Form->idReadAction->isEnabled());
  w.Form->idReadAction->trigger();
  // The error reaches the user as one message box; the window goes on.
  ASSERT_GE(w.Messages.size(), 1u);
  EXPECT_EQ(w.Messages.back().Type, mtError);
  EXPECT_EQ(Settings(*d), before);

  w.Messages.clear();
  w.Form->ClosePortAction->trigger();
  EXPECT_FALSE(w.Form->ComPort().Connected());
  l.Line.Replug();
  w.Form->OpenPortAction->trigger();
  ASSERT_TRUE(w.Form->ComPort().Connected());
  w.Form->UpdateActions();
  w.Form->idReadAction->trigger();
  EXPECT_EQ(d->LastResult, kResultTexts[rtSuccess]);
  EXPECT_EQ(Settings(*d), before);
}

TEST(WindowLineFaults, UploadWindowClosesWhenTheLineIsPulledAndTheNextUploadGoesThrough) {
  TPulledLine l;
  TSimDevice sim = SimAt(6, 606, dpModbus);
  sim.Firmware = {7, 7};
  const int index = l.Line.AddDevice(sim);
  const std::vector<std::uint8_t> data = PatternBytes(40 * 128);
  const std::string file = l.Dir.Write("fw.bin2", data);
  TWindowOnLine w(l.Line, dpModbus);
  ReopenOn(*w.Form, l.Link);
  w.List("Подвеска", 606, 6);
  w.Form->SelectDevice(0);
  w.Hooks.Files = [&](TFileDialogKind, const QString&) { return QString::fromStdString(file); };

  // Pulled once the tenth block has gone out, on the worker.
  int blocks = 0;
  w.Form->ComPort().SetWireLog([&](char direction, const std::uint8_t*, int count) {
    if (direction == 'T' && count == 133 && ++blocks == 10) l.Line.Unplug();
  });
  QStringList summary;
  w.OnDialog = [&](QDialog& d) {
    auto& form = dynamic_cast<TUploadSummaryForm&>(d);
    summary << form.tbResults->item(0, 3)->text();
    form.btnClose->click();
    return form.result();
  };
  w.Answers = {mrYes};
  w.Form->UpdateActions();
  ASSERT_TRUE(w.Form->UploadSoftwareAction->isEnabled());
  w.Form->UploadSoftwareAction->trigger();
  // The progress window closed when the thread ended (the hook's watchdog
  // fails the test otherwise) and the end handler has run.
  ASSERT_TRUE(QTest::qWaitFor([&] { return w.Form->FUploadThread.isNull(); }, 20000));
  EXPECT_GE(blocks, 10);
  // Told once, in the summary: the device was cut off by the port's failure.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !summary.isEmpty(); }, 5000))
      << w.Dialogs.size() << " " << w.Dialogs.back().Name.toStdString();
  EXPECT_EQ(summary.size(), 1);
  EXPECT_TRUE(
      summary[0].startsWith(U8("Ошибка последовательного порта ") + QString::fromStdString(l.Link)))
      << summary[0].toStdString();
  EXPECT_EQ(w.Messages.size(), 1u);  // the upload question only
  EXPECT_FALSE(w.Form->ComPort().Connected());
  EXPECT_EQ(l.Line.Device(index).FirmwareUploads, 0);
  EXPECT_EQ(l.Line.Device(index).Firmware, (std::vector<std::uint8_t>{7, 7}));
  w.Form->ComPort().SetWireLog(nullptr);

  // The device fell back to Modbus with its old image; once the line is back
  // the upload is simply done again.
  l.Line.Replug();
  ReopenOn(*w.Form, l.Link);
  ASSERT_TRUE(w.Form->ComPort().Connected());
  w.Answers = {mrYes};
  w.Form->UpdateActions();
  w.Form->UploadSoftwareAction->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return w.Form->FUploadThread.isNull(); }, 30000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return summary.size() == 2; }, 5000));
  EXPECT_EQ(summary[1], U8("загружено"));
  EXPECT_EQ(l.Line.Device(index).FirmwareUploads, 1);
  EXPECT_EQ(l.Line.Device(index).Firmware, data);
}
