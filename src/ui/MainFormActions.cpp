// The action list, the menus, the toolbar and the enabling rules.
#include <QAbstractEventDispatcher>
#include <QAction>
#include <QActionGroup>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include "Icons.h"
#include "MainForm.h"
#include "UiHooks.h"

namespace {

struct TActionDesign {
  QAction* TMainForm::*Field;
  const char* Name;
  const char* Caption;
  const char* Hint;  // "" for none
  const char* Category;
  const char* Image;  // "" for none
  bool Enabled;
  bool Visible;
};

// Captions and hints are the system's own texts.
const TActionDesign kActions[] = {
    {&TMainForm::PortPropertiesAction, "PortPropertiesAction", "Последовательный порт",
     "Настройка параметров последовательного порта", "Port Actions", "port", true, true},
    {&TMainForm::OpenPortAction, "OpenPortAction", "Установить соединение",
     "Установить соединение по последовательному порту", "Port Actions", "connect", true, true},
    {&TMainForm::ClosePortAction, "ClosePortAction", "Закрыть соединение",
     "Закрыть соединение по последовательному порту", "Port Actions", "disconnect", true, true},
    {&TMainForm::NewAction, "NewAction", "Новый", "Создать новую конфигурацию", "File Actions",
     "new", true, true},
    {&TMainForm::OpenAction, "OpenAction", "Открыть", "Загрузить конфигурацию из файла",
     "File Actions", "open", true, true},
    {&TMainForm::SaveAction, "SaveAction", "Сохранить", "Записать конфигурацию в текущий файл",
     "File Actions", "save", false, true},
    {&TMainForm::SaveAsAction, "SaveAsAction", "Сохранить как",
     "Записать конфигурацию в новый файл", "File Actions", "saveas", true, true},
    {&TMainForm::AddDeviceAction, "AddDeviceAction", "Добавить устройство", "Добавить устройство",
     "Edit Actions", "add", true, true},
    {&TMainForm::RemoveDeviceAction, "RemoveDeviceAction", "Удалить устройство",
     "Удалить устройство", "Edit Actions", "remove", true, true},
    {&TMainForm::RunAction, "RunAction", "Начать опрос", "Начать опрос приборов", "Run Actions",
     "run", false, true},
    {&TMainForm::StopAction, "StopAction", "Остановить опрос", "Остановить опрос приборов",
     "Run Actions", "stop", false, true},
    {&TMainForm::SetIntervalAction, "SetIntervalAction", "Период опроса",
     "Изменить период опроса приборов", "Port Actions", "interval", true, true},
    {&TMainForm::AboutAction, "AboutAction", "О программе", "Сведения о программе", "Over Actions",
     "about", true, true},
    {&TMainForm::idReadAction, "idReadAction", "Прочитать идентификацию", "", "Transaction Actions",
     "", true, true},
    {&TMainForm::saWriteAction, "saWriteAction", "Изменить системный адрес", "",
     "Transaction Actions", "", true, true},
    {&TMainForm::snReadAction, "snReadAction", "Прочитать число датчиков", "",
     "Transaction Actions", "", true, true},
    {&TMainForm::SearchAction, "SearchAction", "Сканирование линии", "Поиск подключенных устройств",
     "Run Actions", "search", false, true},
    {&TMainForm::tReadAction, "tReadAction", "Прочитать температурные значения", "",
     "Transaction Actions", "", true, true},
    {&TMainForm::clbrReadAction, "clbrReadAction", "Прочитать калибровочные точки", "",
     "Transaction Actions", "", true, false},
    {&TMainForm::clbrWriteAction, "clbrWriteAction", "Изменить калибровку", "",
     "Transaction Actions", "", true, false},
    {&TMainForm::CoeffReadAction, "CoeffReadAction", "Прочитать коэффициент усреднения", "",
     "Transaction Actions", "", true, true},
    {&TMainForm::CoeffWriteAction, "CoeffWriteAction", "Изменить коэффициент усреднения", "",
     "Transaction Actions", "", true, true},
    {&TMainForm::hReadAction, "hReadAction", "Прочитать значение уровня", "", "Transaction Actions",
     "", true, true},
    {&TMainForm::UpdateDeviceAction, "UpdateDeviceAction", "Записать настройку в приборы",
     "Запись настроечных параметров в приборы", "Run Actions", "write", false, false},
    {&TMainForm::RefreshDeviceAction, "RefreshDeviceAction", "Прочитать настройку  из приборов",
     "Прочитать настроечные данные из приборов", "Run Actions", "read", false, true},
    {&TMainForm::tWriteAction, "tWriteAction", "Записать настройку в прибор", "",
     "Transaction Actions", "", true, false},
    {&TMainForm::ConfigReadAction, "ConfigReadAction", "Прочитать настройки из прибора", "",
     "Transaction Actions", "", true, false},
    {&TMainForm::AllAddressWriteAction, "AllAddressWriteAction", "Изменить все системные адреса",
     "Пакетное изменение системных адресов ", "Transaction Actions", "", false, true},
    {&TMainForm::SortByPlantNumberAction, "SortByPlantNumberAction",
     "Упорядочить по заводским номерам", "", "Edit Actions", "", true, true},
    {&TMainForm::SortBySystemAddressAction, "SortBySystemAddressAction",
     "Упорядочить по системным адресам", "", "Edit Actions", "", true, true},
    {&TMainForm::FindLostNumbersAction, "FindLostNumbersAction", "\"Потерянные\" заводские номера",
     "", "Edit Actions", "", true, true},
    {&TMainForm::SwitchForLargis1ProtocolAction, "SwitchForLargis1ProtocolAction", "Ларгис-1",
     "Использовать протокол Ларгис-1", "Port Actions", "largis1", true, true},
    {&TMainForm::SwitchForModbusProtocolAction, "SwitchForModbusProtocolAction", "Modbus",
     "Использовать протокол Modbus", "Port Actions", "modbus", true, true},
    {&TMainForm::ModbusDataReadAction, "ModbusDataReadAction", "Получить данные от устройства", "",
     "Transaction Actions", "", true, true},
    {&TMainForm::UploadSoftwareAction, "UploadSoftwareAction", "Загрузить ПО в термоподвеску", "",
     "Transaction Actions", "", true, true},
    {&TMainForm::DeviceToModbusModeAction, "DeviceToModbusModeAction",
     "Перевести приборы на протокол Modbus", "", "Transaction Actions", "", true, true},
    {&TMainForm::DeviceToLargis1ModeAction, "DeviceToLargis1ModeAction",
     "Перевести приборы на протокол Ларгис-1", "", "Transaction Actions", "", true, true},
    {&TMainForm::EmptyBunkerCalibrationAction, "EmptyBunkerCalibrationAction",
     "Калибровка на пустом бункере", "", "Transaction Actions", "", true, true},
    {&TMainForm::ReadUnmeasurableLevelAction, "ReadUnmeasurableLevelAction",
     "Прочитать неизмеряемый уровень", "", "Transaction Actions", "", true, true},
    {&TMainForm::WriteUnmeasurableLevelAction, "WriteUnmeasurableLevelAction",
     "Изменить неизмеряемый уровень", "", "Transaction Actions", "", true, true},
    {&TMainForm::TotalDownloadSoftwareAction, "TotalDownloadSoftwareAction",
     "Обновить ПО для всех подвесок", "", "Run Actions", "uploadall", true, true},
};

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

}  // namespace

