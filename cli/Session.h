// One run of lim07ctl: the line (a real port or the in-process demo line),
// the port's settings from the defaults, a configuration file and the
// options, and the devices the subcommand works on.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "CliArgs.h"
#include "ConsoleHost.h"
#include "TrafficRecorder.h"
#include "VirtualLine.h"
#include "WorkerThread.h"

// A failure that ends the run with its own exit status and message.
class ECliError : public std::runtime_error {
 public:
  ECliError(int code, const std::string& message) : std::runtime_error(message), Code(code) {}
  int Code;
};

// The port settings the window starts with (9600 baud, 8 data bits, even
// parity, one stop bit; read gap 50 ms, 2 ms a byte plus 100 ms): what a
// configuration file's absent properties stand for.
void ApplyWindowPortDefaults(TCustomComPort& port);

// The message for a serial port that failed after it was opened (the
// adapter pulled out, the line gone): the port, and the port's error text.
std::string LostLineText(const EComPort& error, const std::string& port);

// Ctrl-C (and SIGTERM): the first asks the work in hand to stop after the
// device in work; a second one ends the program at once.
void InstallInterruptHandler();
bool InterruptRequested();

class TSession {
 public:
  TSession(const TCliOptions& options, TConsole& console);
  ~TSession();

  const TCliOptions& Options() const { return FOptions; }
  TConsoleHost& Host() { return FHost; }
  TComPort& Port() { return FHost.ComPort(); }
  TDeviceList& Devices() { return FHost.Devices(); }
  TDeviceProtocol Protocol() const { return FHost.CurrentProtocol(); }
  TConsole& Console() { return FConsole; }
  TVirtualLine* DemoLine() { return FDemoLine.get(); }
  // Every frame of the run and the per-device statistics (the recorder is
  // attached to the port from Prepare on; --trace prints its frames).
  TFrameRing& Frames() { return FFrames; }
  TLineStatistics& Statistics() { return FStatistics; }

  // Port settings: the window's defaults, then the configuration file's,
  // then the line options; the demo line when asked for. Loads the
  // configuration's devices (EUsage when it cannot be read). No port is
  // opened.
  void Prepare();
  // Fills the device list with the devices the command names: those of the
  // configuration (narrowed by --address/--addresses/--plant), records for
  // bare addresses, or the demo devices. EUsage when none are named or a
  // named one is not in the configuration.
  void SelectDevices();
  // Opens the port; ECliError(ecPort) with the reason when it cannot.
  void OpenPort();
  // Learns the plant number and sensor count of records made from bare
  // addresses (an identification and, unless told otherwise, a sensor-count
  // read each); prints a warning for each device that does not answer.
  // False if any failed.
  bool IdentifyNew(bool sensorCount = true);
  // A record made from a bare address whose identification failed.
  bool IdentificationFailed(const TDevice* device) const;
  // Before settings are read or written: the device at the record's address
  // answers with the record's plant number (two attempts). A record made
  // from a bare address learns its plant number here instead. False, with
  // the reason in `failure` (never the success text), when not.
  bool ConfirmIdentity(TDevice* device, std::string& failure);

  // Starts a worker thread and waits for it, turning Ctrl-C into its stop
  // request. True when it was stopped that way. When the thread ended on an
  // error, raises ECliError: ecPort with LostLineText for a port failure.
  bool RunWorker(TWorkerThread& thread);

  // Asks "question [y/N]" on a terminal unless --yes; without a terminal
  // and without --yes refuses (EUsage: writes need --yes in scripts).
  void Confirm(const std::string& question);

  // Saves the device list with the port's settings (atomically); raises
  // ECliError(ecWrite) when it fails.
  void SaveConfiguration(const std::string& path);
  // --save: puts what each selected device confirmed (`confirmed[i]`: the
  // device-table columns of the values its device confirmed) back into the
  // configuration it came from and saves that file, with the file's own port
  // settings and all its other devices unchanged. Nothing is written when
  // nothing changes: the file then stays byte for byte as it was. True when
  // the file was written.
  bool SaveBackToConfig(const std::vector<TColumnSet>& confirmed);

  // Records created for bare addresses (their plant number unknown yet).
  bool IsBareRecord(const TDevice* device) const;
  // Records whose settings come from a configuration or the demo set (not
  // made up from options).
  bool HasStoredSettings(const TDevice* device) const;

 private:
  const TCliOptions& FOptions;
  TConsole& FConsole;
  TConsoleHost FHost;
  std::unique_ptr<TVirtualLine> FDemoLine;
  TFrameRing FFrames{10000};
  TLineStatistics FStatistics;
  std::unique_ptr<TTrafficRecorder> FRecorder;
  bool FConfigLoaded = false;
  TComPort FConfigPort;           // the configuration's port settings as loaded
  TDeviceList FConfigDevices;     // the configuration as loaded
  std::vector<int> FConfigIndex;  // per selected device: its index there, or -1
  std::vector<const TDevice*> FBare;
  std::vector<const TDevice*> FStored;
  std::vector<const TDevice*> FUnidentified;
};

// Prints the devices' outcome texts "name (address): operation: result".
std::string OutcomeLine(const TDevice& device);
