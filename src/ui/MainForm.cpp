#include "MainForm.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "Animate.h"
#include "ComSetup.h"
#include "Dialogs.h"
#include "LineDiagnostics.h"
#include "Icons.h"
#include "Transaction.h"
#include "UiHooks.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

// Light red: the toolkit's 0x9090FF in its blue-green-red order.
const QColor kMarkColor(0xFF, 0x90, 0x90);

QLabel* StaticText(QWidget* parent, const char* name) {
  auto* l = new QLabel(parent);
  l->setObjectName(QLatin1String(name));
  l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  l->setMinimumWidth(48);
  l->setAutoFillBackground(true);
  return l;
}

QCheckBox* FlagBox(QWidget* parent, const char* name, const char* caption) {
  auto* c = new QCheckBox(Tr(caption), parent);
  c->setObjectName(QLatin1String(name));
  // Shown, never changed by the user.
  c->setAttribute(Qt::WA_TransparentForMouseEvents);
  c->setFocusPolicy(Qt::NoFocus);
  return c;
}

}  // namespace

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent), FMark(new TColorFlag(kMarkColor)) {
  InitUiResources();
  setObjectName(QStringLiteral("TMainForm"));
  setMinimumSize(450, 320);
  CreateActions();
  CreateMenus();
  CreateToolBar();
  CreateClientArea();
  CreateServiceMode();
  auto* status = statusBar();
  StatusPanel0 = new QLabel(status);
  StatusPanel0->setObjectName(QStringLiteral("StatusPanel0"));
  StatusPanel0->setMinimumWidth(150);
  StatusPanel0->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  StatusPanel1 = new QLabel(status);
  StatusPanel1->setObjectName(QStringLiteral("StatusPanel1"));
  StatusPanel1->setFixedWidth(50);
  StatusPanel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  status->addWidget(StatusPanel0);
  status->addWidget(StatusPanel1);
  status->setSizeGripEnabled(true);
  resize(807, 577 + menuBar()->sizeHint().height() + ToolBar1->sizeHint().height() +
                  status->sizeHint().height());

  // The port as the window gives it: COM1, 9600, 8 data bits, even parity,
  // one stop bit, no flow control; read gap 50 ms, 2 ms a byte plus 100 ms.
  FComPort.SetPort("COM1");
  FComPort.SetBaudRate(br9600);
  FComPort.SetDataBits(dbEight);
  FComPort.SetStopBits(sbOneStopBit);
  FComPort.Parity().SetBits(prEven);
  FComPort.Timeouts().SetReadInterval(50);
  FComPort.Timeouts().SetReadTotalMultiplier(2);
  FComPort.Timeouts().SetReadTotalConstant(100);
  FComPort.SetLeft(104);
  FComPort.SetTop(168);

  // Before every exchange the protocol layer lets the window process what is
  // pending: paint and timer events only, never input, so that no click can
  // delete the device in use or start a second user of the port meanwhile.
  SetProcessMessagesHook([] {
    if (QCoreApplication::instance() &&
        QThread::currentThread() == QCoreApplication::instance()->thread())
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  });

  ConnectOperationActions();
  CreateViews();
  CreateReport();
  FormCreate();
}

void TMainForm::ConnectOperationActions() {
  // ---- The operations connect their actions here, one block each:
  //   ConnectAction(RunAction, &TMainForm::RunActionExecute);
  // Polling (MainFormPolling.cpp): RunAction, StopAction, SetIntervalAction
  //   (and FOnRefreshDataGrid).
  ConnectAction(RunAction, &TMainForm::RunActionExecute);
  ConnectAction(StopAction, &TMainForm::StopActionExecute);
  ConnectAction(SetIntervalAction, &TMainForm::SetIntervalActionExecute);
  FOnRefreshDataGrid = [this] {
    UpdateDataGrid();
    PublishSnapshot(++FPollCycles);
  };
  // Line scan (MainFormScan.cpp): SearchAction.
  // Batch (MainFormBatch.cpp): RefreshDeviceAction, UpdateDeviceAction,
  //   AllAddressWriteAction.
  ConnectAction(SearchAction, &TMainForm::SearchActionExecute);
  ConnectAction(RefreshDeviceAction, &TMainForm::RefreshDeviceActionExecute);
  ConnectAction(UpdateDeviceAction, &TMainForm::UpdateDeviceActionExecute);
  ConnectAction(AllAddressWriteAction, &TMainForm::AllAddressWriteActionExecute);
  // Firmware upload (MainFormUpload.cpp): UploadSoftwareAction,
  //   TotalDownloadSoftwareAction (and FOnTotalUploadProgress).
  ConnectUploadActions();
  // Single-device commands (MainFormCommands.cpp): idReadAction, saWriteAction,
  //   snReadAction, tReadAction, hReadAction, clbrReadAction, clbrWriteAction,
  //   CoeffReadAction, CoeffWriteAction, tWriteAction, ConfigReadAction,
  //   ModbusDataReadAction, DeviceToModbusModeAction, DeviceToLargis1ModeAction,
  //   EmptyBunkerCalibrationAction, ReadUnmeasurableLevelAction,
  //   WriteUnmeasurableLevelAction.
  ConnectCommandActions();
  // ---- end of the operations' block
}

