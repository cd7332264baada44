// What the pictures of the line take from their surroundings: the font and
// the few colours of the frame around the data. A view passes its widget's
// font and palette; the report passes its own print font on white paper.
#pragma once

#include <QColor>
#include <QFont>
#include <cstdint>
#include <memory>
#include <set>

#include "LineSnapshot.h"

using TSnapshotPtr = std::shared_ptr<const TLineSnapshot>;

struct TPaintStyle {
  QFont Font;
  QColor Window{0xEF, 0xEF, 0xEF};  // behind and between the cells
  QColor Base{Qt::white};           // behind a plot
  QColor Text{Qt::black};

  // The application's font and palette (needs a QGuiApplication).
  static TPaintStyle FromApplication();
  // Black on white paper in the given font.
  static TPaintStyle Paper(const QFont& font);

  bool operator==(const TPaintStyle& o) const {
    return Font == o.Font && Window == o.Window && Base == o.Base && Text == o.Text;
  }
};

// A place of the line that is in alarm: a device by its plant number and a
// sensor (1 …), or sensor 0 for the device as a whole (its level, its link).
struct TAlarmCell {
  std::uint16_t PlantNumber = 0;
  int Sensor = 0;
  auto operator<=>(const TAlarmCell&) const = default;
};
using TAlarmCells = std::set<TAlarmCell>;

// The colour alarm marks are drawn in: none of the scale's bands, nor black,
// white or grey.
extern const QColor kAlarmMarkColor;
