#include "LineDiagnostics.h"

TLineDiagnostics::TLineDiagnostics(TCustomComPort& port, QObject* parent)
    : QObject(parent), FRecorder(&FFrames, &FStatistics) {
  setObjectName(QStringLiteral("LineDiagnostics"));
  FRecorder.Attach(port);
}

TLineDiagnostics::~TLineDiagnostics() {
  FRecorder.Detach();
}
