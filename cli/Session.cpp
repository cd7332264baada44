#include "Session.h"

#include <unistd.h>

#include <sys/stat.h>
#include <QDeadlineTimer>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>

#include "ConfigFile.h"
#include "DeviceCommands.h"
#include "NativeRequests.h"
#include "Transaction.h"

namespace {

std::atomic<int> gInterrupts{0};

extern "C" void OnInterrupt(int signal) {
  if (gInterrupts.fetch_add(1) >= 1) {
    // The second request: the user insists; end now with the usual status.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
}

void CopyRecord(const TDevice& from, TDevice& to) {
  std::uint8_t record[kDeviceRecordSize];
  from.WriteRecord(record);
  to.ReadRecord(record);
}

// Copies the values of the given device-table columns.
void CopyConfirmed(const TDevice& from, TDevice& to, TColumnSet columns) {
  if (columns & ColumnBit(dcPlantNumber)) to.SetPlantNumber(from.PlantNumber());
  if (columns & ColumnBit(dcSystemAddress)) to.SetSystemAddress(from.SystemAddress());
  if (columns & ColumnBit(dcSensorCount)) to.SetSensorCount(from.SensorCount());
  if (columns & ColumnBit(dcCalibrationCode1)) to.CalibrationCode1 = from.CalibrationCode1;
  if (columns & ColumnBit(dcUnmeasurableLevel)) to.UnmeasurableLevel = from.UnmeasurableLevel;
  if (columns & ColumnBit(dcCalibrationCode2)) to.CalibrationCode2 = from.CalibrationCode2;
  if (columns & ColumnBit(dcCalibrationLevel2)) to.CalibrationLevel2 = from.CalibrationLevel2;
  if (columns & ColumnBit(dcAveragingCoefficient))
    to.SetAveragingCoefficient(from.AveragingCoefficient());
}

TBaudRate BaudRateOf(int baud) {
  for (int r = br110; r <= br256000; ++r)
    if (BaudRateValue(static_cast<TBaudRate>(r)) == baud) return static_cast<TBaudRate>(r);
  return brCustom;
}

std::string PortProblem(const EComPort& e, const std::string& port) {
  const std::string path = TCustomComPort::DevicePath(port);
  if (e.ErrorKind() == 1) {
    switch (e.OsErrorCode()) {
      case ENOENT:
      case ENXIO:
      case ENODEV:
        return "port " + path + " not found (lim07ctl ports lists the ports present)";
      case EACCES:
      case EPERM:
        return "permission denied on " + path +
               ": add yourself to the dialout group (sudo usermod -aG dialout $USER) and log in "
               "again";
      case EBUSY:
      case EWOULDBLOCK:
        return "port " + path + " is busy: another program has it open";
      case ENOTTY:
        return path + " is not a serial port";
      default:
        break;
    }
    return "cannot open " + path + ": " +
           (e.OsErrorCode() > 0 ? std::string(std::strerror(e.OsErrorCode())) : e.what());
  }
  return "port " + path + " refused its settings: " + e.what();
}

}  // namespace

void ApplyWindowPortDefaults(TCustomComPort& port) {
  port.SetBaudRate(br9600);
  port.SetDataBits(dbEight);
  port.SetStopBits(sbOneStopBit);
  port.Parity().SetBits(prEven);
  port.Timeouts().SetReadInterval(50);
  port.Timeouts().SetReadTotalMultiplier(2);
  port.Timeouts().SetReadTotalConstant(100);
  port.SetLeft(104);
  port.SetTop(168);
}

std::string LostLineText(const EComPort& error, const std::string& port) {
  std::string text =
      "lost the serial port " + TCustomComPort::DevicePath(port) + ": " + error.what();
  if (error.OsErrorCode() > 0) text += std::string(" (") + std::strerror(error.OsErrorCode()) + ")";
  return text + "; the adapter was unplugged or the line is gone";
}

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool InterruptRequested() {
  return gInterrupts.load() > 0;
}

std::string OutcomeLine(const TDevice& device) {
  return device.Name() + " (" + std::to_string(device.SystemAddress()) +
         "): " + device.LastOperation + ": " + device.LastResult;
}

TSession::TSession(const TCliOptions& options, TConsole& console)
    : FOptions(options), FConsole(console), FHost(console) {}

TSession::~TSession() {
  if (FRecorder) FRecorder->Detach();
  try {
    if (Port().Connected()) Port().Close();
  } catch (...) {
    // Closing a line that is gone: nothing left to do.
  }
}

void TSession::Prepare() {
  TComPort& port = Port();
  // The port as the window gives it, then the configuration's settings.
  ApplyWindowPortDefaults(port);
  FHost.SetProtocol(FOptions.Protocol.value_or(dpLargis1));
  // Checked before anything is sent: the values would have nowhere to go.
  if (FOptions.Save && FOptions.Config.empty())
    throw EUsage("--save needs --config FILE.l07", FOptions.Command);

  if (!FOptions.Config.empty()) {
    struct stat st {};
    if (::stat(FOptions.Config.c_str(), &st) != 0)
      throw EUsage("configuration " + FOptions.Config + " not found", FOptions.Command);
    if (!S_ISREG(st.st_mode))
      throw EUsage("configuration " + FOptions.Config + " is not a file", FOptions.Command);
    try {
      // Twice: the line's port, and an untouched copy of the file's settings
      // for --save (exchanges change the live port's parity).
      ApplyWindowPortDefaults(FConfigPort);
      LoadConfigurationFile(FOptions.Config, FConfigPort, [this](std::unique_ptr<TDevice> d) {
        FConfigDevices.Add(d.release());
      });
      LoadConfigurationFile(FOptions.Config, port, [](std::unique_ptr<TDevice>) {});
    } catch (const EConfigFormat& e) {
      throw EUsage("configuration " + FOptions.Config + " cannot be read: " + e.what() +
                       " (Ошибка чтения файла!)",
                   FOptions.Command);
    }
    FConfigLoaded = true;
  }

  if (FOptions.Demo) {
    FDemoLine = MakeDemoLine(Protocol());
    port.SetPort(FDemoLine->SlavePath());
  } else if (!FOptions.Port.empty()) {
    port.SetPort(FOptions.Port);
  } else if (!FConfigLoaded) {
    throw EUsage("no line given: use --port PATH, --config FILE.l07 or --demo", FOptions.Command);
  }
  if (FOptions.Baud) {
    const TBaudRate rate = BaudRateOf(*FOptions.Baud);
    if (rate == brCustom) port.SetCustomBaudRate(*FOptions.Baud);
    port.SetBaudRate(rate);
  }
  if (FOptions.DataBits) port.SetDataBits(static_cast<TDataBits>(*FOptions.DataBits - 5));
  if (FOptions.StopBits) {
    port.SetStopBits(*FOptions.StopBits == "1"     ? sbOneStopBit
                     : *FOptions.StopBits == "1.5" ? sbOne5StopBits
                                                   : sbTwoStopBits);
  }
  if (FOptions.Parity) {
    const std::string& p = *FOptions.Parity;
    port.Parity().SetBits(p == "none"   ? prNone
                          : p == "odd"  ? prOdd
                          : p == "even" ? prEven
                          : p == "mark" ? prMark
                                        : prSpace);
  }
  FRecorder = std::make_unique<TTrafficRecorder>(&FFrames, &FStatistics);
  if (FOptions.Trace) {
    // The monitor's decoder: one line per frame, with parity, pause, meaning
    // and the exchange's result.
    FRecorder->SetSink([this](const TFrameRecord& frame) {
      std::lock_guard lock(FConsole.Mutex);
      FConsole.EndProgress();
      FConsole.Err << FrameLine(frame) << '\n';
    });
  }
  FRecorder->Attach(port);
}

void TSession::SelectDevices() {
  TDeviceList& devices = Devices();
  const auto& wanted = FOptions.Addresses;
  auto addressWanted = [&](int a) {
    return wanted.empty() || std::find(wanted.begin(), wanted.end(), a) != wanted.end();
  };
  auto take = [&](const TDevice& from, int configIndex) {
    auto* d = new TDevice;
    CopyRecord(from, *d);
    devices.Add(d);
    FConfigIndex.push_back(configIndex);
    FStored.push_back(d);
  };

  if (FConfigLoaded) {
    for (int i = 0; i < FConfigDevices.Count(); ++i) {
      const TDevice& d = *FConfigDevices[i];
      if (!addressWanted(d.SystemAddress())) continue;
      if (FOptions.Plant && d.PlantNumber() != *FOptions.Plant) continue;
      take(d, i);
    }
    for (int a : wanted) {
      bool found = false;
      for (int i = 0; i < devices.Count(); ++i) found = found || devices[i]->SystemAddress() == a;
      if (!found)
        throw EUsage("address " + std::to_string(a) + " is not in " + FOptions.Config,
                     FOptions.Command);
    }
    if (FOptions.Plant && devices.Count() == 0)
      throw EUsage(
          "plant number " + std::to_string(*FOptions.Plant) + " is not in " + FOptions.Config,
          FOptions.Command);
  } else if (FDemoLine) {
    for (const TSimDevice& sim : FDemoLine->Devices()) {
      if (!addressWanted(sim.Address)) continue;
      if (FOptions.Plant && sim.PlantNumber != *FOptions.Plant) continue;
      auto* d = new TDevice;
      d->SetName(sim.Name);
      d->SetSystemAddress(sim.Address);
      d->SetPlantNumber(sim.PlantNumber);
      d->SetSensorCount(sim.SensorCount());
      d->CalibrationCode1 = sim.CalibrationCode1;
      d->UnmeasurableLevel = sim.UnmeasurableLevel;
      d->CalibrationCode2 = sim.CalibrationCode2;
      d->CalibrationLevel2 = sim.CalibrationLevel2;
      d->SetAveragingCoefficient(sim.AveragingCoefficient);
      devices.Add(d);
      FConfigIndex.push_back(-1);
      FStored.push_back(d);
    }
    for (int a : wanted) {
      bool found = false;
      for (int n = 0; n < devices.Count(); ++n) found = found || devices[n]->SystemAddress() == a;
      if (!found)
        throw EUsage("address " + std::to_string(a) + " is not on the demo line (1..5)",
                     FOptions.Command);
    }
    if (FOptions.Plant && devices.Count() == 0)
      throw EUsage("no demo device has plant number " + std::to_string(*FOptions.Plant),
                   FOptions.Command);
  } else if (!wanted.empty()) {
    if (FOptions.Plant && wanted.size() != 1)
      throw EUsage("--plant names one device: give one --address with it", FOptions.Command);
    for (int a : wanted) {
      auto* d = new TDevice;
      d->SetSystemAddress(static_cast<std::uint8_t>(a));
      if (FOptions.Plant) {
        d->SetPlantNumber(*FOptions.Plant);
        d->SetName(DefaultDeviceName(*FOptions.Plant));
      } else {
        d->SetName("#" + std::to_string(a));
        FBare.push_back(d);
      }
      devices.Add(d);
      FConfigIndex.push_back(-1);
    }
  } else {
    throw EUsage("name the devices: --address A, --addresses LIST or --config FILE.l07",
                 FOptions.Command);
  }
  FHost.MarkAll(0);
}

void TSession::OpenPort() {
  try {
    Port().Open();
  } catch (const EComPort& e) {
    throw ECliError(ecPort, PortProblem(e, Port().Port()));
  }
}

bool TSession::HasStoredSettings(const TDevice* device) const {
  return std::find(FStored.begin(), FStored.end(), device) != FStored.end();
}

bool TSession::IsBareRecord(const TDevice* device) const {
  return std::find(FBare.begin(), FBare.end(), device) != FBare.end();
}

bool TSession::IdentificationFailed(const TDevice* device) const {
  return std::find(FUnidentified.begin(), FUnidentified.end(), device) != FUnidentified.end();
}

bool TSession::IdentifyNew(bool sensorCount) {
  TDeviceCommands commands(&Port(), Protocol());
  bool all = true;
  for (int i = 0; i < Devices().Count() && !InterruptRequested(); ++i) {
    TDevice* d = Devices()[i];
    if (!IsBareRecord(d)) continue;
    const TCommandResult id = commands.ReadIdentification(d);
    if (id.Failed) {
      FUnidentified.push_back(d);
      std::lock_guard lock(FConsole.Mutex);
      FConsole.Err << "warning: " << OutcomeLine(*d) << '\n';
      all = false;
      continue;
    }
    d->SetName(DefaultDeviceName(d->PlantNumber()));
    if (sensorCount && commands.ReadSensorCount(d).Failed) {
      std::lock_guard lock(FConsole.Mutex);
      FConsole.Err << "warning: " << OutcomeLine(*d) << '\n';
      all = false;
    }
  }
  return all;
}

bool TSession::ConfirmIdentity(TDevice* device, std::string& failure) {
  if (IsBareRecord(device)) {
    TDeviceCommands commands(&Port(), Protocol());
    const TCommandResult id = commands.ReadIdentification(device);
    if (id.Failed) {
      failure = id.FailureText;
      return false;
    }
    device->SetName(DefaultDeviceName(device->PlantNumber()));
    return true;
  }
  TReadIdentificationTransaction identification(&Port(), Protocol());
  if (!RunWithRetry(&identification, device, 2)) {
    failure = device->LastResult;
    return false;
  }
  if (identification.PlantNumber() != device->PlantNumber()) {
    failure = kDeviceNotFoundText;
    std::lock_guard lock(FConsole.Mutex);
    FConsole.Err << "warning: " << device->Name() << ": address "
                 << static_cast<int>(device->SystemAddress()) << " answers with plant number "
                 << identification.PlantNumber() << ", not " << device->PlantNumber() << '\n';
    return false;
  }
  return true;
}

bool TSession::RunWorker(TWorkerThread& thread) {
  thread.start();
  bool told = false;
  while (!thread.wait(QDeadlineTimer(20))) {
    if (InterruptRequested() && !told) {
      thread.Terminate();
      told = true;
      std::lock_guard lock(FConsole.Mutex);
      FConsole.EndProgress();
      FConsole.Err << "Stopping after the device in work (Ctrl-C again to abort)...\n"
                   << std::flush;
    }
  }
  {
    std::lock_guard lock(FConsole.Mutex);
    FConsole.EndProgress();
  }
  if (const std::exception_ptr error = thread.Error()) {
    try {
      std::rethrow_exception(error);
    } catch (const EComPort& e) {
      throw ECliError(ecPort, LostLineText(e, Port().Port()));
    } catch (const std::exception& e) {
      throw ECliError(ecUnconfirmed, std::string("the work stopped on an error: ") + e.what());
    }
  }
  return told;
}

void TSession::Confirm(const std::string& question) {
  if (FOptions.Yes) return;
  if (!isatty(STDIN_FILENO))
    throw EUsage("this writes to devices: confirm with --yes when not on a terminal",
                 FOptions.Command);
  {
    std::lock_guard lock(FConsole.Mutex);
    FConsole.Err << question << " [y/N] " << std::flush;
  }
  std::string answer;
  std::getline(std::cin, answer);
  if (answer != "y" && answer != "Y" && answer != "yes" && answer != "д" && answer != "да")
    throw ECliError(ecUsage, "cancelled; nothing was written");
}

void TSession::SaveConfiguration(const std::string& path) {
  try {
    SaveConfigurationFile(path, Port(), Devices());
  } catch (const std::exception& e) {
    throw ECliError(ecWrite, "cannot save " + path + ": " + e.what());
  }
}

bool TSession::SaveBackToConfig(const std::vector<TColumnSet>& confirmed) {
  if (!FConfigLoaded) throw EUsage("--save needs --config FILE.l07", FOptions.Command);
  const std::string before = ConfigurationImage(FConfigPort, FConfigDevices);
  for (int i = 0; i < Devices().Count() && i < static_cast<int>(confirmed.size()); ++i) {
    const int at = FConfigIndex[static_cast<std::size_t>(i)];
    if (at >= 0)
      CopyConfirmed(*Devices()[i], *FConfigDevices[at], confirmed[static_cast<std::size_t>(i)]);
  }
  if (ConfigurationImage(FConfigPort, FConfigDevices) == before) {
    std::lock_guard lock(FConsole.Mutex);
    FConsole.Err << "note: " << FOptions.Config
                 << " not written: no device confirmed a value that differs from it\n";
    return false;
  }
  try {
    SaveConfigurationFile(FOptions.Config, FConfigPort, FConfigDevices);
  } catch (const std::exception& e) {
    throw ECliError(ecWrite, "cannot save " + FOptions.Config + ": " + e.what());
  }
  return true;
}