void TMainForm::CreateActions() {
  for (const TActionDesign& d : kActions) {
    auto* a = new QAction(Tr(d.Caption), this);
    a->setObjectName(QLatin1String(d.Name));
    if (*d.Hint) {
      a->setToolTip(Tr(d.Hint));
      a->setStatusTip(Tr(d.Hint));
    } else {
      a->setToolTip(QString());
    }
    a->setProperty("category", QLatin1String(d.Category));
    if (*d.Image) a->setIcon(ActionIcon(d.Image));
    a->setEnabled(d.Enabled);
    a->setVisible(d.Visible);
    a->setIconVisibleInMenu(false);
    this->*d.Field = a;
    ActionList1.append(a);
  }
  // The two protocol actions: a radio group, auto-check, the native protocol
  // checked by design.
  ProtocolGroup = new QActionGroup(this);
  ProtocolGroup->setExclusive(true);
  for (QAction* a : {SwitchForLargis1ProtocolAction, SwitchForModbusProtocolAction}) {
    a->setCheckable(true);
    ProtocolGroup->addAction(a);
  }
  SwitchForLargis1ProtocolAction->setChecked(true);
  connect(SwitchForLargis1ProtocolAction, &QAction::toggled, this,
          [this](bool on) { FProtocol.store(on ? dpLargis1 : dpModbus); });

  ConnectAction(PortPropertiesAction, &TMainForm::PortPropertiesActionExecute);
  ConnectAction(OpenPortAction, &TMainForm::OpenPortActionExecute);
  ConnectAction(ClosePortAction, &TMainForm::ClosePortActionExecute);
  ConnectAction(NewAction, &TMainForm::NewActionExecute);
  ConnectAction(OpenAction, &TMainForm::OpenActionExecute);
  ConnectAction(SaveAction, &TMainForm::SaveActionExecute);
  ConnectAction(SaveAsAction, &TMainForm::SaveAsActionExecute);
  ConnectAction(AddDeviceAction, &TMainForm::AddDeviceActionExecute);
  ConnectAction(RemoveDeviceAction, &TMainForm::RemoveDeviceActionExecute);
  ConnectAction(AboutAction, &TMainForm::AboutActionExecute);
  ConnectAction(SortByPlantNumberAction, &TMainForm::SortByPlantNumberActionExecute);
  ConnectAction(SortBySystemAddressAction, &TMainForm::SortBySystemAddressActionExecute);
  ConnectAction(FindLostNumbersAction, &TMainForm::FindLostNumbersActionExecute);
  ConnectAction(SwitchForLargis1ProtocolAction, &TMainForm::SwitchForLargis1ProtocolActionExecute);
  ConnectAction(SwitchForModbusProtocolAction, &TMainForm::SwitchForModbusProtocolActionExecute);

  BlockTimer = new QTimer(this);
  BlockTimer->setObjectName(QStringLiteral("BlockTimer"));
  BlockTimer->setInterval(60000);
  BlockTimer->setSingleShot(true);  // switches itself off when it fires
}

