// Helpers of the configuration commands (MainFormConfig.cpp) that tests reach.
#pragma once

#include <string>

#include "ComPort.h"

class QString;
class TMainForm;

// True when path names a terminal device (a serial line, a USB adapter, a
// pseudo-terminal): a character device whose driver is a tty driver. Nothing
// is opened to find out.
bool IsTerminalDevicePath(const std::string& path);

// A configuration saved with the port open: opens the port under the stored
// settings and closes it again at once, ignoring port errors, as the port
// component does when it is loaded connected. Only a terminal is opened, and
// never a port that is already open.
void TouchStoredPort(TCustomComPort& port);

// The configuration named on the command line (`lim07 FILE.l07`): opened as
// the window's "Открыть" opens a chosen file, with the same messages on a
// missing or unreadable file. A relative name is taken from the current
// folder, so that "Сохранить" later writes the same file.
void OpenConfigurationAtStart(TMainForm& form, const QString& fileName);
