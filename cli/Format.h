// Texts of lim07ctl's output: temperatures and states as the window shows
// them, aligned tables, JSON and CSV.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Device.h"

// "" for no data, "****" for a fault mark, otherwise degrees with 2 decimals.
std::string TemperatureText(std::uint16_t word);
// JSON value of a temperature word: null for no data, "****" for a fault.
std::string TemperatureJson(std::uint16_t word);
// "0x%02X" of (LevelState | TemperatureState) & 0x7FFF, as the data table.
std::string StateText(const TDevice& device);
// Level code and level as the data table: empty when the level read failed.
std::string LevelCodeText(const TDevice& device);
std::string LevelText(const TDevice& device);

// A JSON string literal (UTF-8 kept, control characters escaped).
std::string JsonString(const std::string& text);
// A CSV field, quoted when it holds a separator, a quote or a line break.
std::string CsvField(const std::string& text);
// Local time with milliseconds, "2024-05-17T10:31:02.153".
std::string Timestamp();

// A table with a header row, columns padded to their widest cell (by UTF-8
// characters). Right-aligned columns hold numbers.
class TTextTable {
 public:
  explicit TTextTable(std::vector<std::string> header, std::vector<bool> rightAligned = {});
  void AddRow(std::vector<std::string> row);
  std::string Text() const;

 private:
  std::vector<std::vector<std::string>> FRows;
  std::vector<bool> FRight;
};