void TMainForm::ConnectAction(QAction* action, void (TMainForm::*handler)()) {
  connect(action, &QAction::triggered, this,
          [this, handler] { RunGuarded([&] { (this->*handler)(); }); });
}

void TMainForm::CreateMenus() {
  QMenuBar* bar = menuBar();
  mFile = bar->addMenu(Tr("Файл"));
  mFile->setObjectName(QStringLiteral("mFile"));
  mFile->addActions({NewAction, OpenAction, SaveAction, SaveAsAction});
  mFile->addSeparator();
  mExit = mFile->addAction(Tr("Выход"));
  mExit->setObjectName(QStringLiteral("mExit"));
  connect(mExit, &QAction::triggered, this, &TMainForm::ExitClick);
  connect(mFile, &QMenu::aboutToShow, this, &TMainForm::mFileClick);

  mRun = bar->addMenu(Tr("Пуск"));
  mRun->setObjectName(QStringLiteral("mRun"));
  mRun->addActions({OpenPortAction, ClosePortAction});
  mRun->addSeparator();
  mRun->addActions({DeviceToModbusModeAction, DeviceToLargis1ModeAction});
  mDeviceToLargis = DeviceToLargis1ModeAction;
  mRun->addSeparator();
  mRun->addActions({RunAction, StopAction});
  mRun->addSeparator();
  mRun->addActions({SearchAction, AllAddressWriteAction, UpdateDeviceAction, RefreshDeviceAction,
                    TotalDownloadSoftwareAction});

  mSettings = bar->addMenu(Tr("Настройка"));
  mSettings->setObjectName(QStringLiteral("mSettings"));
  mSettings->addActions({PortPropertiesAction, SetIntervalAction});
  mSettings->addSeparator();
  mProtocol = mSettings->addMenu(Tr("Используемый протокол"));
  mProtocol->setObjectName(QStringLiteral("mProtocol"));
  mProtocol->addActions({SwitchForLargis1ProtocolAction, SwitchForModbusProtocolAction});
  mLargis1 = SwitchForLargis1ProtocolAction;
  mModbus = SwitchForModbusProtocolAction;

  mHelp = bar->addMenu(Tr("Справка"));
  mHelp->setObjectName(QStringLiteral("mHelp"));
  mHelp->addAction(AboutAction);

  // The context menu of the device table: items standing for their actions,
  // so that an item can be disabled or hidden on its own.
  PopupMenu = new QMenu(this);
  PopupMenu->setObjectName(QStringLiteral("PopupMenu"));
  auto item = [this](const char* name, QAction* action, bool hidden = false) {
    auto* it = new QAction(action->text(), PopupMenu);
    it->setObjectName(QLatin1String(name));
    it->setProperty("itemHidden", hidden);
    connect(it, &QAction::triggered, action, &QAction::trigger);
    PopupMenu->addAction(it);
    FPopupItems.append(qMakePair(it, action));
    return it;
  };
  pmT = item("pmT", tReadAction);
  pmLevel = item("pmLevel", hReadAction);
  pmModbusReadData = item("pmModbusReadData", ModbusDataReadAction);
  PopupMenu->addSeparator();
  pmID = item("pmID", idReadAction);
  pmSN = item("pmSN", snReadAction);
  pmCA = item("pmCA", clbrReadAction);
  pmCoeff = item("pmCoeff", CoeffReadAction, true);
  pmConfigRead = item("pmConfigRead", ConfigReadAction);
  pmReadUnmeasurableLevel = item("pmReadUnmeasurableLevel", ReadUnmeasurableLevelAction);
  PopupMenu->addSeparator();
  pmSA = item("pmSA", saWriteAction);
  pmClbr = item("pmClbr", clbrWriteAction);
  pmCoeffWrite = item("pmCoeffWrite", CoeffWriteAction, true);
  pmWriteUnmeasurableLevel = item("pmWriteUnmeasurableLevel", WriteUnmeasurableLevelAction);
  pmTuneWrite = item("pmTuneWrite", tWriteAction);
  mEmptyCalibration = item("mEmptyCalibration", EmptyBunkerCalibrationAction);
  pmSoftUpload = item("pmSoftUpload", UploadSoftwareAction);
  PopupMenu->addSeparator();
  pmSortPN = item("pmSortPN", SortByPlantNumberAction);
  pmFindLostNumbers = item("pmFindLostNumbers", FindLostNumbersAction);
  pmSortSA = item("pmSortSA", SortBySystemAddressAction);
  PopupMenu->addSeparator();
  pmNoMark = PopupMenu->addAction(Tr("Снять выделение цветом"));
  pmNoMark->setObjectName(QStringLiteral("pmNoMark"));
  connect(pmNoMark, &QAction::triggered, this, &TMainForm::pmNoMarkClick);

  // One update pass before any menu opens.
  for (QMenu* m : {mFile, mRun, mSettings, mProtocol, mHelp})
    connect(m, &QMenu::aboutToShow, this, &TMainForm::UpdateActions);
  connect(PopupMenu, &QMenu::aboutToShow, this, &TMainForm::PopupMenuPopup);
  // …and whenever the event loop is about to wait: the idle-time update.
  if (auto* dispatcher = QAbstractEventDispatcher::instance(thread()))
    connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &TMainForm::UpdateActions);
}

