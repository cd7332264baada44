// `lim07 --demo`: the window on the in-process virtual line of demo devices,
// ready for a first "Начать опрос".
#pragma once

#include <memory>

class TMainForm;
class TVirtualLine;

// The status-bar text that says the window works on the demo line.
extern const char* const kDemoLineNote;

// Starts the demo line in the protocol the start-up question chose, announces
// it where port lists (the port settings dialog, `lim07ctl ports`) find it,
// sets the window's port to it, lists its devices (an unsaved configuration),
// opens the port and says in the status bar that this is the demo line. The
// line must outlive the window's use of the port: keep it until the window
// has gone.
std::unique_ptr<TVirtualLine> StartDemo(TMainForm& form);
