// "Сканирование линии" from the window: the question, the new configuration,
// the choice dialog and the progress windows, on the virtual line.
#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <map>

#include "ScanTypeForm.h"
#include "test_scan_ui_support.h"

using namespace scanui;

namespace {

const char* const kScanQuestion =
    "Внимание! При сканировании линии будет создана новая конфигурация!\n"
    "Приступить к сканированию?";

// Answers the choice dialog: address scan from `start`, or the plant-number
// list `numbers` (typed, as a user would) from `start`.
std::function<int(QDialog&)> Choose(const char* start, const char* numbers = nullptr,
                                    bool reserve = false) {
  return [=](QDialog& d) {
    auto* form = qobject_cast<TScanTypeForm*>(&d);
    if (!form) return int(mrCancel);
    form->eStartAddress->setText(QString::fromUtf8(start));
    if (numbers) {
      form->rbNumber->setChecked(true);
      QTest::keyClicks(form->eNumbers, QString::fromUtf8(numbers));
    }
    form->chbAddressReserved->setChecked(reserve);
    form->btnApply->click();
    return form->result();
  };
}

}  // namespace

TEST(ScanTypeFormTest, InitialStateFiltersAndResults) {
  EnsureApplication();
  TScanTypeForm form;
  EXPECT_EQ(form.windowTitle(), U8("Критерий поиска"));
  EXPECT_TRUE(form.rbAddress->isChecked());
  EXPECT_FALSE(form.ScanByPlantNumbers());
  EXPECT_EQ(form.eStartAddress->text(), "1");
  EXPECT_FALSE(form.ReserveAddresses());
  EXPECT_EQ(form.btnApply->text(), U8("Сканировать"));
  EXPECT_EQ(form.btnCancel->text(), U8("Отмена"));

  // Typing into the list selects the plant-number scan; "." and letters are
  // not taken there.
  QTest::keyClicks(form.eNumbers, "1a0.0-1 02,x7");
  EXPECT_EQ(form.Numbers(), "100-1 02,7");
  EXPECT_TRUE(form.rbNumber->isChecked());
  EXPECT_TRUE(form.ScanByPlantNumbers());

  form.eStartAddress->clear();
  QTest::keyClicks(form.eStartAddress, "1,5.a9");
  EXPECT_EQ(form.eStartAddress->text(), "15.9");
  EXPECT_EQ(form.StartAddress(), 1);  // not a whole number
  for (const char* text : {"0", "255", "300", "1.5", ""}) {
    form.eStartAddress->setText(text);
    EXPECT_EQ(form.StartAddress(), 1) << text;
  }
  form.eStartAddress->setText("254");
  EXPECT_EQ(form.StartAddress(), 254);
}

TEST(ScanTypeFormTest, ModbusOffersOnlyTheAddressScan) {
  EnsureApplication();
  TScanTypeForm form;
  form.rbNumber->setChecked(true);
  form.RestrictToAddressScan();
  EXPECT_TRUE(form.rbAddress->isChecked());
  EXPECT_FALSE(form.rbNumber->isEnabled());
  EXPECT_FALSE(form.eNumbers->isEnabled());
  form.eNumbers->setText("5");
  EXPECT_FALSE(form.ScanByPlantNumbers());
}

