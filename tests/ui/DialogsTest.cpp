// The small dialogs: integer entry, add device, start-up protocol, progress.
#include <QClipboard>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTest>
#include <QThread>
#include <QTranslator>
#include <atomic>

#include "Translations.h"
#include "UiTestSupport.h"

namespace {

// Runs InputInteger with the entry typed into the field and the dialog left
// with the given button; returns the result and the value.
struct TEntry {
  bool Result;
  int Value;
};

TEntry Enter(const QString& typed, int min, int max, int value, const char* button = "btnOK") {
  TAnswering answers;
  answers.OnDialog = [&](QDialog& d) {
    auto& f = dynamic_cast<TEditForm&>(d);
    f.Editor->setText(typed);
    return Click(f, button);
  };
  const bool result = InputInteger(U8("Системный адрес"), min, max, value);
  return {result, value};
}

}  // namespace

TEST(InputInteger, ClampsIntoTheBounds) {
  EXPECT_EQ(Enter("300", 1, 255, 5).Value, 255);
  EXPECT_EQ(Enter("0", 1, 255, 5).Value, 1);
  EXPECT_EQ(Enter("-5", 1, 255, 5).Value, 1);
  EXPECT_EQ(Enter("77", 1, 255, 5).Value, 77);
  // No bounds when both are 0.
  EXPECT_EQ(Enter("-123456", 0, 0, 5).Value, -123456);
  const TEntry cancelled = Enter("99", 1, 255, 5, "btnCancel");
  EXPECT_FALSE(cancelled.Result);
  EXPECT_EQ(cancelled.Value, 5);
}

TEST(InputInteger, EqualBoundsShowNothing) {
  TAnswering answers;
  int value = 1000000;
  EXPECT_FALSE(InputInteger(U8("Период [мс.]"), 1000000, 1000000, value));
  EXPECT_TRUE(answers.DialogsSeen.empty());
  EXPECT_EQ(value, 1000000);
}

TEST(InputInteger, RejectsANonIntegerWithItsText) {
  for (const char* typed : {"1-2", "abc", "", "99999999999"}) {
    try {
      Enter(U8(typed), 1, 255, 5);
      FAIL() << "no error for " << typed;
    } catch (const EInputInteger& e) {
      EXPECT_EQ(QString::fromUtf8(e.what()),
                QLatin1Char('"') + U8(typed) + U8("\" не является целым числом!"));
    }
  }
  // The command's guard shows it as the general error report.
  TAnswering answers;
  answers.OnDialog = [](QDialog& d) {
    dynamic_cast<TEditForm&>(d).Editor->setText(QStringLiteral("1-2"));
    return Click(d, "btnOK");
  };
  int value = 3;
  RunGuarded([&] { InputInteger(U8("Куср"), 1, 255, value); });
  ASSERT_EQ(answers.Messages.size(), 1u);
  EXPECT_EQ(answers.Messages[0].Text, U8("\"1-2\" не является целым числом!"));
  EXPECT_EQ(answers.Messages[0].Type, mtError);
  EXPECT_EQ(answers.Messages[0].Caption, U8("Настройка ЛИМ-07"));
  EXPECT_EQ(value, 3);
}

TEST(InputInteger, KeyFilterAndKeys) {
  TestApp();
  TEditForm f;
  f.Editor->clear();
  QTest::keyClicks(f.Editor, QStringLiteral("1a-2-x%"));
  // Letters and a second minus have no effect; %, digits and one minus pass.
  EXPECT_EQ(f.Editor->text(), QStringLiteral("1-2%"));
  QTest::keyClick(f.Editor, Qt::Key_Backspace);
  EXPECT_EQ(f.Editor->text(), QStringLiteral("1-2"));
  f.Editor->setText(QStringLiteral("5"));
  QTest::keyClick(f.Editor, Qt::Key_Return);
  EXPECT_EQ(f.result(), mrOk);
  TEditForm g;
  QTest::keyClick(g.Editor, Qt::Key_Escape);
  EXPECT_EQ(g.result(), mrCancel);
}

