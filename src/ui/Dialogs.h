// The small modal windows: integer entry, identification, add device, the two
// progress windows in front of a worker thread, the start-up protocol choice
// and the about box. Each is created when needed, run through ExecDialog
// (UiHooks.h) and freed on return; widgets carry their names as object names
// (Editor, btnOK, eNumber, rgProtocol…) so that tests can find them.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QStringList>
#include <functional>
#include <stdexcept>

#include "DeviceProtocol.h"

class QButtonGroup;
class QDialogButtonBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QThread;

// Raised by InputInteger when the entry is not an integer; the command that
// asked ends and the general error report shows the text.
class EInputInteger : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Integer entry (TEditForm).
class TEditForm : public QDialog {
  Q_OBJECT
 public:
  explicit TEditForm(QWidget* parent = nullptr);
  QLineEdit* Editor;
  QPushButton* btnCancel;
  QPushButton* btnOK;
  // Widens the entry field (and with it the window) to the caption.
  void FitWidth();
  // The character filter of Editor (EditorKeyPress).
  QChar EditorKeyPress(QChar key);

 protected:
  // Opens with the value selected, so that typing replaces it.
  void showEvent(QShowEvent* event) override;
};

// Asks for an integer. Min = Max ≠ 0: returns false at once (no choice).
// Min = Max = 0: no bounds. Otherwise the entry is clamped into [Min, Max].
// Cancel: false, Value unchanged. A non-integer raises EInputInteger with
// "\"<text>\" не является целым числом!".
bool InputInteger(const QString& caption, int min, int max, int& value);

// Identification window (TIDForm).
class TIDForm : public QDialog {
  Q_OBJECT
 public:
  explicit TIDForm(QWidget* parent = nullptr);
  QPlainTextEdit* Memo;
  QPushButton* btnClose;
};
void ShowIdentification(const QStringList& lines);

// Add-device dialog (TAddLimForm).
class TAddLimForm : public QDialog {
  Q_OBJECT
 public:
  explicit TAddLimForm(QWidget* parent = nullptr);
  QLineEdit* eName;
  QLineEdit* eNumber;
  QLineEdit* eAddress;
  QPushButton* btnCancel;
  QPushButton* btnAdd;
  QString DeviceName() const;
  int Number() const;   // 0 when empty or not an integer
  int Address() const;  // 0 when empty or not an integer
  // The character filter of eNumber and eAddress.
  static QChar eKeyPress(QChar key);

 private:
  // "Добавить": a number above max (or below 0) in the field is refused with
  // the message, and the field gets the focus with its text selected.
  bool CheckRange(QLineEdit* edit, int max, const char* message);
};

// Progress with one bar (TProgressForm): "Стоп" or the report of 100 % ends it.
class TProgressForm : public QDialog {
  Q_OBJECT
 public:
  explicit TProgressForm(QWidget* parent = nullptr);
  QProgressBar* ProgressBar;
  QLabel* StaticText;
  QPushButton* btnStop;
  void SetPosition(int percent);
  void reject() override {}  // no way out but "Стоп" and the final report

 protected:
  void closeEvent(QCloseEvent* event) override;
};

// Progress by device (TProgressXForm): plant number 0 ends it.
class TProgressXForm : public QDialog {
  Q_OBJECT
 public:
  explicit TProgressXForm(QWidget* parent = nullptr);
  QLabel* lNumber;
  QLabel* lAddress;
  QPushButton* btnStop;
  void SetNumber(int number);
  void SetAddress(int address);
  void reject() override {}

 protected:
  void closeEvent(QCloseEvent* event) override;
};

// Shows the progress window in front of a worker thread until "Стоп", the
// final report or the thread's end; then asks the thread to stop if it still
// runs. The window is open (and reachable by SetProgress) before the thread is
// started: pass the thread not yet started and ShowProgress starts it, so no
// report can come before the window. Returns at once when one is already open.
void ShowProgress(QThread* thread, const QString& caption);
void SetProgress(int percent);
void ShowProgressX(QThread* thread, const QString& caption);
void SetProgressX(int number, int address);
// The open windows (null when none), for the message handlers and tests.
TProgressForm* ProgressForm();
TProgressXForm* ProgressXForm();

// Start-up protocol choice (TStartModeForm).
class TStartModeForm : public QDialog {
  Q_OBJECT
 public:
  explicit TStartModeForm(QWidget* parent = nullptr);
  QButtonGroup* rgProtocol;
  QPushButton* btnDefault;
  QPushButton* btnOk;
  int ItemIndex() const;
  void SetItemIndex(int index);
};
TDeviceProtocol ChooseStartProtocol();

// About box (TAboutForm).
class TAboutForm : public QDialog {
  Q_OBJECT
 public:
  explicit TAboutForm(QWidget* parent = nullptr);
  QPushButton* btnClose;
};
void ShowAbout();

// Applies the key filter of an edit box's OnKeyPress: the filter gets the
// typed character and returns it, or 0 to swallow it; Enter (13) and Escape
// (27) reach it as those characters. Keys that type no character pass.
using TKeyPressFilter = std::function<QChar(QChar key)>;
void SetKeyPressFilter(QLineEdit* edit, TKeyPressFilter filter);

// A row that centres one button (the "Закрыть" and "Стоп" rows).
QHBoxLayout* CenteredRow(QWidget* button);
// "OK" (named btnOk) and "Отмена" for a small settings dialog, wired to
// accept and reject; the caller places the box.
QDialogButtonBox* MakeOkCancelButtons(QDialog& dialog);