TEST(ScanTypeFormTest, EndAddressAndFastScan) {
  EnsureApplication();
  TScanTypeForm form;
  EXPECT_EQ(form.lEndAddress->text(), U8("до адреса"));
  EXPECT_EQ(form.eEndAddress->text(), "254");
  EXPECT_EQ(form.chbFastScan->text(), U8("Быстрое сканирование"));
  EXPECT_FALSE(form.FastScan());
  EXPECT_TRUE(form.chbFastScan->toolTip().contains(U8("обычное сканирование")));
  for (const char* text : {"0", "255", "1.5", ""}) {
    form.eEndAddress->setText(text);
    EXPECT_EQ(form.EndAddress(), 254) << text;
  }
  form.eEndAddress->clear();
  QTest::keyClicks(form.eEndAddress, "2x0");
  EXPECT_EQ(form.EndAddress(), 20);

  // An end below the start is refused with a message; the dialog stays open.
  std::vector<TMessageRequest> messages;
  TUiHooks hooks;
  hooks.Messages = [&](const TMessageRequest& m) {
    messages.push_back(m);
    return int(mrOk);
  };
  form.eStartAddress->setText("30");
  form.setResult(mrNone);
  form.btnApply->click();
  EXPECT_EQ(form.result(), int(mrNone));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text, U8("Конечный адрес 20 меньше начального 30."));
  EXPECT_EQ(messages[0].Type, mtWarning);
  form.eStartAddress->setText("20");
  form.btnApply->click();
  EXPECT_EQ(form.result(), int(mrOk));
}

TEST(SearchActionTest, FastScanUpToTheEndAddress) {
  TVirtualLine line;
  line.AddDevice(SimAt(2, 42));
  line.AddDevice(SimAt(4, 44));  // beyond the end: never asked
  TWindowOnLine w(line, dpLargis1);
  w.Answers = {mrYes};
  w.OnDialog = [](QDialog& d) {
    auto* form = qobject_cast<TScanTypeForm*>(&d);
    if (!form) return int(mrCancel);
    form->eEndAddress->setText("3");
    form->chbFastScan->setChecked(true);
    form->btnApply->click();
    return form->result();
  };
  w.Form->SearchActionExecute();
  ASSERT_TRUE(w.WaitIdle());
  ASSERT_EQ(w.Dialogs.back().Name, "TProgressForm");  // closed by the report of address 3
  ASSERT_EQ(w.Form->DeviceCount(), 1);
  EXPECT_EQ(w.Form->FDevices[0]->PlantNumber(), 42);
  EXPECT_EQ(w.Form->FDevices[0]->SensorCount(), 4);
  // One fast probe a silent address, none beyond the end.
  std::map<int, int> probes;
  for (const TSimFrame& f : line.Frames())
    if (f.Bytes.size() > 1 && f.Bytes[1] == 0x20) ++probes[f.Bytes[0]];
  EXPECT_EQ(probes[1], 1);
  EXPECT_EQ(probes[3], 1);
  EXPECT_EQ(probes.count(4), 0u);
}

TEST(SearchActionTest, AddressScanBuildsANewConfiguration) {
  TVirtualLine line;
  line.AddDevice(SimAt(254, 4321));
  TWindowOnLine w(line, dpLargis1);
  w.Answers = {mrYes};
  w.OnDialog = Choose("253");
  w.Form->SearchActionExecute();
  ASSERT_TRUE(w.WaitIdle());

  ASSERT_EQ(w.Messages.size(), 1u);
  EXPECT_EQ(w.Messages[0].Text, U8(kScanQuestion));
  EXPECT_EQ(w.Messages[0].Type, mtConfirmation);
  EXPECT_EQ(w.Messages[0].Buttons, mbYes | mbNo);
  ASSERT_EQ(w.Dialogs.size(), 3u);
  EXPECT_EQ(w.Dialogs[1].Name, "TScanTypeForm");
  EXPECT_EQ(w.Dialogs[2].Name, "TProgressForm");
  EXPECT_EQ(w.Dialogs[2].Caption, U8("Сканирование линии"));

  ASSERT_EQ(w.Form->DeviceCount(), 1);
  const TDevice* d = w.Form->FDevices[0];
  EXPECT_EQ(d->PlantNumber(), 4321);
  EXPECT_EQ(d->SystemAddress(), 254);
  EXPECT_EQ(d->SensorCount(), 4);
  EXPECT_EQ(w.Form->sgDevices->Cells(1, 1), U8("ЛИМ-07_4321"));
  EXPECT_TRUE(w.Form->FModified);
  // The actions come back once the thread has ended.
  w.Form->UpdateActions();
  EXPECT_TRUE(w.Form->SearchAction->isEnabled());
  EXPECT_TRUE(w.Form->RunAction->isEnabled());
  EXPECT_TRUE(w.Form->AddDeviceAction->isEnabled());
}

