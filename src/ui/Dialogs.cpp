#include "Dialogs.h"

#include <QApplication>
#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QThread>
#include <QVBoxLayout>
#include <algorithm>

#include "UiHooks.h"
#include "WorkerThread.h"

namespace {

constexpr QChar kBackspace(8);
constexpr QChar kEnter(13);
constexpr QChar kEscape(27);

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption) {
  auto* b = new QPushButton(Tr(caption), parent);
  b->setObjectName(QLatin1String(name));
  b->setMinimumSize(75, 25);
  b->setAutoDefault(false);
  return b;
}

class TKeyPressFilterObject : public QObject {
 public:
  TKeyPressFilterObject(QLineEdit* edit, TKeyPressFilter filter)
      : QObject(edit), FFilter(std::move(filter)) {}

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    auto* ke = static_cast<QKeyEvent*>(event);
    QChar key;
    switch (ke->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter:
        key = kEnter;
        break;
      case Qt::Key_Escape:
        key = kEscape;
        break;
      case Qt::Key_Backspace:
        key = kBackspace;
        break;
      case Qt::Key_Delete:
        return false;  // edits, types no character
      default:
        // Only printable characters are judged: arrows, Home, End, Tab and
        // the editing shortcuts (select all, copy, paste, undo) go on to the
        // edit box and the dialog.
        if (ke->text().isEmpty() || !ke->text().at(0).isPrint()) return false;
        if (ke->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) return false;
        key = ke->text().at(0);
        break;
    }
    const QChar result = FFilter(key);
    return result.isNull();  // swallowed, or on to the edit box
  }

 private:
  TKeyPressFilter FFilter;
};

}  // namespace

QHBoxLayout* CenteredRow(QWidget* button) {
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  row->addWidget(button);
  row->addStretch(1);
  return row;
}

QDialogButtonBox* MakeOkCancelButtons(QDialog& dialog) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("btnOk"));
  buttons->button(QDialogButtonBox::Cancel)->setText(Tr("Отмена"));
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  return buttons;
}

void SetKeyPressFilter(QLineEdit* edit, TKeyPressFilter filter) {
  edit->installEventFilter(new TKeyPressFilterObject(edit, std::move(filter)));
}

// ---------------------------------------------------------------- TEditForm

TEditForm::TEditForm(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint) {
  setObjectName(QStringLiteral("TEditForm"));
  Editor = new QLineEdit(QStringLiteral("0"), this);
  Editor->setObjectName(QStringLiteral("Editor"));
  Editor->setMinimumWidth(153);
  btnCancel = MakeButton(this, "btnCancel", "Отмена");
  btnOK = MakeButton(this, "btnOK", "Принять");
  connect(btnCancel, &QPushButton::clicked, this, [this] { done(mrCancel); });
  connect(btnOK, &QPushButton::clicked, this, [this] { done(mrOk); });
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnCancel);
  buttons->addWidget(btnOK);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Editor);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  SetKeyPressFilter(Editor, [this](QChar key) { return EditorKeyPress(key); });
}

void TEditForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  Editor->setFocus(Qt::OtherFocusReason);
  Editor->selectAll();
}

void TEditForm::FitWidth() {
  const int need = fontMetrics().horizontalAdvance(windowTitle()) + 60;
  if (sizeHint().width() < need) Editor->setMinimumWidth(need);
  adjustSize();
}

QChar TEditForm::EditorKeyPress(QChar key) {
  if (key == kBackspace || key == QChar(37) || key == QChar(39) ||
      (key.isDigit() && key.unicode() < 128))
    return key;
  if (key == kEnter) {
    done(mrOk);
    return QChar();
  }
  if (key == kEscape) {
    done(mrCancel);
    return QChar();
  }
  if (key == QLatin1Char('-') && !Editor->text().contains(QLatin1Char('-'))) return key;
  return QChar();
}

bool InputInteger(const QString& caption, int min, int max, int& value) {
  if (min == max && min != 0) return false;
  TEditForm form;
  form.setWindowTitle(caption);
  form.Editor->setText(QString::number(value));
  // The old value is selected: typing replaces it.
  form.Editor->selectAll();
  form.FitWidth();
  if (ExecDialog(form) != mrOk) return false;
  bool ok = false;
  const QString text = form.Editor->text();
  int entered = text.toInt(&ok, 10);
  if (!ok)
    throw EInputInteger(
        (QLatin1Char('"') + text + QLatin1Char('"') + Tr(" не является целым числом!"))
            .toUtf8()
            .toStdString());
  if (min != max) {
    if (entered > max) entered = max;
    if (entered < min) entered = min;
  }
  value = entered;
  return true;
}

