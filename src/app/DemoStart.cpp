#include "DemoStart.h"

#include <QLabel>
#include <QStatusBar>
#include <stdexcept>

#include "MainForm.h"
#include "VirtualLine.h"

const char* const kDemoLineNote = "Демонстрационная линия (виртуальные приборы)";

namespace {

// The device record of a simulated device, as a scan would have found it and
// a batch read completed it.
TDevice* ListedDevice(const TSimDevice& sim) {
  auto* d = new TDevice;
  d->SetName(sim.Name);
  d->SetSystemAddress(sim.Address);
  d->SetPlantNumber(sim.PlantNumber);
  d->SetSensorCount(static_cast<int>(sim.Temperatures.size()));
  d->CalibrationCode1 = sim.CalibrationCode1;
  d->UnmeasurableLevel = sim.UnmeasurableLevel;
  d->CalibrationCode2 = sim.CalibrationCode2;
  d->CalibrationLevel2 = sim.CalibrationLevel2;
  d->SetAveragingCoefficient(sim.AveragingCoefficient);
  return d;
}

}  // namespace

std::unique_ptr<TVirtualLine> StartDemo(TMainForm& form) {
  auto line = MakeDemoLine(form.CurrentProtocol());
  std::string port = line->SlavePath();
  try {
    port = line->Announce();
  } catch (const std::runtime_error&) {
    // No line folder to be had: the pty's own path still works.
  }
  form.ComPort().SetPort(port);
  form.RefreshPortDescription();
  for (const TSimDevice& sim : line->Devices()) form.AddDevice(ListedDevice(sim));
  form.SelectDevice(0);
  auto* note = new QLabel(QString::fromUtf8(kDemoLineNote), form.statusBar());
  note->setObjectName(QStringLiteral("StatusDemoLine"));
  form.statusBar()->addWidget(note);
  form.OpenPortActionExecute();
  return line;
}