TEST(SearchActionTest, ModbusScanOffersOnlyAddresses) {
  TVirtualLine line;
  line.AddDevice(SimAt(254, 77, dpModbus));
  TWindowOnLine w(line, dpModbus);
  w.Answers = {mrYes};
  bool restricted = false;
  w.OnDialog = [&](QDialog& d) {
    auto* form = qobject_cast<TScanTypeForm*>(&d);
    restricted = form && !form->rbNumber->isEnabled() && !form->eNumbers->isEnabled();
    return Choose("254")(d);
  };
  w.Form->SearchActionExecute();
  ASSERT_TRUE(w.WaitIdle());
  EXPECT_TRUE(restricted);
  ASSERT_EQ(w.Form->DeviceCount(), 1);
  EXPECT_EQ(w.Form->FDevices[0]->PlantNumber(), 77);
}

TEST(SearchActionTest, NoKeepsTheConfigurationAndCancelLeavesItEmpty) {
  TVirtualLine line;
  TWindowOnLine w(line, dpLargis1);
  w.List("old", 1, 1);
  w.Form->FModified = false;
  w.Answers = {mrNo};
  w.Form->SearchActionExecute();
  EXPECT_EQ(w.Form->DeviceCount(), 1);
  EXPECT_EQ(w.Dialogs.size(), 1u);  // the start-up question only

  w.Answers = {mrYes};
  w.OnDialog = [](QDialog& d) { return qobject_cast<TScanTypeForm*>(&d) ? int(mrCancel) : 0; };
  w.Form->SearchActionExecute();
  EXPECT_EQ(w.Form->DeviceCount(), 0);
  EXPECT_FALSE(w.Form->FThread);
  EXPECT_EQ(line.FrameCount(), 0u);
}

TEST(SearchActionTest, PlantNumberScanThroughTheDeviceProgressWindow) {
  TVirtualLine line;
  line.AddDevice(SimAt(1, 100));
  line.AddDevice(SimAt(2, 102));
  TWindowOnLine w(line, dpLargis1);
  w.Answers = {mrYes};
  w.OnDialog = Choose("10", "100-102", true);
  w.Form->SearchActionExecute();
  ASSERT_TRUE(w.WaitIdle());
  ASSERT_EQ(w.Dialogs.size(), 3u);
  EXPECT_EQ(w.Dialogs[2].Name, "TProgressXForm");
  EXPECT_EQ(w.Dialogs[2].Caption, U8("Сканирование линии"));
  ASSERT_EQ(w.Form->DeviceCount(), 2);
  EXPECT_EQ(w.Form->FDevices[0]->SystemAddress(), 10);
  EXPECT_EQ(w.Form->FDevices[1]->SystemAddress(), 12);  // 11 kept for 101
  EXPECT_EQ(line.Device(1).Address, 12);
}

TEST(SearchActionTest, EmptyListClosesItsWindowAtOnce) {
  TVirtualLine line;
  TWindowOnLine w(line, dpLargis1);
  w.Answers = {mrYes};
  w.OnDialog = [](QDialog& d) {
    auto* form = qobject_cast<TScanTypeForm*>(&d);
    if (!form) return int(mrCancel);
    form->rbNumber->setChecked(true);
    form->btnApply->click();
    return form->result();
  };
  w.Form->SearchActionExecute();  // returns only when the progress window closed
  ASSERT_TRUE(w.WaitIdle());
  EXPECT_EQ(w.Dialogs.back().Name, "TProgressXForm");
  EXPECT_EQ(w.Form->DeviceCount(), 0);
  EXPECT_EQ(line.FrameCount(), 0u);
}
