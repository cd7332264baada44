#include "TemperatureScale.h"

#include <QLocale>
#include <QVariantList>

#include "Device.h"
#include "TrendSource.h"

const std::array<QColor, 4> TTemperatureScale::kBandColors{
    QColor(0x3B, 0x7D, 0xD8), QColor(0x43, 0xA0, 0x47), QColor(0xFF, 0xB3, 0x00),
    QColor(0xE5, 0x39, 0x35)};
const QColor TTemperatureScale::kFaultColor(0x10, 0x10, 0x10);
const QColor TTemperatureScale::kNoDataColor(0xFF, 0xFF, 0xFF);
const QColor TTemperatureScale::kFailedColor(0xB4, 0xB4, 0xB4);
const QColor TTemperatureScale::kNotReadColor(0xE4, 0xE4, 0xE4);

int TTemperatureScale::Band(double celsius) const {
  int band = 0;
  while (band < 3 && celsius >= Thresholds[static_cast<std::size_t>(band)]) ++band;
  return band;
}

QColor TTemperatureScale::WordColor(std::uint16_t word) const {
  if (word == kFaultTemperatureA || word == kFaultTemperatureB) return kFaultColor;
  if (word == kNoDataTemperature) return kNoDataColor;
  return Color(TemperatureValue(word));
}

QStringList TTemperatureScale::BandLabels() const {
  const auto n = [](double v) { return QLocale().toString(v, 'g', 4); };
  return {QStringLiteral("< %1").arg(n(Thresholds[0])),
          QStringLiteral("%1 … %2").arg(n(Thresholds[0]), n(Thresholds[1])),
          QStringLiteral("%1 … %2").arg(n(Thresholds[1]), n(Thresholds[2])),
          QString::fromUtf8("≥ %1").arg(n(Thresholds[2]))};
}

bool TTemperatureScale::Valid(const std::array<double, 3>& t) {
  return t[0] < t[1] && t[1] < t[2];
}

TTemperatureScale TTemperatureScale::FromOption(const QVariant& option) {
  TTemperatureScale scale;
  const QVariantList stored = option.toList();
  if (stored.size() != 3) return scale;
  std::array<double, 3> t{};
  for (int i = 0; i < 3; ++i) {
    bool ok = false;
    t[static_cast<std::size_t>(i)] = stored[i].toDouble(&ok);
    if (!ok) return scale;
  }
  if (Valid(t)) scale.Thresholds = t;
  return scale;
}

QVariant TTemperatureScale::ToOption() const {
  return QVariantList{Thresholds[0], Thresholds[1], Thresholds[2]};
}

QString DegreesText(double celsius) {
  QLocale locale;
  locale.setNumberOptions(QLocale::OmitGroupSeparator);
  return locale.toString(celsius, 'f', 2);
}

QString WordText(std::uint16_t word) {
  if (word == kNoDataTemperature) return QString::fromUtf8("нет данных");
  if (word == kFaultTemperatureA || word == kFaultTemperatureB) return QStringLiteral("****");
  return DegreesText(TemperatureValue(word)) + QString::fromUtf8(" °C");
}
