// Draws the toolbar images and the "MOVE1" clip of the window into PNG files
// (src/ui/resources). Run it after changing a drawing:
//   lim07-icons src/ui/resources
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <cstdio>
#include <functional>

namespace {

constexpr int kSize = 32;
const QColor kInk(0x30, 0x30, 0x38);
const QColor kGreen(0x2E, 0x9D, 0x3A);
const QColor kRed(0xD0, 0x35, 0x2B);
const QColor kBlue(0x25, 0x6E, 0xC8);
const QColor kPaper(0xFA, 0xFA, 0xF4);

using TDraw = std::function<void(QPainter&)>;

bool Save(const QString& dir, const QString& name, const TDraw& draw) {
  QImage image(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  draw(p);
  p.end();
  return image.save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

void Plug(QPainter& p, bool connected) {
  p.setPen(QPen(kInk, 2.2, Qt::SolidLine, Qt::RoundCap));
  // cable ends
  p.drawLine(QPointF(2, 26), QPointF(8, 20));
  p.drawLine(QPointF(30, 6), QPointF(24, 12));
  p.setBrush(QColor(0xE0, 0xE0, 0xE0));
  const double gap = connected ? 0 : 4;
  // left plug body with pins
  p.save();
  p.translate(12 - gap / 2, 20 + gap / 2);
  p.rotate(-45);
  p.drawRoundedRect(QRectF(-4, -5, 8, 10), 2, 2);
  p.drawLine(QPointF(4, -2.5), QPointF(8, -2.5));
  p.drawLine(QPointF(4, 2.5), QPointF(8, 2.5));
  p.restore();
  // right socket
  p.save();
  p.translate(20 + gap / 2, 12 - gap / 2);
  p.rotate(-45);
  p.drawRoundedRect(QRectF(-4, -6, 8, 12), 2, 2);
  p.restore();
  if (connected) {
    p.setPen(Qt::NoPen);
    p.setBrush(kGreen);
    p.drawEllipse(QPointF(26, 26), 5, 5);
  } else {
    p.setPen(QPen(kRed, 2.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(22, 22), QPointF(30, 30));
    p.drawLine(QPointF(30, 22), QPointF(22, 30));
  }
}

void Document(QPainter& p) {
  p.setPen(QPen(kInk, 1.5));
  p.setBrush(kPaper);
  QPainterPath path;
  path.moveTo(7, 3);
  path.lineTo(20, 3);
  path.lineTo(26, 9);
  path.lineTo(26, 29);
  path.lineTo(7, 29);
  path.closeSubpath();
  p.drawPath(path);
  p.drawLine(QPointF(20, 3), QPointF(20, 9));
  p.drawLine(QPointF(20, 9), QPointF(26, 9));
  p.setPen(QPen(QColor(0x90, 0x90, 0x98), 1.2));
  for (int y = 14; y <= 24; y += 4) p.drawLine(QPointF(10, y), QPointF(23, y));
}

void Disk(QPainter& p) {
  p.setPen(QPen(kInk, 1.5));
  p.setBrush(kBlue);
  p.drawRoundedRect(QRectF(4, 4, 24, 24), 2, 2);
  p.setBrush(kPaper);
  p.drawRect(QRectF(9, 4, 14, 9));
  p.setBrush(QColor(0xDD, 0xDD, 0xDD));
  p.drawRect(QRectF(8, 18, 16, 10));
}

void Device(QPainter& p, const QColor& accent) {
  // a cable head with its sensor string
  p.setPen(QPen(kInk, 1.6));
  p.setBrush(QColor(0xC8, 0xD2, 0xDC));
  p.drawRoundedRect(QRectF(4, 3, 16, 9), 2, 2);
  p.setPen(QPen(kInk, 2));
  p.drawLine(QPointF(12, 12), QPointF(12, 29));
  p.setPen(Qt::NoPen);
  p.setBrush(accent);
  for (int y = 16; y <= 28; y += 6) p.drawEllipse(QPointF(12, y), 2.4, 2.4);
}

void Arrow(QPainter& p, QPointF from, QPointF to, const QColor& color) {
  p.setPen(QPen(color, 3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(from, to);
  const double a = std::atan2(to.y() - from.y(), to.x() - from.x());
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  QPolygonF head;
  head << to + QPointF(std::cos(a) * 3, std::sin(a) * 3)
       << to + QPointF(std::cos(a + 2.5) * 7, std::sin(a + 2.5) * 7)
       << to + QPointF(std::cos(a - 2.5) * 7, std::sin(a - 2.5) * 7);
  p.drawPolygon(head);
}

void Badge(QPainter& p, const QString& text, const QColor& color) {
  p.setPen(QPen(color.darker(130), 1.5));
  p.setBrush(color);
  p.drawRoundedRect(QRectF(2, 6, 28, 20), 5, 5);
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPixelSize(text.size() > 2 ? 10 : 13);
  f.setBold(true);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(QRectF(2, 6, 28, 20), Qt::AlignCenter, text);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const QString dir =
      argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("src/ui/resources");
  QDir().mkpath(dir + QStringLiteral("/icons"));
  QDir().mkpath(dir + QStringLiteral("/clips"));
  const QString icons = dir + QStringLiteral("/icons");
  bool ok = true;
  ok &= Save(icons, "connect", [](QPainter& p) { Plug(p, true); });
  ok &= Save(icons, "disconnect", [](QPainter& p) { Plug(p, false); });
  ok &= Save(icons, "port", [](QPainter& p) {
    // a DB-9 connector
    p.setPen(QPen(kInk, 1.6));
    p.setBrush(QColor(0xC8, 0xD2, 0xDC));
    QPolygonF shell({QPointF(3, 9), QPointF(29, 9), QPointF(25, 23), QPointF(7, 23)});
    p.drawPolygon(shell);
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
    for (int i = 0; i < 5; ++i) p.drawEllipse(QPointF(8 + i * 4, 13.5), 1.5, 1.5);
    for (int i = 0; i < 4; ++i) p.drawEllipse(QPointF(10 + i * 4, 18.5), 1.5, 1.5);
  });
  ok &= Save(icons, "run", [](QPainter& p) {
    p.setPen(QPen(kGreen.darker(130), 1.5));
    p.setBrush(kGreen);
    p.drawPolygon(QPolygonF({QPointF(8, 4), QPointF(28, 16), QPointF(8, 28)}));
  });
  ok &= Save(icons, "stop", [](QPainter& p) {
    p.setPen(QPen(kRed.darker(130), 1.5));
    p.setBrush(kRed);
    p.drawRoundedRect(QRectF(6, 6, 20, 20), 3, 3);
  });
  ok &= Save(icons, "search", [](QPainter& p) {
    p.setPen(QPen(kInk, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(19, 19), QPointF(28, 28));
    p.setPen(QPen(kInk, 2));
    p.setBrush(QColor(0xCF, 0xE6, 0xFA));
    p.drawEllipse(QPointF(13, 13), 9, 9);
  });
  ok &= Save(icons, "read", [](QPainter& p) {
    Device(p, kBlue);
    Arrow(p, QPointF(24, 8), QPointF(24, 26), kBlue);
  });
  ok &= Save(icons, "write", [](QPainter& p) {
    Device(p, kRed);
    Arrow(p, QPointF(24, 26), QPointF(24, 8), kRed);
  });
  ok &= Save(icons, "add", [](QPainter& p) {
    Device(p, kGreen);
    p.setPen(QPen(kGreen, 4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(24, 16), QPointF(24, 28));
    p.drawLine(QPointF(18, 22), QPointF(30, 22));
  });
  ok &= Save(icons, "remove", [](QPainter& p) {
    Device(p, QColor(0x99, 0x99, 0x99));
    p.setPen(QPen(kRed, 4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(18, 22), QPointF(30, 22));
  });
  ok &= Save(icons, "largis1", [](QPainter& p) { Badge(p, QStringLiteral("Л1"), kBlue); });
  ok &= Save(icons, "modbus",
             [](QPainter& p) { Badge(p, QStringLiteral("MB"), QColor(0xE0, 0x80, 0x10)); });
  ok &= Save(icons, "about", [](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    p.drawEllipse(QPointF(16, 16), 13, 13);
    QFont f(QStringLiteral("DejaVu Serif"));
    f.setPixelSize(20);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRectF(3, 3, 26, 26), Qt::AlignCenter, QStringLiteral("i"));
  });
  ok &= Save(icons, "new", [](QPainter& p) { Document(p); });
  ok &= Save(icons, "open", [](QPainter& p) {
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(QColor(0xF2, 0xC1, 0x4E));
    p.drawPolygon(QPolygonF({QPointF(3, 8), QPointF(12, 8), QPointF(14, 11), QPointF(27, 11),
                             QPointF(27, 26), QPointF(3, 26)}));
  });
  ok &= Save(icons, "save", [](QPainter& p) { Disk(p); });
  ok &= Save(icons, "saveas", [](QPainter& p) {
    Disk(p);
    p.setPen(QPen(kRed, 2.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(18, 28), QPointF(29, 17));
  });
  ok &= Save(icons, "interval", [](QPainter& p) {
    p.setPen(QPen(kInk, 2));
    p.setBrush(kPaper);
    p.drawEllipse(QPointF(16, 16), 13, 13);
    p.setPen(QPen(kInk, 2.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(16, 16), QPointF(16, 7));
    p.drawLine(QPointF(16, 16), QPointF(22, 19));
  });
  ok &= Save(icons, "uploadall", [](QPainter& p) {
    Device(p, kBlue);
    Arrow(p, QPointF(24, 28), QPointF(24, 8), kGreen);
  });

  // "MOVE1": ten frames of a pulse running down a sensor string, side by side.
  QImage strip(kSize * 10, kSize, QImage::Format_ARGB32_Premultiplied);
  strip.fill(Qt::transparent);
  QPainter p(&strip);
  p.setRenderHint(QPainter::Antialiasing);
  for (int f = 0; f < 10; ++f) {
    p.save();
    p.translate(f * kSize, 0);
    p.setPen(QPen(kInk, 2));
    p.drawLine(QPointF(16, 2), QPointF(16, 30));
    for (int s = 0; s < 5; ++s) {
      const double y = 4 + s * 6;
      const int lit = f % 5;
      const double distance = std::abs(s - lit);
      p.setPen(Qt::NoPen);
      p.setBrush(distance == 0 ? kRed : distance == 1 ? QColor(0xF0, 0x90, 0x40) : kBlue);
      p.drawEllipse(QPointF(16, y), distance == 0 ? 4.0 : 2.8, distance == 0 ? 4.0 : 2.8);
    }
    // waves beside the lit sensor, alternating sides
    p.setPen(QPen(kGreen, 1.6));
    p.setBrush(Qt::NoBrush);
    const double y = 4 + (f % 5) * 6;
    const double r = 6 + (f % 2) * 3;
    p.drawArc(QRectF(16 - r, y - r, 2 * r, 2 * r), f < 5 ? -40 * 16 : 140 * 16, 80 * 16);
    p.restore();
  }
  p.end();
  ok &= strip.save(dir + QStringLiteral("/clips/MOVE1.png"));
  std::printf("%s\n", ok ? "written" : "failed");
  return ok ? 0 : 1;
}
