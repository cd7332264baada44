// The line check: how well each listed device answers, and where a silent
// one does answer. For each device a number of identification exchanges
// (default 20) give the success rate, the response times and the failure
// kinds; a device that never answers is looked for in the other protocol and
// at the other common speeds. The port is put back as it was; nothing is
// written to any device (identification reads only, on scratch records: the
// listed devices are not touched either).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ComPort.h"
#include "DeviceProtocol.h"
#include "WorkerThread.h"

enum TCheckVerdict { cvHealthy, cvLinkFaults, cvSilent, cvOtherProtocol, cvOtherBaud };
// "исправен", "сбои связи", "не отвечает", "другой протокол", "другая скорость".
const char* VerdictText(TCheckVerdict verdict);

struct TLineCheckOptions {
  int Exchanges = 20;
  // Where a silent device is looked for, in this order (the port's own speed
  // is tried first, in the other protocol).
  std::vector<int> BaudRates = {9600, 19200, 38400, 57600, 115200, 4800, 2400, 1200};
  int ProbeAttempts = 2;  // identification tries at each speed and protocol
};

// Who is checked: a copy of what the device list says.
struct TCheckedDevice {
  std::string Name;
  std::uint8_t Address = 0;
  std::uint16_t PlantNumber = 0;
};

struct TDeviceCheck {
  TCheckedDevice Device;
  int Exchanges = 0;
  int Successes = 0;
  int Responses = 0;  // exchanges that brought an answer (good or not)
  double MeanResponseMs = 0;
  double WorstResponseMs = 0;
  std::map<std::string, int> Failures;  // by result text
  std::uint16_t AnsweredPlant = 0;      // plant number the device reported (0: none)
  TCheckVerdict Verdict = cvSilent;
  int FoundBaud = 0;  // other protocol / other speed: where it answers
  TDeviceProtocol FoundProtocol = dpLargis1;
  bool Stopped = false;  // the check was stopped before this device was done

  // "20 из 20 (100 %)".
  std::string RateText() const;
  // "отвечает на 19200, Modbus", or the response times, or the failures.
  std::string DetailText() const;
};

// Runs the check on the calling thread. `stop` is asked between exchanges;
// `progress` gets 0..99 (the caller reports 100 when it is all over).
std::vector<TDeviceCheck> RunLineCheck(TCustomComPort& port, TDeviceProtocol protocol,
                                       const std::vector<TCheckedDevice>& devices,
                                       const TLineCheckOptions& options,
                                       const std::function<bool()>& stop,
                                       const std::function<void(int percent)>& progress);

// The report as text (command line, support bundle) and as JSON.
std::string LineCheckText(const std::vector<TDeviceCheck>& checks, int baud,
                          TDeviceProtocol protocol);
std::string LineCheckJson(const std::vector<TDeviceCheck>& checks);

// The check as a worker thread of the window or the console: the devices are
// copied from the host's list when the thread is made; progress goes to
// ProgressPercent (100 at the very end, once the port is back as it was).
class TLineCheckThread : public TWorkerThread {
  Q_OBJECT
 public:
  TLineCheckThread(IOperationHost* host, TLineCheckOptions options = {});
  // The outcome, shared so that it outlives a thread that frees itself.
  struct TReport {
    std::mutex Mutex;
    std::vector<TDeviceCheck> Checks;
    bool Done = false;
    std::string Error;  // a port failure that ended the check
  };
  std::shared_ptr<TReport> Report() const { return FReport; }

 protected:
  void Execute() override;

 private:
  TLineCheckOptions FOptions;
  std::vector<TCheckedDevice> FDevices;
  std::shared_ptr<TReport> FReport;
};
