// Firmware upload from the window on the virtual line: questions, file
// checks, the progress windows, stop, closing, and the port afterwards.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <deque>
#include <filesystem>
#include <fstream>

#include "Dialogs.h"
#include "DoubleProgressForm.h"
#include "MainForm.h"
#include "UiHooks.h"
#include "UploadSummaryForm.h"
#include "VirtualLine.h"

namespace {

QString U8(const char* utf8) {
  return QString::fromUtf8(utf8);
}

void EnsureApp() {
  static int argc = 1;
  static char name[] = "test_ui";
  static char* argv[] = {name, nullptr};
  if (!QApplication::instance()) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, argv);
  }
}

std::vector<std::uint8_t> Bytes(std::size_t count) {
  std::vector<std::uint8_t> b(count);
  for (std::size_t i = 0; i < count; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 128 + 1);
  return b;
}

std::vector<std::uint8_t> Padded(std::vector<std::uint8_t> data) {
  data.resize((data.size() + 127) / 128 * 128, 0);
  return data;
}

// Processes events until pred holds or ms have passed.
bool WaitFor(const std::function<bool()>& pred, int ms) {
  QDeadlineTimer deadline(ms);
  while (!pred()) {
    if (deadline.hasExpired()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

class UploadUi : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureApp();
    char dir[] = "/tmp/lim07-upload-ui-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    Dir = dir;
    Hooks.Messages = [this](const TMessageRequest& m) {
      Messages.push_back(m);
      if (!Answers.empty()) {
        int a = Answers.front();
        Answers.pop_front();
        return a;
      }
      return int((m.Buttons & mbNo) ? mrNo : mrOk);
    };
    Hooks.Files = [this](TFileDialogKind, const QString& filter) {
      Filters.push_back(filter);
      if (FileNames.empty()) return QString();
      QString n = FileNames.front();
      FileNames.pop_front();
      return n;
    };
    // The start-up question: Modbus.
    Hooks.Dialogs = [](QDialog& d) {
      auto& start = dynamic_cast<TStartModeForm&>(d);
      start.SetItemIndex(1);
      start.btnOk->click();
      return start.result();
    };
    Form = std::make_unique<TMainForm>();
    Hooks.Dialogs = [this](QDialog& d) {
      if (auto* summary = qobject_cast<TUploadSummaryForm*>(&d)) {
        // The end of a run: kept as "name: result" lines.
        QStringList rows;
        for (int r = 0; r < summary->tbResults->rowCount(); ++r)
          rows << summary->tbResults->item(r, 0)->text() + ": " +
                      summary->tbResults->item(r, 3)->text();
        Summaries.push_back(rows);
        return Click(*summary, summary->btnClose);
      }
      DialogsSeen.push_back(d.objectName());
      return OnDialog ? OnDialog(d) : int(QDialog::Rejected);
    };
    Form->ComPort().SetPort(Line.SlavePath());
    Form->OpenPortActionExecute();
    ASSERT_TRUE(Form->ComPort().Connected());
  }
  void TearDown() override {
    // Nothing may outlive the test: the window waits for its threads.
    EXPECT_TRUE(WaitFor([this] { return !Form->FUploadThread; }, 15000));
    Form->FModified = false;
    Form.reset();
    std::error_code ec;
    std::filesystem::remove_all(Dir, ec);
  }

  // A Modbus device on the line and in the window's list.
  void AddDevice(const char* name, std::uint8_t address, std::uint16_t plant, bool silent = false) {
    TSimDevice d;
    d.Address = address;
    d.PlantNumber = plant;
    d.Protocol = dpModbus;
    d.Temperatures = {0x0190};
    d.Faults.Silent = silent;
    Line.AddDevice(d);
    auto* device = new TDevice;
    device->SetName(name);
    device->SetSystemAddress(address);
    device->SetPlantNumber(plant);
    Form->AddDevice(device);
    Form->FModified = false;
  }
  QString WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::string path = Dir + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return QString::fromStdString(path);
  }
  void Trigger(QAction* action) {
    Form->UpdateActions();
    ASSERT_TRUE(action->isVisible());
    ASSERT_TRUE(action->isEnabled());
    action->trigger();
  }
  // Checks that nothing else may use the port while the upload runs.
  void ExpectPortUsersDisabled() {
    Form->UpdateActions();
    EXPECT_TRUE(Form->FUploadThread);
    for (QAction* a :
         {Form->UploadSoftwareAction, Form->TotalDownloadSoftwareAction, Form->RunAction,
          Form->SearchAction, Form->ClosePortAction, Form->RefreshDeviceAction,
          Form->UpdateDeviceAction, Form->AllAddressWriteAction, Form->idReadAction,
          Form->saWriteAction, Form->ModbusDataReadAction, Form->SwitchForLargis1ProtocolAction,
          Form->PortPropertiesAction, Form->RemoveDeviceAction})
      EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();
  }

  std::string Dir;
  TVirtualLine Line;
  TUiHooks Hooks;
  std::unique_ptr<TMainForm> Form;
  std::vector<TMessageRequest> Messages;
  std::deque<int> Answers;
  std::deque<QString> FileNames;
  std::vector<QString> Filters;
  std::vector<QString> DialogsSeen;
  std::function<int(QDialog&)> OnDialog;
  std::vector<QStringList> Summaries;

  static int Click(QDialog& d, QPushButton* button) {
    button->click();
    return d.result();
  }
  // The one summary of the run, once it has been shown.
  QStringList Summary() {
    EXPECT_TRUE(WaitFor([this] { return !Summaries.empty(); }, 5000));
    EXPECT_EQ(Summaries.size(), 1u);
    return Summaries.empty() ? QStringList() : Summaries.back();
  }
};

}  // namespace

