#include "TrendSource.h"

#include <cmath>

namespace {

constexpr double kGap = std::numeric_limits<double>::quiet_NaN();

// Floor division that also rounds negative numerators down.
long FloorDiv(std::int64_t a, std::int64_t b) {
  return static_cast<long>(a >= 0 ? a / b : -((-a + b - 1) / b));
}

}  // namespace

double TemperatureValue(std::uint16_t word) {
  if (word == 0xDDDD || word == 0xAAAA || word == 0x55AA) return kGap;
  return static_cast<std::int16_t>(word) / 16.0;
}

TTrendReducer::TTrendReducer(std::int64_t fromMs, std::int64_t toMs, int columns)
    : FFrom(fromMs),
      FSpan(toMs >= fromMs ? toMs - fromMs + 1 : 1),
      FColumns(columns > 0 ? columns : 0) {}

void TTrendReducer::Add(std::int64_t timeMs, double value) {
  if (std::isnan(value)) {
    FlushColumn();
    if (!FLastWasGap) FPoints.push_back({timeMs, kGap});
    FLastWasGap = true;
    return;
  }
  if (FColumns == 0) {
    FPoints.push_back({timeMs, value});
    FLastWasGap = false;
    return;
  }
  // Points just outside the range (kept so that the line reaches the edges)
  // fall into columns -1 and FColumns.
  const long column = FloorDiv((timeMs - FFrom) * FColumns, FSpan);
  if (column != FColumn) {
    FlushColumn();
    FColumn = column;
  }
  if (std::isnan(FMin.Value) || value < FMin.Value) FMin = {timeMs, value};
  if (std::isnan(FMax.Value) || value > FMax.Value) FMax = {timeMs, value};
}

void TTrendReducer::FlushColumn() {
  if (!std::isnan(FMin.Value)) {
    const bool minFirst = FMin.TimeMs <= FMax.TimeMs;
    FPoints.push_back(minFirst ? FMin : FMax);
    if (FMin.TimeMs != FMax.TimeMs || FMin.Value != FMax.Value)
      FPoints.push_back(minFirst ? FMax : FMin);
    FLastWasGap = false;
  }
  FMin = FMax = {0, kGap};
  FColumn = -2;
}

std::vector<TTrendPoint> TTrendReducer::Take() {
  FlushColumn();
  return std::move(FPoints);
}
