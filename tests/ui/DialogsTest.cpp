// The small dialogs: integer entry, add device, start-up protocol, progress.
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTest>
#include <QThread>
#include <atomic>

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