TEST_F(UploadUi, SingleDeviceUploadDeliversTheImageAndRestoresEvenParity) {
  AddDevice("Силос 1", 5, 1234);
  Form->SelectDevice(0);
  const std::vector<std::uint8_t> data = Bytes(1000);
  FileNames.push_back(WriteFile("fw.bin2", data));
  Answers.push_back(mrYes);
  int lastPosition = -1;
  OnDialog = [&](QDialog& d) {
    EXPECT_EQ(d.objectName(), "TProgressForm");
    EXPECT_EQ(d.windowTitle(), U8("Загрузка ПО"));
    ExpectPortUsersDisabled();
    int r = d.exec();  // closes itself at 100 %
    lastPosition = static_cast<TProgressForm&>(d).ProgressBar->value();
    return r;
  };
  Trigger(Form->UploadSoftwareAction);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, U8("Загрузить новое ПО для прибора Силос 1?"));
  EXPECT_EQ(Messages[0].Type, mtConfirmation);
  EXPECT_EQ(Messages[0].Buttons, mbYes | mbNo);
  EXPECT_EQ(Filters, std::vector<QString>{U8("Файлы прошивки|*.bin2")});
  EXPECT_EQ(lastPosition, 100);
  ASSERT_TRUE(WaitFor([this] { return !Form->FUploadThread; }, 15000));
  EXPECT_EQ(Line.Device(0).Firmware, Padded(data));
  EXPECT_EQ(Form->FDevices[0]->LastOperation, "Вход в режим загрузки ПО");
  EXPECT_EQ(Form->ComPort().BaudRate(), br9600);
  EXPECT_EQ(Form->ComPort().Parity().Bits(), prEven);
  Form->UpdateActions();
  EXPECT_TRUE(Form->UploadSoftwareAction->isEnabled());
  EXPECT_TRUE(Form->RunAction->isEnabled());
  EXPECT_EQ(Summary(), QStringList{U8("Силос 1: загружено")});
}

TEST_F(UploadUi, SingleDeviceThatNeverAsksForDataIsNamedInTheSummary) {
  AddDevice("Силос 4", 4, 1400);
  Form->SelectDevice(0);
  FileNames.push_back(WriteFile("fw.bin2", Bytes(300)));
  Answers.push_back(mrYes);
  // Once in its upload mode the device sends NAKs instead of a "C".
  TSimXModemTiming timing;
  timing.FirstCMs = 60000;
  Line.SetXModemTiming(timing);
  Form->ComPort().SetWireLog([this](char direction, const std::uint8_t*, int count) {
    if (direction == 'R' && count == 8) Line.SetNoise({0x15}, 20);
  });
  OnDialog = [&](QDialog& d) { return d.exec(); };  // closed at once by the thread
  Trigger(Form->UploadSoftwareAction);
  EXPECT_EQ(Summary(), QStringList{U8("Силос 4: не ответил на запрос загрузки")});
  Form->ComPort().SetWireLog(nullptr);
  Line.SetNoise({}, 20);
}

