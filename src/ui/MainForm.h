// The main window: owner of the port, the device list, the configuration
// state, the polling period and the cell marks; the one action list behind
// the toolbar, the menus and the device table's context menu; the device
// table and the state panel; and the host the worker threads report to.
//
// Other parts of the window live in their own files as members of TMainForm:
//   MainFormConfig.cpp    New / Open / Save / Save As
//   MainFormPolling.cpp   RunAction, StopAction, SetIntervalAction, sgData
//   MainFormScan.cpp      SearchAction
//   MainFormBatch.cpp     RefreshDeviceAction, UpdateDeviceAction, AllAddressWriteAction
//   MainFormUpload.cpp    UploadSoftwareAction, TotalDownloadSoftwareAction
//   MainFormCommands.cpp  the single-device commands of the context menu
//   MainFormViews.cpp     the "Вид" menu and the docks beside the tables
// Their handlers are connected in ConnectOperationActions() (MainForm.cpp).
//
// Threading: everything here runs on the user-interface thread. Worker threads
// reach the window only through IOperationHost: the synchronised calls and the
// progress reports run on the user-interface thread while the worker waits
// (RunOnUiThread). A worker is started with RegisterWorker (then
// ShowProgress/ShowProgressX start it inside their window) or StartWorker.
#pragma once

#include <QColor>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "Animate.h"
#include "ComPort.h"
#include "DeviceCommands.h"
#include "DeviceList.h"
#include "DeviceProtocol.h"
#include "OperationHost.h"
#include "StringGrid.h"
#include "UploadThreads.h"
#include "WorkerThread.h"

class QAction;
class QActionGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QTimer;
class QToolBar;
class QToolButton;
class TAnimate;
class TSoftwareUploadThread;
class TViewHub;
class TSessionTrendStore;
class TViewManager;
class TLineDiagnostics;
class TAlarmsDock;
class TTrendDock;
class THistoryRecorder;

// The mark put into a device-table cell whose value the device has not
// confirmed. Color is light red: the toolkit's 0x9090FF (BGR), #FF9090.
class TColorFlag {
 public:
  explicit TColorFlag(QColor color) : Color(color) {}
  QColor Color;
};

enum class TSortKey { PlantNumber, SystemAddress };

class TMainForm : public QMainWindow, public IOperationHost {
  Q_OBJECT
 public:
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  // ---- IOperationHost (callable from any thread)
  TComPort& ComPort() override { return FComPort; }
  TDeviceList& Devices() override { return FDevices; }
  TDeviceProtocol CurrentProtocol() const override { return FProtocol.load(); }
  void RefreshDataGrid() override;
  void AddDevice(TDevice* device) override;
  void ClearWrittenMarks(int row, bool address, bool sensorCount, bool calibration,
                         bool coefficient) override;
  void ProgressPercent(int percent) override;
  void ProgressDevice(std::uint16_t plantNumber, std::uint8_t address) override;
  void TotalUploadProgress(int index, int percent) override;
  void Synchronize(const std::function<void()>& f) override { RunOnUiThread(f); }

  // Runs f on the user-interface thread and returns when it has run: directly
  // when already there, otherwise as a blocking queued call.
  void RunOnUiThread(const std::function<void()>& f);
  // The window messages of the workers, handled on the user-interface thread.
  void HandleWindowMessage(int message, int wParam, int lParam);

  // Hooks set by the operation files: the data-table refresh of polling and
  // the two bars of the firmware upload (overall %, device %).
  std::function<void()> FOnRefreshDataGrid;
  std::function<void(int overall, int device)> FOnTotalUploadProgress;

  // ---- fields
  QString FFileName;
  TDeviceList FDevices;
  std::uint32_t FPeriod = 200;  // ms
  bool FModified = false;
  TColorFlag* FMark;  // owned
  int FSelectedIndex = -1;
  int FMarkerRow = -1;  // device-table row showing the selection marker, -1 none
  int FMouseX = 0, FMouseY = 0;
  int FHitCol = 0, FHitRow = 0;
  QPointer<TWorkerThread> FThread;        // not owned: frees itself
  QPointer<TWorkerThread> FUploadThread;  // not owned: frees itself
  // Set when "Остановить опрос" left a polling thread still in an exchange:
  // the state panel is filled when it has ended.
  bool FShowStateAtEnd = false;

