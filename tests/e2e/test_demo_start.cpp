// `lim07 --demo` as a newcomer meets it: the demo devices listed, the port
// open on the demo line, which the port dialog offers, and the first
// "Начать опрос" shows every device's data.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QStatusBar>
#include <QTest>

#include "../ui/test_scan_ui_support.h"
#include "ComSetup.h"
#include "DemoStart.h"
#include "StringGrid.h"

using namespace scanui;

TEST(DemoStart, OpensOnTheListedDemoLineAndTheFirstPollShowsData) {
  for (TDeviceProtocol protocol : {dpLargis1, dpModbus}) {
    SCOPED_TRACE(protocol == dpLargis1 ? "native" : "Modbus");
    EnsureApplication();
    TUiHooks hooks;
    std::vector<TMessageRequest> messages;
    hooks.Messages = [&](const TMessageRequest& m) {
      messages.push_back(m);
      return int(mrNo);
    };
    QStringList ports;  // as the port dialog offers them, and the one it shows
    QString shownPort;
    hooks.Dialogs = [&](QDialog& d) {
      if (auto* start = qobject_cast<TStartModeForm*>(&d)) {
        start->SetItemIndex(protocol == dpModbus ? 1 : 0);
        return int(mrOk);
      }
      auto& setup = dynamic_cast<TComSetupFrm&>(d);
      for (int i = 0; i < setup.Combo1->count(); ++i) ports << setup.Combo1->itemText(i);
      shownPort = setup.Combo1->currentText();
      return int(mrCancel);
    };
    std::unique_ptr<TVirtualLine> line;
    {
      TMainForm form;
      line = StartDemo(form);
      ASSERT_EQ(form.DeviceCount(), 5);
      EXPECT_EQ(form.FDevices[0]->Name(), "Силос 1");
      EXPECT_EQ(form.FDevices[4]->PlantNumber(), 1205);
      EXPECT_TRUE(form.FModified);  // an unsaved configuration
      EXPECT_TRUE(form.ComPort().Connected());
      auto* note = form.statusBar()->findChild<QLabel*>("StatusDemoLine");
      ASSERT_NE(note, nullptr);
      EXPECT_EQ(note->text(), QString::fromUtf8(kDemoLineNote));
      // The port dialog (closed port) lists the announced line and shows it.
      const QString port = QString::fromStdString(form.ComPort().Port());
      form.ClosePortAction->trigger();
      form.PortPropertiesAction->trigger();
      EXPECT_TRUE(ports.contains(port)) << port.toStdString();
      EXPECT_EQ(shownPort, port);
      form.OpenPortAction->trigger();
      ASSERT_TRUE(form.ComPort().Connected());

      form.UpdateActions();
      ASSERT_TRUE(form.RunAction->isEnabled());
      form.RunAction->trigger();
      TStringGrid* g = form.sgData;
      ASSERT_TRUE(QTest::qWaitFor(
          [&] {
            for (int row = 1; row <= 5; ++row)
              if (g->Cells(4, row).isEmpty()) return false;
            return true;
          },
          15000));
      for (int row = 1; row <= 5; ++row) EXPECT_FALSE(g->CellColor(0, row).isValid()) << row;
      form.StopAction->trigger();
      ASSERT_TRUE(QTest::qWaitFor([&] { return form.FThread.isNull(); }, 10000));
      EXPECT_TRUE(messages.empty());
      form.FModified = false;
    }
    line.reset();
  }
}
