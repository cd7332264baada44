// The Qt Gui application of the painter and report tests (offscreen), and
// readings made up for them.
#pragma once

#include <QGuiApplication>

#include "PaintStyle.h"

inline QGuiApplication& GuiApp() {
  static int argc = 1;
  static char name[] = "test_report";
  static char* argv[] = {name, nullptr};
  static QGuiApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QGuiApplication(argc, argv);
  }();
  return *app;
}

// A device read by a poll (or, ok = false, one that did not answer).
inline TDeviceReading MadeReading(const char* name, std::uint16_t plant, std::uint8_t address,
                                  std::vector<std::uint16_t> words, bool ok = true) {
  TDeviceReading r;
  r.Name = name;
  r.PlantNumber = plant;
  r.SystemAddress = address;
  r.Temperatures = std::move(words);
  r.SensorCount = static_cast<std::uint8_t>(r.Temperatures.size());
  r.Level = 87;
  r.Outcomes = {{"Чтение температурных значений",
                 ok ? "Операция завершена успешно" : "Нет связи с прибором", ok}};
  r.Read = r.LevelConfirmed = r.TemperaturesConfirmed = ok;
  return r;
}