TEST(InputInteger, TypingReplacesTheOldValueAndEditingShortcutsPass) {
  TAnswering answers;
  QGuiApplication::clipboard()->setText(QStringLiteral("4711"));
  struct TCase {
    const char* What;
    std::function<void(QLineEdit*)> Keys;
    int Expected;
  };
  const TCase cases[] = {
      {"typed over the selection", [](QLineEdit* e) { QTest::keyClicks(e, "1500"); }, 1500},
      {"select all again",
       [](QLineEdit* e) {
         QTest::keyClick(e, Qt::Key_End);
         QTest::keyClicks(e, "9");
         QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
         QTest::keyClicks(e, "300");
       },
       300},
      {"paste", [](QLineEdit* e) { QTest::keyClick(e, Qt::Key_V, Qt::ControlModifier); }, 4711},
      {"undo",
       [](QLineEdit* e) {
         QTest::keyClicks(e, "5");
         QTest::keyClick(e, Qt::Key_Z, Qt::ControlModifier);
       },
       900000},
  };
  for (const TCase& c : cases) {
    answers.OnDialog = [&](QDialog& d) {
      auto& f = dynamic_cast<TEditForm&>(d);
      EXPECT_EQ(f.Editor->selectedText(), QStringLiteral("900000")) << c.What;
      c.Keys(f.Editor);
      QTest::keyClick(f.Editor, Qt::Key_Return);
      return f.result();
    };
    int value = 900000;
    EXPECT_TRUE(InputInteger(U8("Период [мс.]"), 200, 1000000, value)) << c.What;
    EXPECT_EQ(value, c.Expected) << c.What;
  }
}

TEST(InputInteger, WideCaptionWidensTheField) {
  TestApp();
  TEditForm narrow, wide;
  narrow.setWindowTitle(QStringLiteral("A"));
  narrow.FitWidth();
  wide.setWindowTitle(U8("Очень длинный заголовок окна ввода целого числа для проверки"));
  wide.FitWidth();
  EXPECT_EQ(narrow.Editor->minimumWidth(), 153);
  EXPECT_GT(wide.Editor->minimumWidth(), 153);
  EXPECT_GE(wide.Editor->minimumWidth(),
            wide.fontMetrics().horizontalAdvance(wide.windowTitle()) + 60);
}

TEST(AddLimForm, KeyFilterAndDefaults) {
  TestApp();
  TAddLimForm f;
  QTest::keyClicks(f.eNumber, QStringLiteral("1a2.5-"));
  EXPECT_EQ(f.eNumber->text(), QStringLiteral("12.5"));
  QTest::keyClicks(f.eName, QStringLiteral("Silos-1 a"));
  EXPECT_EQ(f.eName->text(), QStringLiteral("Silos-1 a"));  // the name has no filter
  EXPECT_EQ(f.Number(), 0);                                 // 12.5 is no integer
  EXPECT_EQ(f.Address(), 0);                                // empty
  f.eAddress->setText(QStringLiteral("17"));
  EXPECT_EQ(f.Address(), 17);
}

TEST(AddLimForm, TabMovesOnAndNumbersTheRecordCannotHoldAreRefused) {
  TAnswering answers;
  auto form = MakeForm(answers);
  const auto type = [](const char* text) { QTest::keyClicks(QApplication::focusWidget(), text); };
  answers.OnDialog = [&](QDialog& d) {
    auto& f = dynamic_cast<TAddLimForm&>(d);
    f.show();
    f.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&f));
    f.eName->setFocus();
    type("Silos 9");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    type("129999");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    type("256");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), f.eNumber);
    EXPECT_EQ(f.eNumber->text(), QStringLiteral("129999"));
    EXPECT_EQ(f.eAddress->text(), QStringLiteral("256"));
    // Refused one field at a time; the field comes back selected, so typing
    // replaces the wrong number.
    for (const char* fix : {"12999", "7"}) {
      f.btnAdd->click();
      EXPECT_EQ(f.result(), 0) << fix;
      type(fix);
    }
    f.btnAdd->click();
    return f.result();
  };
  form->AddDeviceAction->trigger();
  ASSERT_EQ(answers.Messages.size(), 2u);
  EXPECT_EQ(answers.Messages[0].Text, U8("Заводской номер должен быть числом от 0 до 65535!"));
  EXPECT_EQ(answers.Messages[1].Text, U8("Системный адрес должен быть числом от 0 до 255!"));
  ASSERT_EQ(form->DeviceCount(), 1);
  EXPECT_EQ(form->FDevices[0]->Name(), "Silos 9");
  EXPECT_EQ(form->FDevices[0]->PlantNumber(), 12999);
  EXPECT_EQ(form->FDevices[0]->SystemAddress(), 7);
  form->FModified = false;
}

