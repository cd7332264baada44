// "Файл → Отчёт о пусконаладке…" on the demo line through the real port,
// while polling runs: the head dialog (remembered), the PDF written on its
// own thread with the silent device's result in it, and the same report
// through the print dialog into a file.
#include <gtest/gtest.h>

#include <QAction>
#include <QLineEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "../report/GuiTestSupport.h"
#include "../ui/test_scan_ui_support.h"
#include "DemoStart.h"
#include "ReportForm.h"
#include "ViewHub.h"
#include "VirtualLine.h"

using namespace scanui;

TEST(ReportWindow, WritesAndPrintsTheReportOfThePolledDemoLine) {
  EnsureApplication();
  QTemporaryDir dir;
  const QString pdf = dir.filePath(QStringLiteral("Отчёт.pdf"));
  const QString printed = dir.filePath(QStringLiteral("printed.pdf"));
  TUiHooks hooks;
  std::vector<TMessageRequest> messages;
  hooks.Messages = [&](const TMessageRequest& m) {
    messages.push_back(m);
    return int(mrOk);
  };
  bool print = false;
  QString shownObject;
  hooks.Dialogs = [&](QDialog& d) {
    if (qobject_cast<TStartModeForm*>(&d)) return int(mrOk);
    if (auto* head = qobject_cast<TReportHeadForm*>(&d)) {
      auto* object = head->findChild<QLineEdit*>(QStringLiteral("eObject"));
      shownObject = object->text();
      object->setText(QString::fromUtf8("Элеватор «Северный»"));
      head->findChild<QLineEdit*>(QStringLiteral("eEngineer"))
          ->setText(QString::fromUtf8("Петров"));
      return int(print ? TReportHeadForm::Print : TReportHeadForm::SavePdf);
    }
    if (auto* dialog = qobject_cast<QPrintDialog*>(&d)) {
      dialog->printer()->setOutputFileName(printed);
      return int(QDialog::Accepted);
    }
    return int(QDialog::Rejected);
  };
  hooks.Files = [&](TFileDialogKind, const QString&) { return pdf.left(pdf.size() - 4); };
  std::unique_ptr<TVirtualLine> line;
  {
    TMainForm form;
    line = StartDemo(form);
    line->Modify(3, [](TSimDevice& d) { d.Faults.Silent = true; });  // "Силос 4"
    form.RunAction->trigger();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return form.FViewHub->Latest() && form.FViewHub->Latest()->Cycle >= 1; }, 20000));
    auto* action = form.findChild<QAction*>(QStringLiteral("CommissioningReportAction"));
    ASSERT_TRUE(action);
    auto* command = qobject_cast<TReportCommand*>(action->parent());
    QSignalSpy finished(command, &TReportCommand::Finished);
    for (bool printing : {false, true}) {
      print = printing;
      action->trigger();
      ASSERT_TRUE(QTest::qWaitFor([&] { return !finished.isEmpty(); }, 30000));
      const auto args = finished.takeFirst();
      EXPECT_TRUE(args[0].toBool()) << args[1].toString().toStdString();
      const std::string file = (printing ? printed : pdf).toStdString();
      EXPECT_GE(PdfPages(file), 2);
      const std::string text = PdfText(file);
      for (const char* t : {"Элеватор «Северный»", "Петров", "Силос 1", "1205", "Бункер 5",
                            "Нет связи с прибором", "Обзор линии", "Профили температуры"})
        EXPECT_NE(text.find(t), std::string::npos) << t;
    }
    // The head was remembered between the two.
    EXPECT_EQ(shownObject, QString::fromUtf8("Элеватор «Северный»"));
    form.StopAction->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.FThread.isNull(); }, 10000));
    EXPECT_TRUE(messages.empty());
    form.FModified = false;
  }
  line.reset();
}
