#include "LineCheck.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "Device.h"
#include "FrameDecoder.h"
#include "NativeRequests.h"
#include "TrafficRecorder.h"

namespace {

std::string Ms(double v) {
  char s[32];
  std::snprintf(s, sizeof s, "%.1f", v);
  return s;
}

const char* ProtocolText(TDeviceProtocol p) {
  return p == dpModbus ? "Modbus" : "Ларгис-1";
}

// The port's settings that the check changes, put back however it ends.
class TPortRestore {
 public:
  explicit TPortRestore(TCustomComPort& port)
      : FPort(port),
        FBaud(port.BaudRate()),
        FCustom(port.CustomBaudRate()),
        FParity(port.Parity().Bits()),
        FTimeout(port.Timeouts().ReadTotalConstant()) {}
  ~TPortRestore() {
    try {
      FPort.HoldSetup();
      FPort.SetCustomBaudRate(FCustom);
      FPort.SetBaudRate(FBaud);
      FPort.Parity().SetBits(FParity);
      FPort.Timeouts().SetReadTotalConstant(FTimeout);
      FPort.ReleaseSetup();
    } catch (...) {
      // A port that is gone keeps its stored settings; nothing else to do.
    }
  }

 private:
  TCustomComPort& FPort;
  TBaudRate FBaud;
  int FCustom;
  TParityBits FParity;
  int FTimeout;
};

void SetSpeed(TCustomComPort& port, int baud) {
  for (int r = br110; r <= br256000; ++r) {
    if (BaudRateValue(static_cast<TBaudRate>(r)) == baud) {
      port.SetBaudRate(static_cast<TBaudRate>(r));
      return;
    }
  }
  port.SetCustomBaudRate(baud);
  port.SetBaudRate(brCustom);
}

void Scratch(const TCheckedDevice& d, TDevice& device) {
  device.SetName(d.Name);
  device.SetSystemAddress(d.Address);
  device.SetPlantNumber(d.PlantNumber);
}

// One identification; the response time when an answer came.
bool Identify(TCustomComPort& port, TDeviceProtocol protocol, TDevice& device, std::uint16_t& plant,
              double& responseMs) {
  TReadIdentificationTransaction id(&port, protocol);
  const bool ok = id.Execute(&device);
  responseMs = -1;
  if (port.LastReadCount() > 0 && port.LastReadLastByte() >= port.LastWriteEnd())
    responseMs =
        std::chrono::duration<double, std::milli>(port.LastReadLastByte() - port.LastWriteEnd())
            .count();
  if (ok) plant = id.PlantNumber();
  return ok;
}

}  // namespace

const char* VerdictText(TCheckVerdict verdict) {
  switch (verdict) {
    case cvHealthy:
      return "исправен";
    case cvLinkFaults:
      return "сбои связи";
    case cvOtherProtocol:
      return "другой протокол";
    case cvOtherBaud:
      return "другая скорость";
    default:
      return "не отвечает";
  }
}

std::string TDeviceCheck::RateText() const {
  const int percent = Exchanges ? Successes * 100 / Exchanges : 0;
  return std::to_string(Successes) + " из " + std::to_string(Exchanges) + " (" +
         std::to_string(percent) + " %)";
}

std::string TDeviceCheck::DetailText() const {
  std::string s;
  if (Verdict == cvOtherProtocol || Verdict == cvOtherBaud) {
    s = "отвечает на " + std::to_string(FoundBaud) + ", " + ProtocolText(FoundProtocol);
    if (AnsweredPlant) s += " (зав. № " + std::to_string(AnsweredPlant) + ")";
    return s;
  }
  if (Responses > 0)
    s = "ответ ср. " + Ms(MeanResponseMs) + " мс, макс. " + Ms(WorstResponseMs) + " мс";
  for (const auto& [text, count] : Failures)
    s += (s.empty() ? "" : "; ") + std::to_string(count) + " × " + text;
  if (AnsweredPlant && AnsweredPlant != Device.PlantNumber)
    s += (s.empty() ? "" : "; ") + std::string("отвечает прибор с зав. № ") +
         std::to_string(AnsweredPlant);
  if (Stopped) s += (s.empty() ? "" : "; ") + std::string("проверка остановлена");
  return s;
}

