// Message boxes, modal dialogs and file dialogs of the window, each behind a
// replaceable hook so that tests answer them programmatically.
//
// Every message box of the program goes through MessageDlg: modal, captioned
// with the application title "Настройка ЛИМ-07", the given icon, Russian
// button texts ("Да", "Нет", "Отмена", "OK"); "\r\n" in a text is a line break.
// Every modal dialog goes through ExecDialog instead of QDialog::exec, every
// file-name question through PromptFileName.
//
// In a test:
//   TUiHooks hooks;                      // restores the previous hooks on exit
//   hooks.Messages = [&](const TMessageRequest& m) { seen.push_back(m); return mrYes; };
//   hooks.Dialogs = [&](QDialog& d) {    // fill fields, click buttons...
//     if (d.objectName() == "TProgressForm") return d.exec();  // let it run
//     d.findChild<QPushButton*>("btnOk")->click();
//     return d.result();
//   };
//   hooks.Files = [&](TFileDialogKind, const QString& filter) { return QString("/tmp/x.l07"); };
// With no hook set, the real window is shown.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <stdexcept>

class QWidget;

// The application title, caption of the main window and of every message box.
extern const char* const kApplicationTitle;  // "Настройка ЛИМ-07"
QString ApplicationTitle();

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation };
// Buttons: a set of these flags.
enum TMsgDlgButton { mbYes = 1, mbNo = 2, mbOK = 4, mbCancel = 8 };
// Modal results (the values the toolkit's dialogs return).
enum TModalResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrIgnore = 5, mrYes = 6, mrNo = 7 };

struct TMessageRequest {
  QString Text;     // as given, "\r\n" already turned into "\n"
  QString Caption;  // the application title
  TMsgDlgType Type;
  int Buttons;  // TMsgDlgButton flags
};

using TMessageHook = std::function<int(const TMessageRequest&)>;
// Receives the dialog instead of it being shown modally; returns the modal
// result (it may call dialog.exec() itself to run it for real).
using TDialogHook = std::function<int(QDialog&)>;
enum class TFileDialogKind { Open, Save };
// Returns the chosen file name, or an empty text for Cancel.
using TFileDialogHook = std::function<QString(TFileDialogKind, const QString& filter)>;

// Shows a modal message box and returns the button pressed (mrYes, mrNo,
// mrOk, mrCancel). Closing the box by its frame gives mrCancel when Cancel is
// offered, otherwise mrNo when No is offered, otherwise mrOk.
int MessageDlg(const QString& text, TMsgDlgType type, int buttons, QWidget* parent = nullptr);
// The default error report for an error that no handler caught: its own text,
// error icon, OK.
void ShowErrorReport(const QString& text);
// Runs f; an exception that escapes it ends the command and is shown by
// ShowErrorReport (std::exception: its what(); anything else: a general text).
// Every action handler runs inside it (TMainForm::ConnectAction).
void RunGuarded(const std::function<void()>& f);

// Runs a modal dialog (or hands it to the hook) and returns its result.
int ExecDialog(QDialog& dialog);
// Asks for a file name with a filter in the form "Описание|*.ext"; an empty
// result means Cancel. For Save, a name typed without an extension gets
// defaultExtension (given as "*.l07" or ".l07").
QString PromptFileName(QWidget* parent, TFileDialogKind kind, const QString& filter,
                       const QString& defaultExtension = QString());

// Replaces the hooks for its lifetime and restores the previous ones after.
struct TUiHooks {
  TUiHooks();
  ~TUiHooks();
  TUiHooks(const TUiHooks&) = delete;
  TUiHooks& operator=(const TUiHooks&) = delete;

  TMessageHook Messages;
  TDialogHook Dialogs;
  TFileDialogHook Files;

 private:
  TUiHooks* FPrevious;
};

// Direct access to the active hooks (null functions when none is set).
const TMessageHook& MessageHook();
const TDialogHook& DialogHook();
const TFileDialogHook& FileDialogHook();