void TMainForm::CreateToolBar() {
  ToolBar1 = addToolBar(QStringLiteral("ToolBar1"));
  ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
  ToolBar1->setMovable(false);
  ToolBar1->setFloatable(false);
  ToolBar1->setIconSize(QSize(32, 32));
  ToolBar1->setToolButtonStyle(Qt::ToolButtonIconOnly);
  ToolBar1->toggleViewAction()->setVisible(false);
  auto fixed = [](QToolButton* b) {
    b->setFixedSize(39, 38);
    b->setIconSize(QSize(32, 32));
    b->setAutoRaise(true);
  };
  tbConnection = new QToolButton(ToolBar1);
  tbConnection->setObjectName(QStringLiteral("tbConnection"));
  tbConnection->setDefaultAction(OpenPortAction);
  fixed(tbConnection);
  ToolBar1->addWidget(tbConnection);
  tbRunStop = new QToolButton(ToolBar1);
  tbRunStop->setObjectName(QStringLiteral("tbRunStop"));
  tbRunStop->setDefaultAction(RunAction);
  fixed(tbRunStop);
  ToolBar1->addWidget(tbRunStop);
  auto add = [&](QAction* a) {
    ToolBar1->addAction(a);
    auto* b = qobject_cast<QToolButton*>(ToolBar1->widgetForAction(a));
    if (b) fixed(b);
    return b;
  };
  add(SearchAction);
  add(RefreshDeviceAction);
  add(UpdateDeviceAction);
  ToolBar1->addSeparator();
  add(AddDeviceAction);
  add(RemoveDeviceAction);
  ToolBar1->addSeparator();
  tbLargis1 = add(SwitchForLargis1ProtocolAction);
  tbLargis1->setObjectName(QStringLiteral("tbLargis1"));
  tbModbus = add(SwitchForModbusProtocolAction);
  tbModbus->setObjectName(QStringLiteral("tbModbus"));
  ToolBar1->addSeparator();
  add(AboutAction);
}

