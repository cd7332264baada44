// The animation control: plays a clip (a strip of square frames stored in the
// program's resources) in a loop.
#pragma once

#include <QLabel>
#include <QPixmap>
#include <QTimer>
#include <QVector>

class TAnimate : public QLabel {
  Q_OBJECT
 public:
  explicit TAnimate(QWidget* parent = nullptr);

  // Loads the clip resource of that name (":/clips/<name>.png", frames side by
  // side, each as high as the strip). Raises std::runtime_error when there is
  // no such clip; the control then has none.
  void SetResName(const QString& name);
  bool HasClip() const { return !FFrames.isEmpty(); }
  int FrameCount() const { return static_cast<int>(FFrames.size()); }
  // Plays frames 1 … StopFrame (1-based) in a loop.
  void SetStopFrame(int frame) { FStopFrame = frame; }
  int StopFrame() const { return FStopFrame; }

  void SetActive(bool active);
  bool Active() const { return FTimer.isActive(); }
  int CurrentFrame() const { return FFrame; }

 private:
  void ShowFrame(int index);
  QVector<QPixmap> FFrames;
  QTimer FTimer;
  int FFrame = 0;
  int FStopFrame = 0;
};