  // ---- worker threads
  // Stores the thread in FThread, sets free-on-end and the end notification
  // ThreadTerminated, closes the in-place editor; does not start it.
  void RegisterWorker(TWorkerThread* thread);
  // RegisterWorker, then start (polling: no progress window in front).
  void StartWorker(TWorkerThread* thread);
  // The end notification of FThread.
  void ThreadTerminated();
  // True while a worker (FThread) or the upload thread runs.
  bool Busy() const { return FThread || FUploadThread; }
  // Asks every worker to stop and waits for it, serving its synchronised
  // calls meanwhile; used when the window closes.
  void StopWorkers();

  // ---- polling period
  std::uint32_t MinimumPeriod() const;
  void SetPeriod(std::uint32_t value);
  void EnforceMinimumPeriod();

  // ---- device list, table and state panel
  int DeviceCount() const { return FDevices.Count(); }
  int SelectedIndex();
  void SelectDevice(int index);
  void RefreshSelection();
  void ClearSelectionMarker();
  void ClearStatePanel();
  void ShowDeviceState(bool temperatures, bool level);
  void SetCellMark(int col, int row, TColorFlag* mark);
  TColorFlag* GetCellMark(int col, int row) const;
  void DeleteDevice(int index);
  void SortDevices(TSortKey key);
  void FillRow(int row);
  void ClearAllMarks();
  // Empties the table to its header and one empty row (no marks).
  void ResetDeviceTable();
  void HideEditor();
  // The text a temperature word is shown as: "" (no data), "****" (fault) or
  // degrees with two decimals and the system's decimal separator.
  static QString TemperatureText(std::uint16_t word);

  // ---- polling (MainFormPolling.cpp)
  void RunActionExecute();
  void StopActionExecute();
  void SetIntervalActionExecute();
  // Lays out sgData for the current list: headers, widths, one row a device
  // with its name.
  void BuildDataGrid();
  // The body of RefreshDataGrid, on the user-interface thread: every device
  // row from the records, with the table's repainting held until the end.
  void UpdateDataGrid();
  // The texts of columns 1 … 3 + sensorColumns of a device's data-table row:
  // level code, level, state, then one temperature per column (empty beyond
  // the device's own sensors). Takes the device's temperature lock.
  static QStringList DataRowTexts(const TDevice& device, int sensorColumns);
  // "0x2D": the state bits 0…14 of both state words, at least two upper-case
  // hexadecimal digits.
  static QString StateText(std::uint16_t levelState, std::uint16_t temperatureState);
  // The texts sgData shows now, row by row (device i at index i, columns
  // 1 …); a refresh writes only the cells whose text changed.
  QVector<QStringList> FDataTexts;
  // The failure text a data row is marked with ("" = not marked): the last
  // poll of the device failed (PollOutcomes); the next good one clears it.
  QVector<QString> FDataFailures;
  // The colour of a marked data row, used for nothing else there.
  static const QColor kFailedRowColor;
  // Marks or unmarks row i of sgData; true when it changed.
  bool MarkDataRow(int i, const QString& failure);
  // Undoes the polling layout: animation off, the start button back, the
  // device table and state panel in place of the data table (the panel is
  // filled by the caller, once no thread writes the records).
  void RestorePollingLayout();

  // ---- a worker ended by a port failure (the adapter pulled): the port is
  // closed so that its state shows, and the user is told once
  void ClosePortAfterFailure();
  // The port failure that ended FThread's worker: the port closed, one message.
  void WorkerPortFailed(const std::string& error);
  // "Ошибка последовательного порта <port>: <error>"
  QString PortFailureText(const std::string& error) const;

  // ---- service mode (MainFormService.cpp): "Настройка → Сервисный режим"
  // shows the finished commands the window otherwise hides; remembered
  // between runs (TAppSettings). Off, the window is as designed.
  QAction* ServiceModeAction;
  void CreateServiceMode();
  void ApplyServiceMode(bool on);