TEST(Toolkit, StandardTextsAreRussian) {
  QApplication& app = TestApp();
  ASSERT_TRUE(InstallToolkitTranslations(app));
  QDialogButtonBox box(QDialogButtonBox::Cancel | QDialogButtonBox::Save);
  EXPECT_EQ(box.button(QDialogButtonBox::Cancel)->text(), U8("Отмена"));
  EXPECT_EQ(box.button(QDialogButtonBox::Save)->text(), U8("Сохранить"));
  for (QTranslator* t : app.findChildren<QTranslator*>()) {
    QCoreApplication::removeTranslator(t);
    delete t;
  }
}

TEST(StartModeForm, ThreeWaysOut) {
  TAnswering answers;
  answers.OnDialog = [](QDialog& d) {
    auto& f = dynamic_cast<TStartModeForm&>(d);
    f.SetItemIndex(1);
    return Click(f, "btnOk");
  };
  EXPECT_EQ(ChooseStartProtocol(), dpModbus);
  answers.OnDialog = [](QDialog& d) {
    auto& f = dynamic_cast<TStartModeForm&>(d);
    f.SetItemIndex(1);
    const int r = Click(f, "btnDefault");
    EXPECT_EQ(r, mrIgnore);
    return r;
  };
  EXPECT_EQ(ChooseStartProtocol(), dpLargis1);
  answers.OnDialog = [](QDialog& d) {
    auto& f = dynamic_cast<TStartModeForm&>(d);
    f.SetItemIndex(1);
    f.reject();  // the close button
    return f.result();
  };
  EXPECT_EQ(ChooseStartProtocol(), dpModbus);
}

namespace {

// A worker that reports through the host and then waits for its stop.
class TReporter : public TWorkerThread {
 public:
  TReporter(IOperationHost* host, std::vector<int> reports, bool byDevice)
      : TWorkerThread(host), FReports(std::move(reports)), FByDevice(byDevice) {}
  std::atomic<bool> Stopped{false};

 protected:
  void Execute() override {
    for (int r : FReports) {
      if (FByDevice)
        FForm->ProgressDevice(static_cast<std::uint16_t>(r), 7);
      else
        FForm->ProgressPercent(r);
    }
    while (Pause(10)) {
    }
    Stopped = true;
  }

 private:
  std::vector<int> FReports;
  bool FByDevice;
};

}  // namespace

TEST(ProgressForm, FinalReportClosesAndStopsTheThread) {
  TAnswering answers;
  auto form = MakeForm(answers);
  answers.OnDialog = [](QDialog& d) { return d.exec(); };
  // The reports come at once, as soon as the thread starts: none is lost.
  TReporter thread(form.get(), {10, 50, 100}, false);
  ShowProgress(&thread, U8("Запись системных адресов"));
  EXPECT_EQ(ProgressForm(), nullptr);
  ASSERT_TRUE(thread.wait(5000));
  EXPECT_TRUE(thread.Stopped);
}

TEST(ProgressForm, PositionAndText) {
  TestApp();
  TProgressForm f;
  f.SetPosition(50);
  EXPECT_EQ(f.ProgressBar->value(), 50);
  EXPECT_EQ(f.StaticText->text(), QStringLiteral("50 %"));
  SetProgress(30);  // no window open: ignored
  EXPECT_EQ(f.ProgressBar->value(), 50);
}

TEST(ProgressXForm, PlantNumberZeroCloses) {
  TAnswering answers;
  auto form = MakeForm(answers);
  QString number, address;
  answers.OnDialog = [&](QDialog& d) {
    auto& f = dynamic_cast<TProgressXForm&>(d);
    const int r = f.exec();
    number = f.lNumber->text();
    address = f.lAddress->text();
    return r;
  };
  TReporter thread(form.get(), {1234, 0}, true);
  ShowProgressX(&thread, U8("Пакетное чтение"));
  EXPECT_EQ(number, QStringLiteral("1234"));
  EXPECT_EQ(address, QStringLiteral("7"));
  ASSERT_TRUE(thread.wait(5000));
}

TEST(ProgressForm, AThreadEndingWithoutItsReportClosesTheWindow) {
  TAnswering answers;
  answers.OnDialog = [](QDialog& d) { return d.exec(); };
  class TQuiet : public QThread {
    void run() override { msleep(50); }
  } thread;
  ShowProgress(&thread, U8("Загрузка ПО"));  // returns: the thread's end closed it
  EXPECT_TRUE(thread.wait(5000));
}
