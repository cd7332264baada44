// upload: the window's firmware-upload threads, one device or every device
// named, with a progress bar on a terminal.
#include <atomic>
#include <ostream>

#include "Commands.h"
#include "Format.h"
#include "ModbusRequests.h"
#include "UploadThreads.h"

namespace {

// The single-device thread, telling afterwards whether the receiver
// acknowledged the whole file.
class TConsoleUploadThread : public TSoftwareUploadThread {
 public:
  using TSoftwareUploadThread::TSoftwareUploadThread;
  bool Delivered() const { return FDelivered.load(); }

 protected:
  void Execute() override {
    TSoftwareUploadThread::Execute();
    FDelivered.store(FXModem->TransferDone());
  }

 private:
  std::atomic<bool> FDelivered{false};
};

// The mode switch carries the device's plant number: a device named by a
// bare address is identified first, and nothing is uploaded when one of them
// does not answer.
bool LearnPlantNumbers(TSession& session) {
  if (session.IdentifyNew(false)) return true;
  session.Console().Err << "lim07ctl: the plant number of a device named by its address is "
                           "unknown (see above): nothing was uploaded\n";
  return false;
}

int UploadOne(TSession& session, const std::string& file) {
  TConsole& console = session.Console();
  TDevice* d = session.Devices()[0];
  session.Confirm("Загрузить новое ПО для прибора " + d->Name() + "?");
  session.OpenPort();
  if (!LearnPlantNumbers(session)) return ecUnconfirmed;
  bool switched;
  {
    TSetSoftUploadModeTransaction request(&session.Port(), dpModbus);
    switched = request.Execute(d);
  }
  if (!switched) {
    console.Err << "Не удалось перевести устройство " << d->Name() << " в режим загрузки ПО!\n"
                << OutcomeLine(*d) << '\n';
    if (session.Options().Json)
      console.Out << "[{\"name\":" << JsonString(d->Name())
                  << ",\"address\":" << static_cast<int>(d->SystemAddress())
                  << ",\"delivered\":false,\"ok\":false,\"result\":"
                  << JsonString("Не удалось перевести устройство в режим загрузки ПО: " +
                                d->LastResult)
                  << "}]\n";
    return ecUnconfirmed;
  }
  session.Host().ProgressCaption = "Загрузка ПО";
  TConsoleUploadThread thread(file, &session.Host());
  const bool interrupted = session.RunWorker(thread);
  session.Port().Parity().SetBits(prEven);
  const bool delivered = thread.Delivered();
  if (session.Options().Json)
    console.Out << "[{\"name\":" << JsonString(d->Name())
                << ",\"address\":" << static_cast<int>(d->SystemAddress())
                << ",\"delivered\":" << (delivered ? "true" : "false")
                << ",\"ok\":" << (delivered ? "true" : "false") << ",\"result\":"
                << JsonString(delivered ? "firmware delivered" : "firmware NOT delivered")
                << "}]\n";
  else
    console.Out << d->Name() << " (" << static_cast<int>(d->SystemAddress())
                << "): " << (delivered ? "firmware delivered" : "firmware NOT delivered") << '\n';
  if (interrupted) return ecInterrupted;
  return delivered ? ecOk : ecUnconfirmed;
}

int UploadAll(TSession& session, const std::string& file) {
  TConsole& console = session.Console();
  TDeviceList& devices = session.Devices();
  session.Confirm("Загрузить новое ПО для приборов?");
  session.OpenPort();
  if (!LearnPlantNumbers(session)) return ecUnconfirmed;
  const int count = devices.Count();
  // Per device: reports of its progress, the last percentage, and whether
  // the thread went on past it normally.
  std::vector<int> reports(static_cast<std::size_t>(count), 0), last(reports), finished(reports);
  session.Host().OnUploadProgress = [&](int index, int percent) {
    if (percent == 0 && index > 0 && index <= count) {
      finished[static_cast<std::size_t>(index - 1)] = 1;  // (i + 1, 0): device i done with
    } else if (index >= 0 && index < count) {
      ++reports[static_cast<std::size_t>(index)];
      last[static_cast<std::size_t>(index)] = percent;
    }
    const int overall = count > 0 ? std::min(index, count) * 100 / count : 100;
    if (console.ProgressBar()) {
      const std::string caption =
          "Загрузка ПО " + std::to_string(overall) + " % | " +
          (index < count ? devices[std::min(index, count - 1)]->Name() : "");
      console.Progress(caption, percent == 0 && index > 0 ? 100 : percent);
    }
  };
  TTotalSoftwareUploadThread thread(file, &session.Host());
  const bool interrupted = session.RunWorker(thread);
  session.Host().OnUploadProgress = nullptr;
  session.Port().Parity().SetBits(prEven);

  bool all = true;
  std::vector<std::string> json;
  for (int i = 0; i < count; ++i) {
    const auto k = static_cast<std::size_t>(i);
    const bool delivered = finished[k] && reports[k] >= 2 && last[k] == 100;
    all = all && delivered;
    const TDevice& d = *devices[i];
    std::string why = delivered ? "firmware delivered" : "firmware NOT delivered";
    if (!delivered && reports[k] == 0 && finished[k])
      why += ": Не удалось перевести устройство в режим загрузки ПО (" + d.LastResult + ")";
    else if (!delivered && reports[k] == 1 && last[k] == 100)
      why += ": no answer from the loader";
    if (session.Options().Json)
      json.push_back("{\"name\":" + JsonString(d.Name()) +
                     ",\"address\":" + std::to_string(d.SystemAddress()) + ",\"delivered\":" +
                     (delivered ? "true" : "false") + ",\"ok\":" + (delivered ? "true" : "false") +
                     ",\"result\":" + JsonString(why) + "}");
    else
      console.Out << d.Name() << " (" << static_cast<int>(d.SystemAddress()) << "): " << why
                  << '\n';
  }
  if (session.Options().Json) {
    console.Out << "[";
    for (std::size_t i = 0; i < json.size(); ++i) console.Out << (i ? ",\n " : "\n ") << json[i];
    console.Out << (json.empty() ? "]\n" : "\n]\n");
  }
  if (interrupted) return ecInterrupted;
  return all ? ecOk : ecUnconfirmed;
}

}  // namespace

int CmdUpload(TSession& session) {
  const TCliOptions& o = session.Options();
  if (o.Positional.size() != 1) throw EUsage("give one firmware file: upload FILE.bin2", o.Command);
  const std::string& file = o.Positional[0];
  if (const std::string problem = CheckFirmwareFile(file); !problem.empty())
    throw EUsage(file + ": " + problem, o.Command);
  if (session.Protocol() != dpModbus)
    throw EUsage("firmware is uploaded to devices in Modbus: add --protocol modbus", o.Command);
  if (session.Devices().Count() == 0) throw EUsage("no device to upload to", o.Command);
  const bool one = session.Devices().Count() == 1 && (!o.Addresses.empty() || o.Plant);
  return one ? UploadOne(session, file) : UploadAll(session, file);
}