void TMainForm::SetButtonAction(QToolButton* button, QAction* action) {
  // setDefaultAction adds the action to the button's own list, and a button
  // with more than one action grows a drop-down menu of them: the button
  // carries exactly one.
  for (QAction* old : button->actions())
    if (old != action) button->removeAction(old);
  button->setDefaultAction(action);
}

void TMainForm::UpdatePortActions(bool open) {
  OpenPortAction->setEnabled(!open);
  PortPropertiesAction->setEnabled(!open);
  OpenAction->setEnabled(!open);
  for (QAction* a : {ClosePortAction, RunAction, SearchAction, UpdateDeviceAction,
                     RefreshDeviceAction, AllAddressWriteAction})
    a->setEnabled(open);
  SetButtonAction(tbConnection, open ? ClosePortAction : OpenPortAction);
}

void TMainForm::mFileClick() {
  SaveAction->setEnabled(FModified && !FFileName.isEmpty());
}

void TMainForm::RefreshDeviceActionUpdate() {
  RefreshDeviceAction->setEnabled(FComPort.Connected() && DeviceCount() > 0 && !FThread &&
                                  !FUploadThread);
}

void TMainForm::TotalDownloadSoftwareActionUpdate() {
  const bool modbus = CurrentProtocol() == dpModbus;
  const bool enabled =
      FComPort.Connected() && !Busy() && DeviceCount() > 0 && modbus && !BlockTimer->isActive();
  for (QAction* a : {UploadSoftwareAction, TotalDownloadSoftwareAction}) {
    a->setVisible(modbus);
    a->setEnabled(enabled);
  }
  // The one-device upload needs a device to address.
  if (SelectedIndex() < 0) UploadSoftwareAction->setEnabled(false);
}

void TMainForm::SwitchForProtocolActionUpdate() {
  for (QAction* a : {SwitchForLargis1ProtocolAction, SwitchForModbusProtocolAction})
    a->setEnabled(!Busy() && !a->isChecked());
}

