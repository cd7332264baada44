// The main window on a virtual line for the scan and batch window tests:
// every message box and dialog is answered by the test; progress windows run
// for real (with a watchdog) so the worker's reports close them.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "Dialogs.h"
#include "MainForm.h"
#include "UiHooks.h"
#include "VirtualLine.h"

namespace scanui {

inline QString U8(const char* utf8) {
  return QString::fromUtf8(utf8);
}

inline void EnsureApplication() {
  if (QCoreApplication::instance()) return;
  static int argc = 1;
  static char name[] = "test_ui";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);  // lives for the whole test program
}

struct TDialogSeen {
  QString Name;     // object name, e.g. "TProgressXForm"
  QString Caption;  // window title when it was handed over
};

// A window whose start-up question chose `protocol`, with its port open on
// the line; message boxes are answered from Answers (mrNo when it runs dry).
class TWindowOnLine {
 public:
  TWindowOnLine(TVirtualLine& line, TDeviceProtocol protocol) {
    EnsureApplication();
    Hooks.Messages = [this](const TMessageRequest& m) {
      Messages.push_back(m);
      if (Answers.empty()) return int(mrNo);
      const int answer = Answers.front();
      Answers.pop_front();
      return answer;
    };
    Hooks.Dialogs = [this, protocol](QDialog& d) {
      Dialogs.push_back({d.objectName(), d.windowTitle()});
      if (auto* start = qobject_cast<TStartModeForm*>(&d)) {
        start->SetItemIndex(protocol == dpModbus ? 1 : 0);
        return int(mrOk);
      }
      if (qobject_cast<TProgressForm*>(&d) || qobject_cast<TProgressXForm*>(&d)) {
        // A progress window that nothing closes would hang the test.
        bool expired = false;
        QTimer::singleShot(60000, &d, [&] {
          expired = true;
          d.done(mrCancel);
        });
        const int result = d.exec();
        EXPECT_FALSE(expired) << "the progress window was not closed";
        return result;
      }
      if (OnDialog) return OnDialog(d);
      return int(mrCancel);
    };
    Form = std::make_unique<TMainForm>();
    Form->ComPort().SetPort(line.SlavePath());
    Form->OpenPortActionExecute();
  }

  ~TWindowOnLine() { Form.reset(); }

  // Waits (serving the window) until the worker thread has ended and freed
  // itself; false when it did not end in time.
  bool WaitIdle(int limitMs = 60000) {
    QDeadlineTimer deadline(limitMs);
    while (Form->FThread && !deadline.hasExpired()) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      QThread::msleep(2);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return !Form->FThread;
  }

  TDevice* List(const char* name, std::uint16_t plant, std::uint8_t address) {
    auto* d = new TDevice;
    d->SetName(name);
    d->SetPlantNumber(plant);
    d->SetSystemAddress(address);
    Form->AddDevice(d);
    return d;
  }

  bool Marked(int col, int row) const { return Form->GetCellMark(col, row) != nullptr; }

  TUiHooks Hooks;
  std::vector<TMessageRequest> Messages;
  std::deque<int> Answers;
  std::vector<TDialogSeen> Dialogs;
  std::function<int(QDialog&)> OnDialog;
  std::unique_ptr<TMainForm> Form;
};

inline TSimDevice SimAt(std::uint8_t address, std::uint16_t plant,
                        TDeviceProtocol protocol = dpLargis1) {
  TSimDevice d;
  d.Address = address;
  d.PlantNumber = plant;
  d.Protocol = protocol;
  d.Temperatures.assign(4, 0x0190);
  d.UnmeasurableLevel = 120;
  d.AveragingCoefficient = 3;
  return d;
}

}  // namespace scanui
