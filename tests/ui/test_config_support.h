// Pieces shared by the configuration-file tests of the window: a main window
// made without a person, hooks that answer every question from a script, a
// scratch folder, and raw file helpers.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QString>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ConfigFile.h"
#include "MainForm.h"
#include "UiHooks.h"

namespace cfgtest {

namespace fs = std::filesystem;

inline QString U8(const char* utf8) {
  return QString::fromUtf8(utf8);
}

// The test program has one application object; whoever comes first makes it.
inline void EnsureApplication() {
  if (QApplication::instance()) return;
  static int argc = 1;
  static char name[] = "test_ui";
  static char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  new QApplication(argc, argv);
}

// Answers message boxes from a queue (an empty queue is a test error and
// answers Cancel/No/OK), file dialogs from another, and rejects every dialog
// (the start-up protocol dialog then leaves the native protocol).
struct TScript {
  TUiHooks Hooks;
  std::vector<TMessageRequest> Messages;
  std::deque<int> Answers;
  std::deque<QString> FileNames;  // "" stands for Cancel
  std::vector<QString> Filters;
  int FileDialogs = 0;

  TScript() {
    EnsureApplication();
    Hooks.Messages = [this](const TMessageRequest& m) {
      Messages.push_back(m);
      if (Answers.empty()) {
        ADD_FAILURE() << "unexpected message: " << m.Text.toStdString();
        return int(m.Buttons & mbCancel ? mrCancel : m.Buttons & mbNo ? mrNo : mrOk);
      }
      const int a = Answers.front();
      Answers.pop_front();
      return a;
    };
    Hooks.Dialogs = [](QDialog&) { return int(QDialog::Rejected); };
    Hooks.Files = [this](TFileDialogKind, const QString& filter) {
      ++FileDialogs;
      Filters.push_back(filter);
      if (FileNames.empty()) {
        ADD_FAILURE() << "unexpected file dialog";
        return QString();
      }
      const QString n = FileNames.front();
      FileNames.pop_front();
      return n;
    };
  }
  ~TScript() {
    EXPECT_TRUE(Answers.empty()) << Answers.size() << " answers left unused";
    EXPECT_TRUE(FileNames.empty()) << FileNames.size() << " file names left unused";
  }
  std::vector<QString> Texts() const {
    std::vector<QString> t;
    for (const auto& m : Messages) t.push_back(m.Text);
    return t;
  }
};

// A window as the program makes it, its port closed, nothing modified.
inline std::unique_ptr<TMainForm> MakeWindow() {
  EnsureApplication();
  auto form = std::make_unique<TMainForm>();
  form->FModified = false;
  return form;
}

inline TDevice* NewDevice(const std::string& name, int plant, int address, int sensors = 0) {
  auto* d = new TDevice;
  d->SetName(name);
  d->SetPlantNumber(static_cast<std::uint16_t>(plant));
  d->SetSystemAddress(static_cast<std::uint8_t>(address));
  d->SetSensorCount(sensors);
  return d;
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// The records of the window's device list, as stored.
inline std::vector<std::string> Records(const TDeviceList& list) {
  std::vector<std::string> out;
  std::uint8_t r[kDeviceRecordSize];
  for (int i = 0; i < list.Count(); ++i) {
    list[i]->WriteRecord(r);
    out.emplace_back(reinterpret_cast<const char*>(r), sizeof r);
  }
  return out;
}

// A fresh folder per test, removed afterwards.
class TConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/lim07-uiconfig-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Dir = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
  std::string Path(const std::string& name) const { return Dir + "/" + name; }
  QString QPath(const std::string& name) const { return QString::fromStdString(Path(name)); }
  std::vector<std::string> FolderEntries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(Dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Dir;
};

}  // namespace cfgtest