  // ---- views beside the tables (MainFormViews.cpp)
  // The docks' source: each cycle's snapshot and the device they show.
  TViewHub* FViewHub = nullptr;
  TViewManager* FViewManager = nullptr;
  QMenu* mView = nullptr;
  // Takes the readings of every device as one snapshot and hands it to the
  // views; `cycle` counts the cycles of the polling run, 0 for a single read.
  void PublishSnapshot(std::uint64_t cycle);
  // The device the views show: the data table's cursor row while polling,
  // else the selected device.
  void UpdateViewedDevice();
  // Completed cycles of the current polling run.
  std::uint64_t FPollCycles = 0;
  // A single read of the context menu (temperatures, level or the Modbus
  // data read) as a snapshot of its own: the line as it is, with this device
  // read by that one request.
  void PublishSingleRead(TDevice* device, bool temperatures, bool level, bool executed);
  // The readings of this session, kept for the trend view.
  std::shared_ptr<TSessionTrendStore> FSessionTrends;

  // ---- diagnostics (MainFormDiagnostics.cpp)
  // The frames and statistics of the session, recorded from the port.
  TLineDiagnostics* FDiagnostics = nullptr;
  QAction* LineCheckAction = nullptr;      // "Пуск" → "Проверка линии"
  QAction* SupportBundleAction = nullptr;  // "Справка" → "Сохранить отчёт для поддержки…"
  // The recorder, the docks "Обмен" and "Статистика" and the two actions.
  void CreateDiagnostics();
  void LineCheckActionExecute();
  void SupportBundleActionExecute();
  // Writes the support bundle; false with the reason when it cannot.
  bool SaveSupportBundle(const QString& fileName, QString& error);

  // ---- commissioning report (MainFormReport.cpp)
  // "Файл" → "Отчёт о пусконаладке…" (TReportCommand).
  void CreateReport();
  // ---- history database (MainFormHistory.cpp): each cycle recorded off
  // this thread, the alarms dock, the unacknowledged count in status panel 1,
  // "Файл → Экспорт истории…" and "Настройка → История…"
  std::shared_ptr<THistoryRecorder> FHistory;  // none when recording is off
  TAlarmsDock* FAlarmsDock = nullptr;
  TTrendDock* FTrendDock = nullptr;
  QLabel* HistoryNotice = nullptr;  // shown only while recording is stopped
  QAction* ExportHistoryAction = nullptr;
  QAction* HistorySettingsAction = nullptr;
  bool FHistoryFailureTold = false;
  void CreateHistory();
  // (Re)starts the recorder from the settings; none when they turn it off.
  void StartHistory();
  // Takes the recorder's state: the alarms, the count, the notice.
  void UpdateHistoryStatus();
  // The database file the settings name (the per-user one by default).
  QString HistoryPath() const;
  void ExportHistoryActionExecute();
  void HistorySettingsActionExecute();
  // Writes the readings of [fromMs, toMs] (one device, or all: plant 0) to
  // a CSV file off this thread, with a progress window that can stop it;
  // false with the reason when it failed or was stopped.
  bool ExportHistory(std::int64_t fromMs, std::int64_t toMs, std::uint16_t plant,
                     const QString& fileName, QString& error);

  // ---- port, protocol, actions
  QString PortDescription() const;
  void RefreshPortDescription();
  void UpdatePortActions(bool open);
  // Makes action the one action of a toolbar button (no drop-down menu).
  static void SetButtonAction(QToolButton* button, QAction* action);
  void ApplyProtocol(TDeviceProtocol protocol);
  // One pass over every update rule; runs when the event loop goes idle and
  // before a menu opens.
  void UpdateActions();
  // Connects an action to a handler that runs inside RunGuarded.
  void ConnectAction(QAction* action, void (TMainForm::*handler)());

  // ---- configuration (MainFormConfig.cpp)
  // Asks to save a modified configuration (Yes/No/Cancel) and saves on Yes;
  // false when the caller must stop (Cancel, or the save did not happen).
  bool AskSaveChanges();
  bool ClearConfiguration();
  void LoadConfiguration(const QString& fileName);
  // Raises an error when the file cannot be written.
  void SaveConfiguration(const QString& fileName);
  // false when the user cancelled.
  bool SaveConfigurationAs();

