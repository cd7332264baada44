// Shared pieces of the window tests: the application object, hooks that
// answer every message box and dialog, and a main window made without a person.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QButtonGroup>
#include <QDialog>
#include <QPushButton>
#include <QRadioButton>
#include <deque>
#include <memory>
#include <vector>

#include "Dialogs.h"
#include "MainForm.h"
#include "UiHooks.h"

// One QApplication for the whole test program (offscreen under ctest).
QApplication& TestApp();

// Records every message box and answers from a queue (default: the first
// button's "negative" answer: No, Cancel or OK). Dialogs go to OnDialog;
// without it they are rejected, the start-up dialog included.
struct TAnswering {
  TUiHooks Hooks;
  std::vector<TMessageRequest> Messages;
  std::deque<int> Answers;
  std::function<int(QDialog&)> OnDialog;
  std::vector<QString> DialogsSeen;
  std::deque<QString> FileNames;

  TAnswering();
  QString LastText() const { return Messages.empty() ? QString() : Messages.back().Text; }
};

// Clicks the named push button of a dialog and returns the dialog's result.
int Click(QDialog& dialog, const char* buttonName);

// A main window whose start-up dialog answered with the given protocol.
std::unique_ptr<TMainForm> MakeForm(TAnswering& answers, TDeviceProtocol protocol = dpLargis1);

// A device with a name, plant number, address and sensor words.
TDevice* MakeDevice(const char* name, int plant, int address,
                    std::vector<std::uint16_t> temps = {});

QString U8(const char* utf8);
