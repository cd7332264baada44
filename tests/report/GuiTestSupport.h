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

#include <cstdio>
#include <string>

// The output of a shell command (poppler's tools on a report).
inline std::string Run(const std::string& command) {
  std::string out;
  if (FILE* f = popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    pclose(f);
  }
  return out;
}
// pdftotext's text of a PDF, pages separated by form feeds.
inline std::string PdfText(const std::string& path) {
  return Run("pdftotext -layout '" + path + "' - 2>&1");
}
// pdfinfo's page count, -1 when it cannot read the file.
inline int PdfPages(const std::string& path, std::string* size = nullptr) {
  const std::string info = Run("pdfinfo '" + path + "' 2>&1");
  const auto at = info.find("Pages:");
  if (size) {
    const auto s = info.find("Page size:");
    *size = s == std::string::npos ? "" : info.substr(s, info.find('\n', s) - s);
  }
  return at == std::string::npos ? -1 : std::stoi(info.substr(at + 6));
}