  // ---- handlers of this file set
  void PortPropertiesActionExecute();
  void OpenPortActionExecute();
  void ClosePortActionExecute();
  void NewActionExecute();
  void OpenActionExecute();
  void SaveActionExecute();
  void SaveAsActionExecute();
  void AddDeviceActionExecute();
  void RemoveDeviceActionExecute();
  void AboutActionExecute();
  void SortByPlantNumberActionExecute();
  void SortBySystemAddressActionExecute();
  void FindLostNumbersActionExecute();
  void SwitchForLargis1ProtocolActionExecute();
  void SwitchForModbusProtocolActionExecute();
  void ExitClick();
  void mFileClick();
  void PopupMenuPopup();
  void pmNoMarkClick();
  void RefreshDeviceActionUpdate();
  // ---- line scan (MainFormScan.cpp) and batch operations (MainFormBatch.cpp)
  void SearchActionExecute();
  void RefreshDeviceActionExecute();
  void UpdateDeviceActionExecute();
  void AllAddressWriteActionExecute();
  // True when two listed devices share a system address.
  bool HasDuplicateAddresses() const { return FDevices.HasDuplicateAddresses(); }
  // Marks columns first..last of every device row as not confirmed.
  void MarkUnconfirmed(int firstCol, int lastCol);
  void TotalDownloadSoftwareActionUpdate();
  void SwitchForProtocolActionUpdate();
  void ForLargisProtocolActionUpdate();
  void ForModbusProtocolActionUpdate();
  void WorkerGuardUpdate();
  void sgDevicesMouseDown(Qt::MouseButton button, const QPoint& pos);
  void sgDevicesDblClick();
  void sgDevicesDrawCell(QPainter& canvas, int col, int row, const QRect& rect);
  void EditorExit();
  QChar IntegerCellKeyPress(QChar key);
  QChar TextCellKeyPress(QChar key);

  // ---- firmware upload (MainFormUpload.cpp)
  void UploadSoftwareActionExecute();
  void TotalDownloadSoftwareActionExecute();
  // The handler of WM_TOTAL_UPLOAD_PROGRESS on the double progress window:
  // overall = wParam * 100 / DeviceCount, device = lParam.
  void WMTotalUploadProgress(int overall, int device);
  // Names the device of list index `index` in the double progress window.
  void TotalUploadDevice(int index);
  // The end notification of FUploadThread: the port back to even parity.
  void UploadThreadTerminated();
  // After it: the port closed when it failed, and the run's summary shown
  // (served: list indexes; outcomes in the same order).
  void UploadRunEnded(const QList<int>& served, const std::vector<TUploadOutcome>& outcomes,
                      const std::string& portError);
  // The file dialog for a firmware file, then its check; empty when the user
  // cancelled or the file was refused (with a message).
  QString ChooseFirmwareFile();

  // ---- single-device commands (MainFormCommands.cpp)
  void ConnectCommandActions();
  // The selected device, none while a worker uses the port.
  TDevice* CommandDevice();
  TDeviceCommands Commands();
  // Marks and row of the selected device, FModified, the state panel and the
  // one message box of a command's result.
  void ApplyCommandResult(const TCommandResult& result);
  void idReadActionExecute();
  void saWriteActionExecute();
  void snReadActionExecute();
  void tReadActionExecute();
  void hReadActionExecute();
  void ModbusDataReadActionExecute();
  void clbrReadActionExecute();
  void clbrWriteActionExecute();
  void CoeffReadActionExecute();
  void CoeffWriteActionExecute();
  void tWriteActionExecute();
  void ConfigReadActionExecute();
  void ReadUnmeasurableLevelActionExecute();
  void pmWriteUnmeasurableLevelClick();
  void EmptyBunkerCalibrationActionExecute();
  void DeviceToModbusModeActionExecute();
  void DeviceToLargis1ModeActionExecute();

