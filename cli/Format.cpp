#include "Format.h"

#include "Cp1251.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

std::string TemperatureText(std::uint16_t word) {
  if (word == kNoDataTemperature) return "";
  if (word == kFaultTemperatureA || word == kFaultTemperatureB) return "****";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", static_cast<std::int16_t>(word) / 16.0);
  return text;
}

std::string TemperatureJson(std::uint16_t word) {
  if (word == kNoDataTemperature) return "null";
  if (word == kFaultTemperatureA || word == kFaultTemperatureB) return "\"****\"";
  return TemperatureText(word);
}

std::string StateText(const TDevice& device) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02X",
                static_cast<unsigned>((device.LevelState | device.TemperatureState) & 0x7FFF));
  return text;
}

std::string LevelCodeText(const TDevice& device) {
  return (device.LevelState & kStateFailed) ? "" : std::to_string(device.LevelCode);
}

std::string LevelText(const TDevice& device) {
  return (device.LevelState & kStateFailed) ? "" : std::to_string(device.Level);
}

std::string JsonString(const std::string& text) {
  // Bytes that are not UTF-8 (a port name, a name from an odd file) become
  // U+FFFD: the output stays valid JSON.
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",;\"\r\n") == std::string::npos) return text;
  std::string r = "\"";
  for (char c : text) {
    if (c == '"') r += '"';
    r += c;
  }
  return r + "\"";
}

std::string Timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&t, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  char full[48];
  std::snprintf(full, sizeof full, "%s.%03d", text, static_cast<int>(ms));
  return full;
}

TTextTable::TTextTable(std::vector<std::string> header, std::vector<bool> rightAligned)
    : FRight(std::move(rightAligned)) {
  FRows.push_back(std::move(header));
}

void TTextTable::AddRow(std::vector<std::string> row) {
  FRows.push_back(std::move(row));
}

std::string TTextTable::Text() const {
  std::vector<std::size_t> widths;
  for (const auto& row : FRows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (std::size_t c = 0; c < row.size(); ++c)
      widths[c] = std::max(widths[c], Utf8Length(row[c]));
  }
  std::string text;
  for (const auto& row : FRows) {
    std::string line;
    for (std::size_t c = 0; c < widths.size(); ++c) {
      const std::string cell = c < row.size() ? row[c] : "";
      const std::string pad(widths[c] - Utf8Length(cell), ' ');
      if (c > 0) line += "  ";
      const bool right = c < FRight.size() && FRight[c];
      line += right ? pad + cell : cell + pad;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    text += line + "\n";
  }
  return text;
}
