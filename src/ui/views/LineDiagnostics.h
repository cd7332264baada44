// What the window keeps of the line's behaviour for the session: every frame
// (a bounded ring), the per-device statistics, and the last line-check report.
// The recorder is attached to the port at start-up and stays attached, so the
// ring and the statistics fill whether or not their docks are shown.
#pragma once

#include <QObject>
#include <QString>

#include "TrafficRecorder.h"

class TLineDiagnostics : public QObject {
  Q_OBJECT
 public:
  TLineDiagnostics(TCustomComPort& port, QObject* parent = nullptr);
  ~TLineDiagnostics() override;

  TFrameRing& Frames() { return FFrames; }
  TLineStatistics& Statistics() { return FStatistics; }
  TTrafficRecorder& Recorder() { return FRecorder; }

  // The last line-check report as text ("" before the first check).
  const QString& LastLineCheck() const { return FLastLineCheck; }
  void SetLastLineCheck(const QString& text) { FLastLineCheck = text; }

 private:
  TFrameRing FFrames;
  TLineStatistics FStatistics;
  TTrafficRecorder FRecorder;
  QString FLastLineCheck;
};
