#include "UiHooks.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>

const char* const kApplicationTitle = "Настройка ЛИМ-07";

QString ApplicationTitle() {
  return QString::fromUtf8(kApplicationTitle);
}

namespace {

TUiHooks* gActiveHooks = nullptr;
const TMessageHook kNoMessageHook;
const TDialogHook kNoDialogHook;
const TFileDialogHook kNoFileHook;

// Without a screen nobody can answer a modal window: an unanswered one must
// not hang a test run, so it is refused with its default answer instead.
bool Headless() {
  return QGuiApplication::platformName() == QLatin1String("offscreen");
}

int DefaultAnswer(int buttons) {
  if (buttons & mbCancel) return mrCancel;
  if (buttons & mbNo) return mrNo;
  return mrOk;
}

}  // namespace

TUiHooks::TUiHooks() : FPrevious(gActiveHooks) {
  gActiveHooks = this;
}
TUiHooks::~TUiHooks() {
  gActiveHooks = FPrevious;
}

const TMessageHook& MessageHook() {
  return gActiveHooks ? gActiveHooks->Messages : kNoMessageHook;
}
const TDialogHook& DialogHook() {
  return gActiveHooks ? gActiveHooks->Dialogs : kNoDialogHook;
}
const TFileDialogHook& FileDialogHook() {
  return gActiveHooks ? gActiveHooks->Files : kNoFileHook;
}

int MessageDlg(const QString& text, TMsgDlgType type, int buttons, QWidget* parent) {
  TMessageRequest request{QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n")),
                          ApplicationTitle(), type, buttons};
  if (const auto& hook = MessageHook()) return hook(request);
  if (Headless()) {
    std::fprintf(stderr, "lim07: unanswered message box: %s\n", request.Text.toUtf8().constData());
    return DefaultAnswer(buttons);
  }
  QMessageBox box(parent ? parent : QApplication::activeWindow());
  box.setWindowTitle(request.Caption);
  box.setText(request.Text);
  switch (type) {
    case mtWarning:
      box.setIcon(QMessageBox::Warning);
      break;
    case mtError:
      box.setIcon(QMessageBox::Critical);
      break;
    case mtInformation:
      box.setIcon(QMessageBox::Information);
      break;
    case mtConfirmation:
      box.setIcon(QMessageBox::Question);
      break;
  }
  struct Choice {
    int Flag;
    const char* Text;
    QMessageBox::ButtonRole Role;
    int Result;
  };
  const Choice choices[] = {{mbYes, "Да", QMessageBox::YesRole, mrYes},
                            {mbNo, "Нет", QMessageBox::NoRole, mrNo},
                            {mbOK, "OK", QMessageBox::AcceptRole, mrOk},
                            {mbCancel, "Отмена", QMessageBox::RejectRole, mrCancel}};
  QList<QPair<QAbstractButton*, int>> made;
  for (const Choice& c : choices) {
    if (!(buttons & c.Flag)) continue;
    QPushButton* b = box.addButton(QString::fromUtf8(c.Text), c.Role);
    made.append({b, c.Result});
    if (made.size() == 1) box.setDefaultButton(b);
  }
  if (buttons & mbCancel) box.setEscapeButton(made.back().first);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
  for (const auto& [button, result] : made)
    if (box.clickedButton() == button) return result;
  return DefaultAnswer(buttons);
}

void ShowErrorReport(const QString& text) {
  MessageDlg(text, mtError, mbOK);
}

void RunGuarded(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    ShowErrorReport(QString::fromUtf8(e.what()));
  } catch (...) {
    ShowErrorReport(QString::fromUtf8("Неизвестная ошибка!"));
  }
}

int ExecDialog(QDialog& dialog) {
  if (const auto& hook = DialogHook()) return hook(dialog);
  if (Headless()) {
    std::fprintf(stderr, "lim07: unanswered dialog: %s\n",
                 dialog.windowTitle().toUtf8().constData());
    return QDialog::Rejected;
  }
  return dialog.exec();
}

QString PromptFileName(QWidget* parent, TFileDialogKind kind, const QString& filter,
                       const QString& defaultExtension) {
  // "Описание|*.ext" -> "Описание (*.ext)"
  QString qtFilter = filter;
  const int bar = filter.indexOf(QLatin1Char('|'));
  if (bar >= 0)
    qtFilter = filter.left(bar) + QLatin1String(" (") + filter.mid(bar + 1) + QLatin1Char(')');
  QString name;
  if (const auto& hook = FileDialogHook()) {
    name = hook(kind, filter);
  } else if (Headless()) {
    std::fprintf(stderr, "lim07: unanswered file dialog\n");
    return QString();
  } else if (kind == TFileDialogKind::Open) {
    name = QFileDialog::getOpenFileName(parent, QString(), QString(), qtFilter);
  } else {
    name = QFileDialog::getSaveFileName(parent, QString(), QString(), qtFilter, nullptr,
                                        QFileDialog::DontConfirmOverwrite);
  }
  if (name.isEmpty() || kind != TFileDialogKind::Save || defaultExtension.isEmpty()) return name;
  QString ext = defaultExtension;
  if (ext.startsWith(QLatin1Char('*'))) ext.remove(0, 1);
  if (!ext.startsWith(QLatin1Char('.'))) ext.prepend(QLatin1Char('.'));
  if (QFileInfo(name).suffix().isEmpty()) name += ext;
  return name;
}