TEST_F(UploadUi, SingleDeviceThatRefusesUploadModeGetsAnErrorAndNoThread) {
  AddDevice("Силос 2", 6, 2000, /*silent=*/true);
  Form->SelectDevice(0);
  FileNames.push_back(WriteFile("fw.bin2", Bytes(300)));
  Answers.push_back(mrYes);
  Trigger(Form->UploadSoftwareAction);
  ASSERT_EQ(Messages.size(), 2u);
  EXPECT_EQ(Messages[1].Text, U8("Не удалось перевести устройство Силос 2 в режим загрузки ПО!"));
  EXPECT_EQ(Messages[1].Type, mtError);
  EXPECT_TRUE(DialogsSeen.empty());
  EXPECT_FALSE(Form->FUploadThread);
}

TEST_F(UploadUi, BadFilesAndNoAnswersSwitchNoDevice) {
  AddDevice("Силос 3", 7, 3000);
  Form->SelectDevice(0);
  // No: nothing more is asked.
  Trigger(Form->UploadSoftwareAction);
  EXPECT_EQ(Messages.size(), 1u);
  EXPECT_TRUE(Filters.empty());
  // Yes, then the file dialog cancelled.
  Answers = {mrYes};
  Trigger(Form->UploadSoftwareAction);
  EXPECT_EQ(Filters.size(), 1u);
  // Missing, empty and oversized files are refused with their reasons, for
  // both actions.
  const QString missing = QString::fromStdString(Dir + "/absent.bin2");
  const QString empty = WriteFile("empty.bin2", {});
  const QString big = WriteFile("big.bin2", {});
  std::filesystem::resize_file(big.toStdString(), 65535ull * 128 + 1);
  const std::vector<std::pair<QString, QString>> cases = {
      {missing, U8("Файл прошивки \"%1\" не найден.").arg(missing)},
      {empty, U8("Файл прошивки \"%1\" пуст.").arg(empty)},
      {big, U8("слишком велик")}};
  for (QAction* action : {Form->UploadSoftwareAction, Form->TotalDownloadSoftwareAction}) {
    for (const auto& [file, text] : cases) {
      Messages.clear();
      Answers = {mrYes};
      FileNames = {file};
      Trigger(action);
      ASSERT_EQ(Messages.size(), 2u) << file.toStdString();
      EXPECT_TRUE(Messages[1].Text.contains(text)) << Messages[1].Text.toStdString();
      EXPECT_EQ(Messages[1].Type, mtError);
    }
  }
  EXPECT_EQ(Line.FrameCount(), 0u);
  EXPECT_TRUE(DialogsSeen.empty());
}