// ------------------------------------------------------------------ TIDForm

TIDForm::TIDForm(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("TIDForm"));
  setWindowTitle(Tr("Идентификация"));
  Memo = new QPlainTextEdit(this);
  Memo->setObjectName(QStringLiteral("Memo"));
  Memo->setReadOnly(true);
  QPalette p = Memo->palette();
  p.setColor(QPalette::Base, p.color(QPalette::Button));
  Memo->setPalette(p);
  btnClose = MakeButton(this, "btnClose", "Закрыть");
  connect(btnClose, &QPushButton::clicked, this, [this] { done(mrOk); });
  auto* bottom = CenteredRow(btnClose);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Memo, 1);
  layout->addLayout(bottom);
  resize(300, 260);
}

void ShowIdentification(const QStringList& lines) {
  TIDForm form;
  form.Memo->setPlainText(lines.join(QLatin1Char('\n')));
  ExecDialog(form);
}

// -------------------------------------------------------------- TAddLimForm

TAddLimForm::TAddLimForm(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("TAddLimForm"));
  setWindowTitle(Tr("Добавить"));
  auto makeEdit = [this](const char* name, int width) {
    auto* e = new QLineEdit(this);
    e->setObjectName(QLatin1String(name));
    e->setMinimumWidth(width);
    return e;
  };
  eName = makeEdit("eName", 185);
  eNumber = makeEdit("eNumber", 89);
  eAddress = makeEdit("eAddress", 89);
  SetKeyPressFilter(eNumber, &TAddLimForm::eKeyPress);
  SetKeyPressFilter(eAddress, &TAddLimForm::eKeyPress);
  btnCancel = MakeButton(this, "btnCancel", "Отмена");
  btnAdd = MakeButton(this, "btnAdd", "Добавить");
  btnAdd->setDefault(true);
  connect(btnCancel, &QPushButton::clicked, this, [this] { done(mrCancel); });
  connect(btnAdd, &QPushButton::clicked, this, [this] {
    if (CheckRange(eNumber, 65535, "Заводской номер должен быть числом от 0 до 65535!") &&
        CheckRange(eAddress, 255, "Системный адрес должен быть числом от 0 до 255!"))
      done(mrOk);
  });
  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(Tr("Имя"), this), 0, 0);
  grid->addWidget(new QLabel(Tr("Зав. №"), this), 0, 1);
  grid->addWidget(new QLabel(Tr("Сист. адрес"), this), 0, 2);
  grid->addWidget(eName, 1, 0);
  grid->addWidget(eNumber, 1, 1);
  grid->addWidget(eAddress, 1, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnCancel);
  buttons->addWidget(btnAdd);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

QChar TAddLimForm::eKeyPress(QChar key) {
  // Enter and Escape go on to the dialog (default button, Cancel).
  if (key == kEnter || key == kEscape) return key;
  if (key == kBackspace || key == QLatin1Char('.') || (key.isDigit() && key.unicode() < 128))
    return key;
  return QChar();
}

bool TAddLimForm::CheckRange(QLineEdit* edit, int max, const char* message) {
  // An empty field and a text that is no number stay 0; a number the device
  // record cannot hold is refused here instead of being cut to its low bits.
  const QString text = edit->text().trimmed();
  bool ok = false;
  const qlonglong value = text.toLongLong(&ok);
  const bool digitsOnly = !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) {
    return c.isDigit() && c.unicode() < 128;
  });
  if (ok ? (value >= 0 && value <= max) : !digitsOnly) return true;
  MessageDlg(Tr(message), mtError, mbOK, this);
  edit->setFocus(Qt::OtherFocusReason);
  edit->selectAll();
  return false;
}

QString TAddLimForm::DeviceName() const {
  return eName->text();
}

int TAddLimForm::Number() const {
  return eNumber->text().toInt();
}

int TAddLimForm::Address() const {
  return eAddress->text().toInt();
}

