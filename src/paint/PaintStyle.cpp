#include "PaintStyle.h"

#include <QGuiApplication>
#include <QPalette>

const QColor kAlarmMarkColor(0xC2, 0x18, 0x5B);

TPaintStyle TPaintStyle::FromApplication() {
  TPaintStyle style;
  const QPalette palette = QGuiApplication::palette();
  style.Font = QGuiApplication::font();
  style.Window = palette.color(QPalette::Window);
  style.Base = palette.color(QPalette::Base);
  style.Text = palette.color(QPalette::WindowText);
  return style;
}

TPaintStyle TPaintStyle::Paper(const QFont& font) {
  TPaintStyle style;
  style.Font = font;
  style.Window = Qt::white;
  style.Base = Qt::white;
  style.Text = Qt::black;
  return style;
}
