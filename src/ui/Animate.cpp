#include "Animate.h"

#include <stdexcept>

TAnimate::TAnimate(QWidget* parent) : QLabel(parent) {
  setFixedSize(32, 32);
  FTimer.setInterval(100);  // ms per frame
  connect(&FTimer, &QTimer::timeout, this, [this] {
    const int last = FStopFrame > 0 ? qMin(FStopFrame, FrameCount()) : FrameCount();
    ShowFrame(last > 0 ? (FFrame + 1) % last : 0);
  });
}

void TAnimate::SetResName(const QString& name) {
  SetActive(false);
  FFrames.clear();
  clear();
  QPixmap strip(QStringLiteral(":/clips/%1.png").arg(name));
  if (strip.isNull() || strip.height() <= 0) throw std::runtime_error("Cannot open AVI");
  const int side = strip.height();
  for (int x = 0; x + side <= strip.width(); x += side)
    FFrames.append(strip.copy(x, 0, side, side));
  if (FFrames.isEmpty()) throw std::runtime_error("Cannot open AVI");
  setFixedSize(side, side);
  ShowFrame(0);
}

void TAnimate::SetActive(bool active) {
  if (active && HasClip()) {
    FTimer.start();
  } else {
    FTimer.stop();
    if (HasClip()) ShowFrame(0);
  }
}

void TAnimate::ShowFrame(int index) {
  if (index < 0 || index >= FrameCount()) return;
  FFrame = index;
  setPixmap(FFrames[index]);
}