  // ---- actions
  QAction* PortPropertiesAction;
  QAction* OpenPortAction;
  QAction* ClosePortAction;
  QAction* NewAction;
  QAction* OpenAction;
  QAction* SaveAction;
  QAction* SaveAsAction;
  QAction* AddDeviceAction;
  QAction* RemoveDeviceAction;
  QAction* RunAction;
  QAction* StopAction;
  QAction* SetIntervalAction;
  QAction* AboutAction;
  QAction* idReadAction;
  QAction* saWriteAction;
  QAction* snReadAction;
  QAction* SearchAction;
  QAction* tReadAction;
  QAction* clbrReadAction;
  QAction* clbrWriteAction;
  QAction* CoeffReadAction;
  QAction* CoeffWriteAction;
  QAction* hReadAction;
  QAction* UpdateDeviceAction;
  QAction* RefreshDeviceAction;
  QAction* tWriteAction;
  QAction* ConfigReadAction;
  QAction* AllAddressWriteAction;
  QAction* SortByPlantNumberAction;
  QAction* SortBySystemAddressAction;
  QAction* FindLostNumbersAction;
  QAction* SwitchForLargis1ProtocolAction;
  QAction* SwitchForModbusProtocolAction;
  QAction* ModbusDataReadAction;
  QAction* UploadSoftwareAction;
  QAction* DeviceToModbusModeAction;
  QAction* DeviceToLargis1ModeAction;
  QAction* EmptyBunkerCalibrationAction;
  QAction* ReadUnmeasurableLevelAction;
  QAction* WriteUnmeasurableLevelAction;
  QAction* TotalDownloadSoftwareAction;
  QList<QAction*> ActionList1;  // all of them, in the order above
  QActionGroup* ProtocolGroup;

  // ---- menus: the menu items that carry an action are the actions
  QMenu* mFile;
  QMenu* mRun;
  QMenu* mSettings;
  QMenu* mProtocol;
  QMenu* mHelp;
  QAction* mExit;
  QAction* mLargis1;         // = SwitchForLargis1ProtocolAction
  QAction* mModbus;          // = SwitchForModbusProtocolAction
  QAction* mDeviceToLargis;  // = DeviceToLargis1ModeAction
  QMenu* PopupMenu;
  // Context-menu items, each standing for its action (pmNoMark has none).
  QAction *pmT, *pmLevel, *pmModbusReadData, *pmID, *pmSN, *pmCA, *pmCoeff, *pmConfigRead,
      *pmReadUnmeasurableLevel, *pmSA, *pmClbr, *pmCoeffWrite, *pmWriteUnmeasurableLevel,
      *pmTuneWrite, *mEmptyCalibration, *pmSoftUpload, *pmSortPN, *pmFindLostNumbers, *pmSortSA,
      *pmNoMark;

  // ---- components
  QToolBar* ToolBar1;
  QToolButton* tbConnection;
  QToolButton* tbRunStop;
  QToolButton* tbLargis1;
  QToolButton* tbModbus;
  TAnimate* Animate_T;
  QGroupBox* gbDevices;
  TStringGrid* sgDevices;
  QLineEdit* GridPopupEdit;
  QGroupBox* gbData;
  TStringGrid* sgData;
  QGroupBox* gbState;
  QLabel* lLastOperation;
  QLabel* lLastResult;
  QLabel* lC;
  QLabel* stC;
  QLabel* lH;
  QLabel* stH;
  QCheckBox* chbRangeError;
  QCheckBox* chbDustError;
  QCheckBox* chbDACError;
  TStringGrid* sgTemperature;
  QCheckBox* chbEEPROMError;
  QCheckBox* chbBusError;
  QCheckBox* chbSensorError;
  QLabel* StatusPanel0;
  QLabel* StatusPanel1;
  QTimer* BlockTimer;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void CreateActions();
  void CreateMenus();
  void CreateToolBar();
  void CreateClientArea();
  void CreateStatePanel();
  void CreateViews();
  void FormCreate();
  void ConnectOperationActions();
  void ConnectUploadActions();
  // Keeps the thread in FUploadThread with its end notification; not started.
  // served: the list indexes of the devices the run is for, in order (the
  // summary at its end names them).
  void RegisterUploadThread(TSoftwareUploadThread* thread, const QList<int>& served);
  void PlaceAnimation();
  void BeginEdit(int col, int row);
  void SendProtocolBroadcast(TDeviceProtocol protocol);

  TComPort FComPort;
  std::atomic<TDeviceProtocol> FProtocol{dpLargis1};
  bool FWasBusy = false;
  int FEditCol = -1, FEditRow = -1;
  TDevice* FEditDevice = nullptr;
  std::function<QChar(QChar)> FEditorKeyPress;
  QList<QPair<QAction*, QAction*>> FPopupItems;  // item, action
};
