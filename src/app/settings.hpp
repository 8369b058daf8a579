#pragma once
// The settings file Tarnwork.ini in the user's settings folder
// (Sess.ConfigDir; the home directory when it is portable) and the external
// programs started from the command lines it holds.
#include <string>
#include <string_view>

#include "util/files.hpp"

namespace tarn {

// Key table: slot number (1..90) -> key name; empty for unused slots.
std::string_view IniKeyName(int slot);
// Slot of a key name (case ignored), 0 when unknown.
int IniKeySlot(std::string_view key);

// Slot numbers used by the frame.
enum IniSlot : int {
  IniWindowWidth = 1,
  IniWindowHeight = 2,
  IniWindowColors = 3,
  IniWindowX = 4,
  IniWindowY = 5,
  IniFontSize = 6,
  IniTmpDir = 7,
  IniCIFSpecFile = 8,
  IniPSPrinter = 9,
  IniEditorCommand = 21,
  IniShellCommand = 22,
  IniGraphicCommand = 24,
  IniVesta = 25,
  IniDiamond = 26,
  IniGnuplotCommand = 27,
  IniTarnolde = 32,
  IniShelxtCommand = 71,
  IniTarnDrawDelay = 85
};

std::string IniFileName();  // settings folder + program name + ".ini"
// mode 0 read, 1 write. Returns 0 on success.
[[nodiscard]] int FeInOutIni(int mode);
[[nodiscard]] int FeRewriteIni();
// The "&Programs" dialog of the "&Settings" menu.
void FeSetPrograms();
// Runs a command line (through /bin/sh -c) and waits; returns its exit status,
// or -1 when it could not be started.
int FeSystem(const std::string& command);

}  // namespace tarn
