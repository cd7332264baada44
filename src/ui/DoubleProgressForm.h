// The progress window of the all-devices firmware upload: the overall bar
// (devices done) with "k из N" beside it, and the bar of the device in work
// under its name, with "Стоп".
#pragma once

#include <QDialog>
#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;
class QThread;

class TDoubleProgressForm : public QDialog {
  Q_OBJECT
 public:
  explicit TDoubleProgressForm(QWidget* parent = nullptr);
  QLabel* lOverall;           // caption of the overall bar
  QProgressBar* pbProgress1;  // overall, 0..100
  QLabel* stProgress1;
  QLabel* lCount;             // "k из N" beside the bars
  QLabel* lDevice;            // caption of the device bar: the device's name
  QProgressBar* pbProgress2;  // device in work, 0..100
  QLabel* stProgress2;
  QPushButton* btnStop;

  // The device in work: its name over the device bar, "number из count"
  // beside the bars (number from 1).
  void SetDevice(const QString& name, int number, int count);

  // Show v clamped to 0..100 as "<v> %". An overall value above 99 lets the
  // window be seen at 100 for a moment and closes it with result 1.
  void SetOverall(int value);
  void SetCurrent(int value);
  // The values last shown.
  int Overall() const { return FOverall; }
  int Current() const { return FCurrent; }

  void reject() override {}  // no way out but "Стоп" and the final report

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  int FOverall = 0;
  int FCurrent = 0;
};

// Shows the window modally in front of an upload thread (passed not yet
// started; it is started once the window exists, so no report is lost) and,
// when it closes, asks the thread to stop if it still runs. The window also
// closes when the thread ends without its final report (an error, a device
// that stayed silent last). Returns at once when one is already open.
// prepare runs on the window before the thread starts (the first device).
void ShowDoubleProgress(QThread* thread, const QString& caption,
                        const std::function<void(TDoubleProgressForm&)>& prepare = {});
// The open window, null when none.
TDoubleProgressForm* DoubleProgressForm();