TEST_F(UploadUi, AllDevicesShowOverallAndDeviceBarsAndCloseAt100) {
  AddDevice("Силос 1", 1, 101);
  AddDevice("Силос 2", 2, 102, /*silent=*/true);
  AddDevice("Силос 3", 3, 103);
  const std::vector<std::uint8_t> data = Bytes(700);
  FileNames.push_back(WriteFile("fw.bin2", data));
  Answers.push_back(mrYes);
  std::vector<std::pair<int, int>> shown;  // (overall, device) at each overall change
  QStringList named;                       // the device in work at each change of it
  QString finalText;
  OnDialog = [&](QDialog& d) {
    auto& form = dynamic_cast<TDoubleProgressForm&>(d);
    EXPECT_EQ(form.windowTitle(), U8("Загрузка ПО"));
    EXPECT_EQ(form.stProgress1->text(), "0 %");
    EXPECT_EQ(form.lOverall->text(), U8("Все приборы"));
    named << form.lDevice->text() + " " + form.lCount->text();
    ExpectPortUsersDisabled();
    QObject::connect(form.pbProgress1, &QProgressBar::valueChanged, &form,
                     [&](int v) { shown.emplace_back(v, form.pbProgress2->value()); });
    QObject::connect(form.pbProgress2, &QProgressBar::valueChanged, &form, [&] {
      const QString now = form.lDevice->text() + " " + form.lCount->text();
      if (named.back() != now) named << now;
    });
    int r = form.exec();
    finalText = form.stProgress1->text() + "/" + form.stProgress2->text();
    return r;
  };
  Trigger(Form->TotalDownloadSoftwareAction);
  EXPECT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, U8("Загрузить новое ПО для приборов?"));
  EXPECT_EQ(shown, (std::vector<std::pair<int, int>>{{33, 0}, {66, 0}, {100, 0}}));
  EXPECT_EQ(finalText, "100 %/0 %");
  ASSERT_TRUE(WaitFor([this] { return !Form->FUploadThread; }, 15000));
  EXPECT_EQ(Line.Device(0).Firmware, Padded(data));
  EXPECT_EQ(Line.Device(1).FirmwareUploads, 0);
  EXPECT_EQ(Line.Device(2).Firmware, Padded(data));
  EXPECT_EQ(Form->ComPort().BaudRate(), br9600);
  EXPECT_EQ(Form->ComPort().Parity().Bits(), prEven);
  EXPECT_EQ(named, (QStringList{U8("Прибор: Силос 1 1 из 3"), U8("Прибор: Силос 2 2 из 3"),
                                U8("Прибор: Силос 3 3 из 3")}));
  EXPECT_EQ(Summary(),
            (QStringList{U8("Силос 1: загружено"), U8("Силос 2: не ответил на запрос загрузки"),
                         U8("Силос 3: загружено")}));
}

TEST_F(UploadUi, StopInTheDoubleProgressWindowEndsTheUpload) {
  // The devices switch but never ask for data: the upload waits in the
  // handshake until "Стоп".
  TSimXModemTiming timing;
  timing.FirstCMs = 60000;
  Line.SetXModemTiming(timing);
  AddDevice("Силос 1", 1, 101);
  AddDevice("Силос 2", 2, 102);
  FileNames.push_back(WriteFile("fw.bin2", Bytes(200)));
  Answers.push_back(mrYes);
  OnDialog = [&](QDialog& d) {
    auto& form = dynamic_cast<TDoubleProgressForm&>(d);
    QTimer::singleShot(600, form.btnStop, &QPushButton::click);
    return form.exec();
  };
  Trigger(Form->TotalDownloadSoftwareAction);
  ASSERT_TRUE(WaitFor([this] { return !Form->FUploadThread; }, 5000));
  EXPECT_EQ(Line.FrameCount(), 1u) << "only the first device was switched";
  EXPECT_EQ(Form->ComPort().Parity().Bits(), prEven);
  EXPECT_EQ(Summary(), (QStringList{U8("Силос 1: остановлено"), U8("Силос 2: остановлено")}));
}

TEST_F(UploadUi, ClosingTheWindowStopsTheUploadAndWaitsForIt) {
  TSimXModemTiming timing;
  timing.FirstCMs = 60000;
  Line.SetXModemTiming(timing);
  AddDevice("Силос 1", 1, 101);
  FileNames.push_back(WriteFile("fw.bin2", Bytes(200)));
  Answers = {mrYes, mrYes};  // upload, then "really quit"
  QPointer<TWorkerThread> thread;
  bool closed = false;
  OnDialog = [&](QDialog& d) {
    thread = Form->FUploadThread;
    QTimer::singleShot(500, Form.get(), [&] { closed = Form->close(); });
    return d.exec();
  };
  Trigger(Form->TotalDownloadSoftwareAction);
  EXPECT_TRUE(closed);
  ASSERT_GE(Messages.size(), 2u);
  EXPECT_EQ(Messages[1].Text, U8("Вы действительно желаете завершить работу?"));
  // Waited for and freed by the window before it closed.
  EXPECT_FALSE(thread);
  EXPECT_FALSE(Form->FUploadThread);
}