void TMainForm::CreateClientArea() {
  auto* central = new QWidget(this);
  central->setObjectName(QStringLiteral("ClientArea"));
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(2, 2, 2, 2);
  layout->setSpacing(2);

  gbDevices = new QGroupBox(Tr(" Приборы "), central);
  gbDevices->setObjectName(QStringLiteral("gbDevices"));
  auto* devLayout = new QVBoxLayout(gbDevices);
  devLayout->setContentsMargins(2, 2, 2, 2);
  sgDevices = new TStringGrid(gbDevices, 1);
  sgDevices->setObjectName(QStringLiteral("sgDevices"));
  sgDevices->setContextMenuPolicy(Qt::CustomContextMenu);
  devLayout->addWidget(sgDevices);
  GridPopupEdit = new QLineEdit(sgDevices);  // lives inside the table
  GridPopupEdit->setObjectName(QStringLiteral("GridPopupEdit"));
  GridPopupEdit->hide();

  gbData = new QGroupBox(Tr("Данные "), central);
  gbData->setObjectName(QStringLiteral("gbData"));
  auto* dataLayout = new QVBoxLayout(gbData);
  dataLayout->setContentsMargins(2, 2, 2, 2);
  sgData = new TStringGrid(gbData, 1);
  sgData->setObjectName(QStringLiteral("sgData"));
  dataLayout->addWidget(sgData);
  gbData->hide();

  CreateStatePanel();
  layout->addWidget(gbDevices, 1);
  layout->addWidget(gbData, 1);
  layout->addWidget(gbState, 0);
  setCentralWidget(central);

  Animate_T = new TAnimate(this);
  Animate_T->setObjectName(QStringLiteral("Animate_T"));
  Animate_T->hide();

  connect(sgDevices, &TStringGrid::GridMouseDown, this, &TMainForm::sgDevicesMouseDown);
  connect(sgDevices, &TStringGrid::GridDblClick, this,
          [this] { RunGuarded([this] { sgDevicesDblClick(); }); });
  const auto popup = [this] {
    PopupMenuPopup();
    PopupMenu->popup(QCursor::pos());
  };
  connect(sgDevices, &QWidget::customContextMenuRequested, this, popup);
  // The header row is a widget of its own: it opens the same menu, whose
  // device commands are then disabled (no device row is hit).
  sgDevices->horizontalHeader()->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(sgDevices->horizontalHeader(), &QWidget::customContextMenuRequested, this, popup);
  sgDevices->OnDrawCell = [this](QPainter& canvas, int col, int row, const QRect& rect) {
    sgDevicesDrawCell(canvas, col, row, rect);
  };
  SetKeyPressFilter(GridPopupEdit, [this](QChar key) {
    QChar result;
    RunGuarded([&] { result = FEditorKeyPress ? FEditorKeyPress(key) : key; });
    return result;
  });
  GridPopupEdit->installEventFilter(this);
}