// ------------------------------------------------------------ progress forms

namespace {

// The open progress windows; read and written on the user-interface thread only.
QPointer<TProgressForm> gProgressForm;
QPointer<TProgressXForm> gProgressXForm;

constexpr Qt::WindowFlags kNoFrameButtons =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;

void Linger() {
  QCoreApplication::processEvents();
  QThread::msleep(100);
}

// Asks a thread to stop unless it has already ended (it may then have freed
// itself: the guarded pointer is null).
void StopIfRunning(const QPointer<QThread>& thread) {
  if (!thread || !thread->isRunning()) return;
  if (auto* worker = qobject_cast<TWorkerThread*>(thread.data()))
    worker->Terminate();
  else
    thread->requestInterruption();
}

template <class TForm>
void RunProgress(QPointer<TForm>& reference, QThread* thread, const QString& caption) {
  if (reference) return;
  TForm form;
  reference = &form;
  auto clear = qScopeGuard([&] { reference = nullptr; });
  form.setWindowTitle(caption);
  QPointer<QThread> guarded(thread);
  if (thread) {
    // A thread that ends without its final report (an error, a stop) must
    // not leave the user in front of a window nobody will close.
    QObject::connect(thread, &QThread::finished, &form, [&form] { form.done(mrOk); });
    if (!thread->isRunning() && !thread->isFinished()) thread->start();
  }
  ExecDialog(form);
  StopIfRunning(guarded);
}

}  // namespace

TProgressForm::TProgressForm(QWidget* parent) : QDialog(parent, kNoFrameButtons) {
  setObjectName(QStringLiteral("TProgressForm"));
  setWindowTitle(Tr("Сканирование линии"));
  ProgressBar = new QProgressBar(this);
  ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
  ProgressBar->setFixedSize(273, 33);
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(0);
  ProgressBar->setTextVisible(false);
  StaticText = new QLabel(QStringLiteral("0 %"), ProgressBar);
  StaticText->setObjectName(QStringLiteral("StaticText"));
  StaticText->setFrameStyle(QFrame::Box | QFrame::Plain);
  StaticText->setAlignment(Qt::AlignCenter);
  StaticText->setAutoFillBackground(true);
  StaticText->setFixedSize(48, StaticText->sizeHint().height());
  StaticText->move((273 - StaticText->width()) / 2, (33 - StaticText->height()) / 2);
  btnStop = MakeButton(this, "btnStop", "Стоп");
  connect(btnStop, &QPushButton::clicked, this, [this] { done(mrOk); });
  auto* buttons = CenteredRow(btnStop);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(ProgressBar);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TProgressForm::SetPosition(int percent) {
  ProgressBar->setValue(qBound(0, percent, 100));
  StaticText->setText(QString::number(percent) + QStringLiteral(" %"));
  if (percent > 99) {
    Linger();
    done(mrOk);
  }
}

void TProgressForm::closeEvent(QCloseEvent* event) {
  event->ignore();
}

TProgressXForm::TProgressXForm(QWidget* parent) : QDialog(parent, kNoFrameButtons) {
  setObjectName(QStringLiteral("TProgressXForm"));
  setWindowTitle(Tr("Сканирование линии"));
  lNumber = new QLabel(this);
  lNumber->setObjectName(QStringLiteral("lNumber"));
  lAddress = new QLabel(this);
  lAddress->setObjectName(QStringLiteral("lAddress"));
  lNumber->setMinimumWidth(60);
  btnStop = MakeButton(this, "btnStop", "Стоп");
  connect(btnStop, &QPushButton::clicked, this, [this] { done(mrOk); });
  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(Tr("Заводской номер:"), this), 0, 0);
  grid->addWidget(lNumber, 0, 1);
  grid->addWidget(new QLabel(Tr("Системный номер:"), this), 1, 0);
  grid->addWidget(lAddress, 1, 1);
  grid->setColumnMinimumWidth(1, 60);
  auto* buttons = CenteredRow(btnStop);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  setMinimumWidth(260);
}

void TProgressXForm::SetNumber(int number) {
  if (number != 0) {
    lNumber->setText(QString::number(number));
    return;
  }
  Linger();
  done(mrOk);
}

void TProgressXForm::SetAddress(int address) {
  lAddress->setText(QString::number(address));
}

