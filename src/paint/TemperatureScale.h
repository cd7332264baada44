// The colours of temperatures in the views: one scale for the whole line, cut
// into bands at three thresholds (degC; a value at a threshold belongs to the
// band above it), and the colours of the cells that hold no temperature. None
// of those can be taken for a band: they are black, white and grey.
#pragma once

#include <QColor>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <array>
#include <cstdint>

struct TTemperatureScale {
  // Stored grain: below 10 degC it keeps; 10 to 20 wants watching; 20 to 30
  // is warm enough for insects and mould; from 30 on a hot spot is forming.
  static constexpr std::array<double, 3> kDefaultThresholds{10.0, 20.0, 30.0};
  static const std::array<QColor, 4> kBandColors;
  static const QColor kFaultColor;    // a sensor's fault word
  static const QColor kNoDataColor;   // the no-data word
  static const QColor kFailedColor;   // the device's last read failed
  static const QColor kNotReadColor;  // not read yet in this session

  std::array<double, 3> Thresholds = kDefaultThresholds;

  // 0 … 3: the band a temperature falls into.
  int Band(double celsius) const;
  QColor Color(double celsius) const {
    return kBandColors[static_cast<std::size_t>(Band(celsius))];
  }
  // The colour of a cell with this raw word.
  QColor WordColor(std::uint16_t word) const;
  // "< 10", "10 … 20", "20 … 30", "≥ 30".
  QStringList BandLabels() const;
  // True when the thresholds rise strictly.
  static bool Valid(const std::array<double, 3>& thresholds);

  // The thresholds as an option value, and back; a value that is not three
  // rising numbers gives the defaults.
  QVariant ToOption() const;
  static TTemperatureScale FromOption(const QVariant& stored);
  // Kept among the options of a store (a view's dock: Option/SetOption) as
  // "thresholds".
  template <class TOptions>
  static TTemperatureScale Load(const TOptions& options) {
    return FromOption(options.Option(QStringLiteral("thresholds"), QVariant()));
  }
  template <class TOptions>
  void Save(TOptions& options) const {
    options.SetOption(QStringLiteral("thresholds"), ToOption());
  }
};

// Degrees with two decimals and the system's decimal separator.
QString DegreesText(double celsius);
// What a raw word says: degrees, "****" for a fault mark, "нет данных".
QString WordText(std::uint16_t word);