void TMainForm::CreateStatePanel() {
  gbState = new QGroupBox(Tr(" Состояние "), centralWidget() ? centralWidget() : this);
  gbState->setObjectName(QStringLiteral("gbState"));
  auto* grid = new QGridLayout(gbState);
  grid->setContentsMargins(6, 4, 6, 4);

  auto* ops = new QGridLayout;
  ops->addWidget(new QLabel(Tr("Последняя операция"), gbState), 0, 0);
  lLastOperation = StaticText(gbState, "lLastOperation");
  ops->addWidget(lLastOperation, 0, 1);
  ops->addWidget(new QLabel(Tr("Результат"), gbState), 1, 0);
  lLastResult = StaticText(gbState, "lLastResult");
  ops->addWidget(lLastResult, 1, 1);
  ops->setColumnStretch(1, 1);
  grid->addLayout(ops, 0, 0, 1, 2);

  auto* level = new QGroupBox(Tr("Измерение уровня"), gbState);
  level->setObjectName(QStringLiteral("gbLevel"));
  auto* lv = new QGridLayout(level);
  lC = new QLabel(Tr("С"), level);
  lC->setObjectName(QStringLiteral("lC"));
  stC = StaticText(level, "stC");
  lH = new QLabel(QStringLiteral("H"), level);
  lH->setObjectName(QStringLiteral("lH"));
  stH = StaticText(level, "stH");
  lv->addWidget(lC, 0, 0);
  lv->addWidget(stC, 0, 1);
  lv->addWidget(lH, 1, 0);
  lv->addWidget(stH, 1, 1);
  chbRangeError = FlagBox(level, "chbRangeError", "Выход за  диапазон");
  chbDustError = FlagBox(level, "chbDustError", "Загрязнение ЧЭ");
  chbDACError = FlagBox(level, "chbDACError", "Ошибка калибровки DAC");
  lv->addWidget(chbRangeError, 0, 2);
  lv->addWidget(chbDustError, 1, 2);
  lv->addWidget(chbDACError, 2, 2);
  lv->setColumnMinimumWidth(1, 64);
  grid->addWidget(level, 1, 0);

  auto* temps = new QVBoxLayout;
  temps->addWidget(new QLabel(Tr("Распределение температур"), gbState));
  sgTemperature = new TStringGrid(gbState, 0);
  sgTemperature->setObjectName(QStringLiteral("sgTemperature"));
  sgTemperature->SetDefaultRowHeight(22);
  // 40 pixels, or what "-100.00" needs in the font in use.
  sgTemperature->SetDefaultColWidth(
      qMax(40, sgTemperature->fontMetrics().horizontalAdvance(QStringLiteral("-100.00")) + 6));
  sgTemperature->SetColCount(1);
  sgTemperature->SetRowCount(2);
  sgTemperature->setFixedHeight(sgTemperature->horizontalHeader()->sizeHint().height() + 22 +
                                sgTemperature->horizontalScrollBar()->sizeHint().height() + 4);
  sgTemperature->setFocusPolicy(Qt::NoFocus);
  temps->addWidget(sgTemperature);
  auto* flags = new QHBoxLayout;
  chbEEPROMError = FlagBox(gbState, "chbEEPROMError", "Ошибка КС EEPROM");
  chbBusError = FlagBox(gbState, "chbBusError", "Ошибка шлейфа");
  chbSensorError = FlagBox(gbState, "chbSensorError", "Ошибка датчика");
  flags->addWidget(chbEEPROMError);
  flags->addWidget(chbBusError);
  flags->addWidget(chbSensorError);
  flags->addStretch(1);
  temps->addLayout(flags);
  temps->addStretch(1);
  grid->addLayout(temps, 1, 1);
  grid->setColumnStretch(1, 1);
}

void TMainForm::FormCreate() {
  try {
    Animate_T->SetResName(QStringLiteral("MOVE1"));
    Animate_T->SetStopFrame(10);
  } catch (...) {
    // No clip: polling then shows no animation.
  }
  setWindowTitle(ApplicationTitle());
  move(0, 0);
  PlaceAnimation();
  sgDevices->SetColCount(11);
  struct TColumn {
    const char* Header;
    int Width;
  };
  const TColumn columns[] = {{"", 16},        {"Имя", 124}, {"Зав. №", 96},     {"Сист. адрес", 96},
                             {"Т. изм.", 48}, {"С1", -1},   {"НУ [дм]", 48},    {"C2", -1},
                             {"H2", -1},      {"Kуср", -1}, {"Примечание", 240}};
  const QFontMetrics fm(sgDevices->horizontalHeader()->font());
  for (int c = 0; c < 11; ++c) {
    // At least as wide as the header text in the font in use.
    const int width = columns[c].Width < 0 ? -1
                                           : qMax(columns[c].Width,
                                                  fm.horizontalAdvance(Tr(columns[c].Header)) + 10);
    sgDevices->SetColWidths(c, width);
    sgDevices->SetCells(c, 0, Tr(columns[c].Header));
  }
  sgDevices->SetRowCount(2);
  RefreshPortDescription();
  // The port is closed: "Закрыть соединение" too starts disabled.
  UpdatePortActions(false);
  ApplyProtocol(ChooseStartProtocol());
}

void TMainForm::PlaceAnimation() {
  const int y =
      ToolBar1->geometry().top() + qMax(0, (ToolBar1->height() - Animate_T->height()) / 2);
  Animate_T->move(width() - Animate_T->width() - 16, y);
  Animate_T->raise();
}

void TMainForm::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  PlaceAnimation();  // anchored top-right
}

TMainForm::~TMainForm() {
  if (auto* dispatcher = QAbstractEventDispatcher::instance(thread()))
    disconnect(dispatcher, nullptr, this, nullptr);
  StopWorkers();
  // The history writes what it holds, then lets go of the statistics.
  if (FDiagnostics) FDiagnostics->Statistics().SetListener(nullptr);
  FHistory.reset();
  // The recorder lets go of the port before the port itself goes.
  delete FDiagnostics;
  FDiagnostics = nullptr;
  SetProcessMessagesHook(nullptr);
  delete FMark;
  FMark = nullptr;
}