void TProgressXForm::closeEvent(QCloseEvent* event) {
  event->ignore();
}

void ShowProgress(QThread* thread, const QString& caption) {
  RunProgress(gProgressForm, thread, caption);
}

void SetProgress(int percent) {
  if (gProgressForm) gProgressForm->SetPosition(percent);
}

void ShowProgressX(QThread* thread, const QString& caption) {
  RunProgress(gProgressXForm, thread, caption);
}

void SetProgressX(int number, int address) {
  if (!gProgressXForm) return;
  QPointer<TProgressXForm> form = gProgressXForm;
  form->SetNumber(number);
  if (form) form->SetAddress(address);
}

TProgressForm* ProgressForm() {
  return gProgressForm;
}
TProgressXForm* ProgressXForm() {
  return gProgressXForm;
}

// ----------------------------------------------------------- TStartModeForm

TStartModeForm::TStartModeForm(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("TStartModeForm"));
  setWindowTitle(Tr("Выберите режим"));
  auto* group = new QGroupBox(this);
  group->setObjectName(QStringLiteral("rgProtocol"));
  rgProtocol = new QButtonGroup(this);
  auto* items = new QHBoxLayout(group);
  const char* names[] = {"Ларгис-1", "Modbus"};
  for (int i = 0; i < 2; ++i) {
    auto* rb = new QRadioButton(Tr(names[i]), group);
    rb->setObjectName(QStringLiteral("rgProtocolItem%1").arg(i));
    rgProtocol->addButton(rb, i);
    items->addWidget(rb, 1);
  }
  rgProtocol->button(0)->setChecked(true);
  btnDefault = MakeButton(this, "btnDefault", "По умолчанию");
  btnOk = MakeButton(this, "btnOk", "Применить");
  btnOk->setDefault(true);
  connect(btnDefault, &QPushButton::clicked, this, [this] {
    SetItemIndex(0);
    done(mrIgnore);
  });
  connect(btnOk, &QPushButton::clicked, this, [this] { done(mrOk); });
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(btnDefault);
  buttons->addStretch(1);
  buttons->addWidget(btnOk);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  setMinimumWidth(280);
}

int TStartModeForm::ItemIndex() const {
  return rgProtocol->checkedId();
}

void TStartModeForm::SetItemIndex(int index) {
  if (QAbstractButton* b = rgProtocol->button(index)) b->setChecked(true);
}

TDeviceProtocol ChooseStartProtocol() {
  TStartModeForm form;
  ExecDialog(form);
  return form.ItemIndex() == 1 ? dpModbus : dpLargis1;
}

// --------------------------------------------------------------- TAboutForm

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("TAboutForm"));
  setWindowTitle(Tr("О программе"));
  auto* title = new QLabel(Tr("Утилита для проверки и настройки термоподвески ЛИМ-07"), this);
  title->setObjectName(QStringLiteral("lTitle"));
  QFont serif(QStringLiteral("Times New Roman"));
  serif.setStyleHint(QFont::Serif);
  serif.setPixelSize(16);
  serif.setBold(true);
  title->setFont(serif);
  title->setAlignment(Qt::AlignCenter);
  auto* version = new QLabel(Tr("Версия 1.2"), this);
  version->setObjectName(QStringLiteral("lVersion"));
  version->setAlignment(Qt::AlignCenter);
  auto* panel = new QFrame(this);
  panel->setObjectName(QStringLiteral("pnlPublisher"));
  panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  auto* lines = new QVBoxLayout(panel);
  const char* publisher[] = {"Сервисная утилита термоподвесок ЛИМ-07",
                             "Протоколы: Ларгис-1, Modbus RTU", "Загрузка ПО: XModem-CRC",
                             "Для ОС Linux, Qt 6"};
  for (const char* text : publisher) {
    auto* l = new QLabel(Tr(text), panel);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lines->addWidget(l);
  }
  btnClose = MakeButton(this, "btnClose", "Закрыть");
  btnClose->setDefault(true);
  connect(btnClose, &QPushButton::clicked, this, [this] { done(mrOk); });
  auto* bottom = CenteredRow(btnClose);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(title);
  layout->addWidget(version);
  layout->addWidget(panel);
  layout->addLayout(bottom);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void ShowAbout() {
  TAboutForm form;
  ExecDialog(form);
}
