#include "DoubleProgressForm.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QThread>
#include <QVBoxLayout>

#include "Dialogs.h"
#include "UiHooks.h"
#include "WorkerThread.h"

namespace {

// Read and written on the user-interface thread only.
QPointer<TDoubleProgressForm> gDoubleProgressForm;

constexpr int kBarWidth = 273;
constexpr int kBarHeight = 33;

// A bar with its value in a framed text centred on it.
QProgressBar* MakeBar(QWidget* parent, const char* name, const char* textName, QLabel*& text) {
  auto* bar = new QProgressBar(parent);
  bar->setObjectName(QLatin1String(name));
  bar->setFixedSize(kBarWidth, kBarHeight);
  bar->setRange(0, 100);
  bar->setValue(0);
  bar->setTextVisible(false);
  text = new QLabel(QStringLiteral("0 %"), bar);
  text->setObjectName(QLatin1String(textName));
  text->setFrameStyle(QFrame::Box | QFrame::Plain);
  text->setAlignment(Qt::AlignCenter);
  text->setAutoFillBackground(true);
  text->setFixedSize(48, text->sizeHint().height());
  text->move((kBarWidth - text->width()) / 2, (kBarHeight - text->height()) / 2);
  return bar;
}

int Show(QProgressBar* bar, QLabel* text, int value) {
  const int shown = qBound(0, value, 100);
  bar->setValue(shown);
  text->setText(QString::number(shown) + QStringLiteral(" %"));
  return shown;
}

}  // namespace

TDoubleProgressForm::TDoubleProgressForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName(QStringLiteral("TDoubleProgressForm"));
  const auto label = [this](const char* name, const QString& text) {
    auto* l = new QLabel(text, this);
    l->setObjectName(QLatin1String(name));
    return l;
  };
  lOverall = label("lOverall", QString::fromUtf8("Все приборы"));
  pbProgress1 = MakeBar(this, "pbProgress1", "stProgress1", stProgress1);
  lCount = label("lCount", QString());
  lCount->setMinimumWidth(lCount->fontMetrics().horizontalAdvance(QString::fromUtf8("888 из 888")));
  lDevice = label("lDevice", QString::fromUtf8("Прибор:"));
  pbProgress2 = MakeBar(this, "pbProgress2", "stProgress2", stProgress2);
  btnStop = new QPushButton(QString::fromUtf8("Стоп"), this);
  btnStop->setObjectName(QStringLiteral("btnStop"));
  btnStop->setMinimumSize(75, 25);
  btnStop->setAutoDefault(false);
  connect(btnStop, &QPushButton::clicked, this, [this] { done(mrOk); });
  auto* bars = new QGridLayout;
  bars->addWidget(lOverall, 0, 0);
  bars->addWidget(pbProgress1, 1, 0);
  bars->addWidget(lCount, 1, 1);
  bars->addWidget(lDevice, 2, 0, 1, 2);
  bars->addWidget(pbProgress2, 3, 0);
  auto* buttons = CenteredRow(btnStop);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(bars);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TDoubleProgressForm::SetDevice(const QString& name, int number, int count) {
  lDevice->setText(QString::fromUtf8("Прибор: %1").arg(name));
  lCount->setText(QString::fromUtf8("%1 из %2").arg(number).arg(count));
}

void TDoubleProgressForm::SetCurrent(int value) {
  FCurrent = Show(pbProgress2, stProgress2, value);
}

void TDoubleProgressForm::SetOverall(int value) {
  FOverall = Show(pbProgress1, stProgress1, value);
  if (value > 99) {
    QCoreApplication::processEvents();
    QThread::msleep(100);
    done(mrOk);
  }
}

void TDoubleProgressForm::closeEvent(QCloseEvent* event) {
  event->ignore();
}

void ShowDoubleProgress(QThread* thread, const QString& caption,
                        const std::function<void(TDoubleProgressForm&)>& prepare) {
  if (gDoubleProgressForm) return;
  TDoubleProgressForm form;
  gDoubleProgressForm = &form;
  auto forget = qScopeGuard([] { gDoubleProgressForm = nullptr; });
  form.setWindowTitle(caption);
  if (prepare) prepare(form);
  QPointer<QThread> guarded(thread);
  if (thread) {
    QObject::connect(thread, &QThread::finished, &form, [&form] { form.done(mrOk); });
    if (!thread->isRunning() && !thread->isFinished()) thread->start();
  }
  ExecDialog(form);
  // Closed by "Стоп" or at 100 % (result 1; nothing else closes it): the
  // thread stops at its next check. A thread that has ended may have freed
  // itself already (guarded is null).
  if (guarded && guarded->isRunning()) {
    if (auto* worker = qobject_cast<TWorkerThread*>(guarded.data()))
      worker->Terminate();
    else
      guarded->requestInterruption();
  }
}

TDoubleProgressForm* DoubleProgressForm() {
  return gDoubleProgressForm;
}
