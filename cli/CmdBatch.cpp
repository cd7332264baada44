// batch-read, batch-write, write-addresses: the window's batch threads over
// the named devices. Their report is the window's: the cells an operation is
// to confirm are marked first, each device the thread confirms has its marks
// cleared, and what is still marked at the end was not confirmed.
#include <optional>
#include <ostream>

#include "BatchThreads.h"
#include "Commands.h"
#include "Format.h"
#include "Transaction.h"

namespace {

struct TColumnName {
  int Column;
  const char* Header;  // as the device table has it
  const char* Key;     // JSON
};
const TColumnName kColumns[] = {
    {dcSystemAddress, "Сист. адрес", "address"},
    {dcSensorCount, "Т. изм.", "sensors"},
    {dcCalibrationCode1, "С1", "c1"},
    {dcUnmeasurableLevel, "НУ [дм]", "h1"},
    {dcCalibrationCode2, "C2", "c2"},
    {dcCalibrationLevel2, "H2", "h2"},
    {dcAveragingCoefficient, "Kуср", "coefficient"},
};

TColumnSet Range(int first, int last) {
  TColumnSet set = 0;
  for (int c = first; c <= last; ++c) set |= ColumnBit(c);
  return set;
}

struct TBatchKind {
  const char* Caption;   // the window's progress caption
  const char* Question;  // asked before writes; null for the read
  TColumnSet Marked;     // what the window marks before it starts
  TColumnSet Expected;   // what the operation can confirm at all
};

TBatchKind KindOf(const std::string& command) {
  if (command == "batch-read")
    // The batch read does not read the coefficient: "Kуср" stays marked, as
    // in the window, but does not count against the devices.
    return {"Пакетное чтение", nullptr, Range(dcSensorCount, dcAveragingCoefficient),
            Range(dcSensorCount, dcCalibrationLevel2)};
  if (command == "batch-write")
    return {"Пакетная запись", "Записать данные в приборы?",
            Range(dcCalibrationCode1, dcAveragingCoefficient),
            Range(dcCalibrationCode1, dcAveragingCoefficient)};
  return {"Запись системных адресов", "Изменить системные адреса в соответствии с конфигурацией?",
          ColumnBit(dcSystemAddress), ColumnBit(dcSystemAddress)};
}

// The result text of a device: its last exchange's, unless that succeeded
// while something the operation was to confirm was not (the device answered
// with another plant number, or an earlier step failed).
std::string BatchResult(const TDevice& d, TColumnSet unconfirmed, const TBatchKind& kind) {
  if (!(unconfirmed & kind.Expected)) return d.LastResult;
  if (!d.LastResult.empty() && d.LastResult != ResultText(rtSuccess)) return d.LastResult;
  if ((unconfirmed & kind.Expected) == kind.Expected) return kDeviceNotFoundText;
  std::string names;
  for (const TColumnName& c : kColumns)
    if (unconfirmed & kind.Expected & ColumnBit(c.Column))
      names += (names.empty() ? "" : ", ") + std::string(c.Header);
  return "not confirmed: " + names;
}

void Report(TSession& session, const TBatchKind& kind) {
  TConsoleHost& host = session.Host();
  TDeviceList& devices = session.Devices();
  std::vector<std::string> header = {"Name", "Addr", "Зав. №"};
  for (const TColumnName& c : kColumns)
    if (kind.Marked & ColumnBit(c.Column)) header.push_back(c.Header);
  header.push_back("Result");
  TTextTable table(header);
  std::string json = "[";
  for (int i = 0; i < devices.Count(); ++i) {
    const TDevice& d = *devices[i];
    const TColumnSet left = host.Marks(i);
    std::vector<std::string> row = {d.Name(), std::to_string(d.SystemAddress()),
                                    std::to_string(d.PlantNumber())};
    std::string confirmed, unconfirmed;
    for (const TColumnName& c : kColumns) {
      if (!(kind.Marked & ColumnBit(c.Column))) continue;
      const bool ok = !(left & ColumnBit(c.Column));
      row.push_back(ok ? "ok" : "--");
      std::string& list = ok ? confirmed : unconfirmed;
      list += (list.empty() ? "" : ",") + JsonString(c.Key);
    }
    const bool ok = !(left & kind.Expected);
    const std::string result = BatchResult(d, left, kind);
    row.push_back(result);
    table.AddRow(row);
    json += std::string(i ? ",\n " : "\n ") + "{\"name\":" + JsonString(d.Name()) +
            ",\"address\":" + std::to_string(d.SystemAddress()) +
            ",\"plant\":" + std::to_string(d.PlantNumber()) + ",\"confirmed\":[" + confirmed +
            "],\"unconfirmed\":[" + unconfirmed + "],\"ok\":" + (ok ? "true" : "false") +
            ",\"result\":" + JsonString(result) + "}";
  }
  json += devices.Count() ? "\n]\n" : "]\n";
  session.Console().Out << (session.Options().Json ? json : table.Text());
}

}  // namespace

int CmdBatch(TSession& session) {
  const TCliOptions& o = session.Options();
  TConsole& console = session.Console();
  TConsoleHost& host = session.Host();
  const TBatchKind kind = KindOf(o.Command);
  if (o.Command == "write-addresses" && session.Devices().HasDuplicateAddresses())
    throw EUsage(
        "Обнаружено совпадение системных адресов!\nВыполнение команды невозможно "
        "(two devices of the configuration share an address)",
        o.Command);
  if (o.Save && o.Command != "batch-read")
    throw EUsage("--save applies to batch-read only", o.Command);
  if (kind.Question) session.Confirm(kind.Question);
  session.OpenPort();

  host.MarkAll(kind.Marked);
  host.ProgressCaption = kind.Caption;
  const int count = session.Devices().Count();
  int started = 0;
  host.OnProgressDevice = [&](std::uint16_t plant, std::uint8_t address) {
    if (plant == 0 && address == 0) {
      console.Progress(kind.Caption, 100);
      return;
    }
    console.Progress(std::string(kind.Caption) + ": " + std::to_string(plant) + " (" +
                         std::to_string(address) + ")",
                     count ? started * 100 / count : 100);
    ++started;
  };
  std::unique_ptr<TWorkerThread> thread;
  if (o.Command == "batch-read")
    thread = std::make_unique<TConfigRefreshThread>(&host);
  else if (o.Command == "batch-write")
    thread = std::make_unique<TDeviceRefreshThread>(&host);
  else
    thread = std::make_unique<TAllAddressUpdateThread>(&host);
  bool interrupted = false;
  std::optional<ECliError> lost;  // the line went away mid-way: report first
  try {
    interrupted = session.RunWorker(*thread);
  } catch (const ECliError& e) {
    lost = e;
  }
  thread.reset();
  host.OnProgressDevice = nullptr;

  Report(session, kind);
  if (o.Save) {
    // What each device confirmed; the batch read stores nothing else.
    std::vector<TColumnSet> confirmed;
    for (int i = 0; i < count; ++i) confirmed.push_back(kind.Expected & ~host.Marks(i));
    session.SaveBackToConfig(confirmed);
  }
  if (lost) throw *lost;
  if (interrupted) return ecInterrupted;
  for (int i = 0; i < count; ++i)
    if (host.Marks(i) & kind.Expected) return ecUnconfirmed;
  return ecOk;
}