void TMainForm::ForLargisProtocolActionUpdate() {
  const bool largis = CurrentProtocol() == dpLargis1;
  tReadAction->setVisible(largis);
  hReadAction->setVisible(largis);
}

void TMainForm::ForModbusProtocolActionUpdate() {
  ModbusDataReadAction->setVisible(CurrentProtocol() == dpModbus);
  // It reads the port: not while it is closed or a worker uses it, and not
  // without a selected device to address.
  ModbusDataReadAction->setEnabled(FComPort.Connected() && !Busy() && SelectedIndex() >= 0);
}

// While a worker thread is set, every action that would use the port or
// change the device list, the protocol or the port settings stays disabled;
// when the last worker has gone, the states it changed are restored.
void TMainForm::WorkerGuardUpdate() {
  const bool busy = Busy();
  if (busy) {
    for (QAction* a : {PortPropertiesAction,
                       OpenPortAction,
                       ClosePortAction,
                       NewAction,
                       OpenAction,
                       AddDeviceAction,
                       RemoveDeviceAction,
                       RunAction,
                       SearchAction,
                       UpdateDeviceAction,
                       AllAddressWriteAction,
                       SortByPlantNumberAction,
                       SortBySystemAddressAction,
                       idReadAction,
                       saWriteAction,
                       snReadAction,
                       tReadAction,
                       clbrReadAction,
                       clbrWriteAction,
                       CoeffReadAction,
                       CoeffWriteAction,
                       hReadAction,
                       tWriteAction,
                       ConfigReadAction})
      a->setEnabled(false);
    if (GridPopupEdit->isVisible()) HideEditor();
  } else if (FWasBusy) {
    UpdatePortActions(FComPort.Connected());
    for (QAction* a : {NewAction, AddDeviceAction, RemoveDeviceAction, SortByPlantNumberAction,
                       SortBySystemAddressAction, idReadAction, saWriteAction, snReadAction,
                       tReadAction, clbrReadAction, clbrWriteAction, CoeffReadAction,
                       CoeffWriteAction, hReadAction, tWriteAction, ConfigReadAction})
      a->setEnabled(true);
  }
  FWasBusy = busy;
}

void TMainForm::UpdateActions() {
  const bool open = FComPort.Connected();
  const bool selected = SelectedIndex() >= 0;
  const bool idle = !Busy();
  RefreshDeviceActionUpdate();
  TotalDownloadSoftwareActionUpdate();
  SwitchForProtocolActionUpdate();
  ForLargisProtocolActionUpdate();
  ForModbusProtocolActionUpdate();
  FindLostNumbersAction->setEnabled(DeviceCount() > 2);
  DeviceToModbusModeAction->setEnabled(open && idle && CurrentProtocol() == dpModbus);
  DeviceToLargis1ModeAction->setEnabled(open && idle && CurrentProtocol() == dpLargis1);
  EmptyBunkerCalibrationAction->setEnabled(selected && open && idle);
  ReadUnmeasurableLevelAction->setEnabled(selected && open && idle);
  WriteUnmeasurableLevelAction->setVisible(CurrentProtocol() == dpModbus);
  WriteUnmeasurableLevelAction->setEnabled(open && idle && selected);
  if (LineCheckAction) LineCheckAction->setEnabled(open && idle && DeviceCount() > 0);
  WorkerGuardUpdate();
}

void TMainForm::PopupMenuPopup() {
  UpdateActions();
  const bool commands =
      DeviceCount() > 0 && FComPort.Connected() && !Busy() && FHitCol >= 0 && FHitRow > 0;
  const QList<QAction*> ruled = {pmT,     pmID,         pmSA,    pmSN,        pmCA,        pmClbr,
                                 pmCoeff, pmCoeffWrite, pmLevel, pmTuneWrite, pmConfigRead};
  for (const auto& [it, action] : FPopupItems) {
    it->setText(action->text());
    it->setVisible(action->isVisible() && !it->property("itemHidden").toBool());
    it->setEnabled(ruled.contains(it) ? commands : action->isEnabled());
  }
}
