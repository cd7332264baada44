#include "UiTestSupport.h"

namespace {

class TQtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { TestApp(); }
};

[[maybe_unused]] ::testing::Environment* const gQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

}  // namespace

QApplication& TestApp() {
  static int argc = 1;
  static char name[] = "test_ui";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  return *app;
}

QString U8(const char* utf8) {
  return QString::fromUtf8(utf8);
}

TAnswering::TAnswering() {
  TestApp();
  Hooks.Messages = [this](const TMessageRequest& m) {
    Messages.push_back(m);
    if (!Answers.empty()) {
      const int a = Answers.front();
      Answers.pop_front();
      return a;
    }
    if (m.Buttons & mbCancel) return int(mrCancel);
    if (m.Buttons & mbNo) return int(mrNo);
    return int(mrOk);
  };
  Hooks.Dialogs = [this](QDialog& d) {
    DialogsSeen.push_back(d.objectName());
    if (OnDialog) return OnDialog(d);
    return int(QDialog::Rejected);
  };
  Hooks.Files = [this](TFileDialogKind, const QString&) {
    if (FileNames.empty()) return QString();
    const QString n = FileNames.front();
    FileNames.pop_front();
    return n;
  };
}

int Click(QDialog& dialog, const char* buttonName) {
  auto* b = dialog.findChild<QPushButton*>(QLatin1String(buttonName));
  EXPECT_NE(b, nullptr) << buttonName;
  if (b) b->click();
  return dialog.result();
}

std::unique_ptr<TMainForm> MakeForm(TAnswering& answers, TDeviceProtocol protocol) {
  auto previous = answers.OnDialog;
  answers.OnDialog = [protocol](QDialog& d) {
    auto& start = dynamic_cast<TStartModeForm&>(d);
    start.SetItemIndex(protocol == dpModbus ? 1 : 0);
    return Click(start, "btnOk");
  };
  auto form = std::make_unique<TMainForm>();
  answers.OnDialog = previous;
  // Tests end without the closing questions.
  form->FModified = false;
  return form;
}

TDevice* MakeDevice(const char* name, int plant, int address, std::vector<std::uint16_t> temps) {
  auto* d = new TDevice;
  d->SetName(name);
  d->SetPlantNumber(static_cast<std::uint16_t>(plant));
  d->SetSystemAddress(static_cast<std::uint8_t>(address));
  d->SetSensorCount(static_cast<int>(temps.size()));
  if (!temps.empty()) {
    std::uint16_t* block = d->LockTemperatures();
    for (std::size_t i = 0; i < temps.size(); ++i) block[i] = temps[i];
    d->UnlockTemperatures();
  }
  return d;
}