std::vector<TDeviceCheck> RunLineCheck(TCustomComPort& port, TDeviceProtocol protocol,
                                       const std::vector<TCheckedDevice>& devices,
                                       const TLineCheckOptions& options,
                                       const std::function<bool()>& stop,
                                       const std::function<void(int percent)>& progress) {
  std::vector<TDeviceCheck> checks;
  TPortRestore restore(port);
  const int ownBaud = port.BaudRateBits();
  const int n = static_cast<int>(devices.size());
  const int exchanges = std::max(1, options.Exchanges);
  auto report = [&](int index, double inner) {
    if (progress && n > 0) progress(std::min(99, static_cast<int>((index + inner) * 100 / n)));
  };
  for (int i = 0; i < n; ++i) {
    TDeviceCheck c;
    c.Device = devices[static_cast<std::size_t>(i)];
    if (stop && stop()) break;
    TDevice device;
    Scratch(c.Device, device);
    double total = 0;
    for (int k = 0; k < exchanges; ++k) {
      if (stop && stop()) {
        c.Stopped = true;
        break;
      }
      std::uint16_t plant = 0;
      double ms = -1;
      const bool ok = Identify(port, protocol, device, plant, ms);
      ++c.Exchanges;
      if (ms >= 0) {
        ++c.Responses;
        total += ms;
        c.WorstResponseMs = std::max(c.WorstResponseMs, ms);
      }
      if (ok) {
        ++c.Successes;
        c.AnsweredPlant = plant;
      } else {
        ++c.Failures[device.LastResult];
      }
      device.SetSystemAddress(c.Device.Address);
      report(i, 0.5 * (k + 1) / exchanges);
    }
    c.MeanResponseMs = c.Responses ? total / c.Responses : 0;
    if (c.Successes == c.Exchanges && c.Exchanges > 0)
      c.Verdict = cvHealthy;
    else if (c.Successes > 0)
      c.Verdict = cvLinkFaults;
    else if (!c.Stopped) {
      // Silent: the other protocol at the port's speed, then every other
      // speed in both protocols (the port's own protocol first).
      const TDeviceProtocol other = protocol == dpModbus ? dpLargis1 : dpModbus;
      std::vector<std::pair<int, TDeviceProtocol>> probes = {{ownBaud, other}};
      for (int baud : options.BaudRates) {
        if (baud == ownBaud) continue;
        probes.emplace_back(baud, protocol);
        probes.emplace_back(baud, other);
      }
      for (std::size_t p = 0; p < probes.size(); ++p) {
        if (stop && stop()) {
          c.Stopped = true;
          break;
        }
        SetSpeed(port, probes[p].first);
        bool found = false;
        for (int a = 0; a < std::max(1, options.ProbeAttempts) && !found; ++a) {
          std::uint16_t plant = 0;
          double ms = -1;
          device.SetSystemAddress(c.Device.Address);
          found = Identify(port, probes[p].second, device, plant, ms);
          if (found) c.AnsweredPlant = plant;
        }
        report(i, 0.5 + 0.5 * static_cast<double>(p + 1) / static_cast<double>(probes.size()));
        if (found) {
          c.FoundBaud = probes[p].first;
          c.FoundProtocol = probes[p].second;
          c.Verdict = c.FoundBaud == ownBaud ? cvOtherProtocol : cvOtherBaud;
          break;
        }
      }
      SetSpeed(port, ownBaud);
    }
    checks.push_back(std::move(c));
    report(i + 1, 0);
  }
  return checks;
}

std::string LineCheckText(const std::vector<TDeviceCheck>& checks, int baud,
                          TDeviceProtocol protocol) {
  std::string s = "Проверка линии: " + std::to_string(baud) + ", " + ProtocolText(protocol) + "\n";
  for (const TDeviceCheck& c : checks) {
    char head[160];
    std::snprintf(head, sizeof head, "%3u  %5u  %s  ", static_cast<unsigned>(c.Device.Address),
                  static_cast<unsigned>(c.Device.PlantNumber), PadText(c.Device.Name, 16).c_str());
    s += head + PadText(VerdictText(c.Verdict), 15) + "  " + PadText(c.RateText(), 16);
    const std::string detail = c.DetailText();
    if (!detail.empty()) s += "  " + detail;
    s += "\n";
  }
  return s;
}

std::string LineCheckJson(const std::vector<TDeviceCheck>& checks) {
  auto text = [](const std::string& v) { return JsonQuoted(v); };
  std::string s = "[";
  for (std::size_t i = 0; i < checks.size(); ++i) {
    const TDeviceCheck& c = checks[i];
    s += i ? ",\n " : "";
    s += "{\"address\":" + std::to_string(c.Device.Address) +
         ",\"plant\":" + std::to_string(c.Device.PlantNumber) + ",\"name\":" + text(c.Device.Name) +
         ",\"verdict\":" + text(VerdictText(c.Verdict)) +
         ",\"exchanges\":" + std::to_string(c.Exchanges) +
         ",\"successes\":" + std::to_string(c.Successes) +
         ",\"meanResponseMs\":" + (c.Responses ? Ms(c.MeanResponseMs) : "null") +
         ",\"worstResponseMs\":" + (c.Responses ? Ms(c.WorstResponseMs) : "null") +
         ",\"failures\":{";
    bool first = true;
    for (const auto& [t, count] : c.Failures) {
      s += (first ? "" : ",") + text(t) + ":" + std::to_string(count);
      first = false;
    }
    s += "}";
    if (c.FoundBaud)
      s += ",\"answersAt\":{\"baud\":" + std::to_string(c.FoundBaud) +
           ",\"protocol\":" + text(c.FoundProtocol == dpModbus ? "modbus" : "native") + "}";
    s += ",\"stopped\":" + std::string(c.Stopped ? "true" : "false") + "}";
  }
  return s + "]\n";
}

TLineCheckThread::TLineCheckThread(IOperationHost* host, TLineCheckOptions options)
    : TWorkerThread(host), FOptions(std::move(options)), FReport(std::make_shared<TReport>()) {
  TDeviceList& list = host->Devices();
  for (int i = 0; i < list.Count(); ++i)
    FDevices.push_back({list[i]->Name(), list[i]->SystemAddress(), list[i]->PlantNumber()});
}

void TLineCheckThread::Execute() {
  std::vector<TDeviceCheck> checks;
  std::string error;
  try {
    checks = RunLineCheck(
        FForm->ComPort(), FForm->CurrentProtocol(), FDevices, FOptions,
        [this] { return Terminated(); }, [this](int percent) { FForm->ProgressPercent(percent); });
  } catch (const std::exception& e) {
    error = e.what();
  }
  {
    std::lock_guard lock(FReport->Mutex);
    FReport->Checks = std::move(checks);
    FReport->Error = error;
    FReport->Done = true;
  }
  FForm->ProgressPercent(100);
}
