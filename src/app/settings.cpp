#include "app/settings.hpp"
#include "app/startup.hpp"

#include <fmt/format.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/fileset.hpp"
#include "app/toolkit.hpp"
#include "model/session.hpp"
#include "util/strings.hpp"

extern char** environ;

namespace tarn {

namespace fs = std::filesystem;

namespace {

namespace inimsg {
constexpr std::string_view ReadError = "{}.ini : reading error.";
constexpr std::string_view ReadError2 = "Please check if the file exist and has proper attributes.";
constexpr std::string_view WriteError = "{}.ini : writing error.";
constexpr std::string_view WriteError2 =
    "Please check if the file is not protected or if the disk is not full.";
constexpr std::string_view DirHeader = "{}DIR defined but directory isn't accessible.";
constexpr std::string_view DirLine1 = "Please correct the set command (SET {}DIR=....) ";
constexpr std::string_view DirLine2 = "or make the directory \"{}\" accessible.";
constexpr std::string_view ProgramsHeader = "Programs";
}  // namespace inimsg

enum class IniType { Unused, Int, Real, Text, Dir };

struct IniKey {
  std::string_view Name;
  IniType Type;
};

// The 90 slots of the key table (slot k at index k - 1).
constexpr std::array<IniKey, NIniKeys> MakeKeyTable() {
  std::array<IniKey, NIniKeys> t{};
  for (auto& k : t) k = {"", IniType::Unused};
  auto set = [&t](int slot, std::string_view name, IniType type) { t[slot - 1] = {name, type}; };
  set(1, "WindowWidth", IniType::Int);
  set(2, "WindowHeight", IniType::Int);
  set(3, "WindowColors", IniType::Int);
  set(4, "WindowX", IniType::Int);
  set(5, "WindowY", IniType::Int);
  set(6, "FontSize", IniType::Int);
  set(7, "TmpDir", IniType::Dir);
  set(8, "CIFSpecFile", IniType::Text);
  set(9, "PSPrinter", IniType::Text);
  set(21, "EditorCommand", IniType::Text);
  set(22, "DosShellCommand", IniType::Text);
  set(23, "XShapeCommand", IniType::Text);
  set(24, "GraphicCommand", IniType::Text);
  set(25, "Vesta", IniType::Text);
  set(26, "Diamond", IniType::Text);
  set(27, "GnuplotCommand", IniType::Text);
  set(28, "GSCommand", IniType::Text);
  set(29, "3dMapsCommand", IniType::Text);
  set(30, "DPlotCommand", IniType::Text);
  set(31, "PathToELMAM", IniType::Text);
  set(32, "Tarnolde", IniType::Text);
  set(41, "SIR97Command", IniType::Text);
  set(42, "SIR2002Command", IniType::Text);
  set(43, "SIR2004Command", IniType::Text);
  set(44, "SIR2008Command", IniType::Text);
  set(45, "SIR2011Command", IniType::Text);
  set(46, "SIR2014Command", IniType::Text);
  set(61, "ExpoCommand", IniType::Text);
  set(62, "Expo2004Command", IniType::Text);
  set(63, "Expo2009Command", IniType::Text);
  set(64, "Expo2013Command", IniType::Text);
  set(65, "Expo2014Command", IniType::Text);
  set(71, "ShelxtCommand", IniType::Text);
  set(72, "GeminographyCommand", IniType::Text);
  set(85, "TarnDrawDelay", IniType::Real);
  return t;
}
constexpr std::array<IniKey, NIniKeys> KeyTable = MakeKeyTable();

// Programs looked for on PATH when there is no settings file yet: plain
// program name and the slot that takes the command.
struct ProgramProbe {
  std::string_view Program;
  int Slot;
};
constexpr std::array<ProgramProbe, 9> Probes = {{{"x-shape", 23},
                                                 {"gnuplot", 27},
                                                 {"diamond", 26},
                                                 {"atoms", 24},
                                                 {"SIR97", 41},
                                                 {"SIR2002", 42},
                                                 {"SIR2004", 43},
                                                 {"expo", 61},
                                                 {"expo2004", 62}}};

// Default font size (points) and the coordinate below which a window is minimised.
constexpr int DefaultFontSize = 10;
constexpr int MinimisedCoordinate = -30000;
// Fraction of the screen height taken by the main window by default.
constexpr double DefaultHeightFraction = 0.8;

// The commands of external programs shown in the "&Programs" dialog.
bool IsProgramSlot(int slot) {
  return (slot >= 21 && slot <= 32) || (slot >= 41 && slot <= 46) || (slot >= 61 && slot <= 65) ||
         slot == 71 || slot == 72;
}

// Folder of the settings file.
std::string SettingsDir() {
  return Sess.ConfigDir.empty() ? Sess.HomeDir : Sess.ConfigDir;
}

std::string ProgramUpper() {
  return ToUpper(Sess.ProgramName);
}

void SetDefaults() {
  // No temporary folder is named by default: the program computes its own
  // (TarnDefaultTmpDir), so that no machine path goes stale in the file.
  for (auto& v : Sess.IniValue) v.clear();
  // H a multiple of 3 near 80 % of the screen height, W = 4H/3, centred.
  int h = 3 * static_cast<int>(std::lround(DefaultHeightFraction * Sess.ScreenHeight / 3.));
  int w = 4 * h / 3;
  Sess.WindowHeight = Sess.NormalHeight = h;
  Sess.WindowWidth = Sess.NormalWidth = w;
  Sess.WindowX = Sess.NormalX = (Sess.ScreenWidth - w) / 2;
  Sess.WindowY = Sess.NormalY = (Sess.ScreenHeight - h) / 2;
  Sess.WindowColors = 0;
  Sess.FontSize = DefaultFontSize;
  Sess.TarnDrawDelay = 0.;
}

int* IntField(int slot) {
  switch (slot) {
    case IniWindowWidth:
      return &Sess.WindowWidth;
    case IniWindowHeight:
      return &Sess.WindowHeight;
    case IniWindowColors:
      return &Sess.WindowColors;
    case IniWindowX:
      return &Sess.WindowX;
    case IniWindowY:
      return &Sess.WindowY;
    case IniFontSize:
      return &Sess.FontSize;
    default:
      return nullptr;
  }
}

// One line of the settings file; lines that are no setting are ignored.
void ParseLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (TrimLeft(line).substr(0, 1) == "#") return;
  std::string prefix = Sess.ProgramName + ".";
  std::string upper = ToUpper(line);
  auto at = upper.find(ToUpper(prefix));
  if (at == std::string::npos) return;
  auto colon = line.find(':', at + prefix.size());
  if (colon == std::string_view::npos) return;
  std::string_view key = Trim(line.substr(at + prefix.size(), colon - at - prefix.size()));
  std::string_view value = line.substr(colon + 1);
  int slot = IniKeySlot(key);
  if (slot == 0) return;
  switch (KeyTable[slot - 1].Type) {
    case IniType::Int:
      if (auto v = ToInt(value); v && *v >= INT32_MIN && *v <= INT32_MAX)
        *IntField(slot) = static_cast<int>(*v);
      break;
    case IniType::Real:
      if (auto v = ToReal(value); v && std::isfinite(*v)) Sess.TarnDrawDelay = *v;
      break;
    case IniType::Dir: {
      std::string d = TarnNormalizeDir(value);
      // The default folder of earlier versions, home + "tmp/", is no choice.
      if (d == Sess.HomeDir + "tmp/") d.clear();
      if (!d.empty()) {
        Sess.IniValue[slot] = d;
        if (slot == IniTmpDir) Sess.TmpDir = d;
      }
      break;
    }
    case IniType::Text:
      Sess.IniValue[slot] = std::string(TrimLeft(value));
      break;
    case IniType::Unused:
      break;
  }
}

std::string SlotValue(int slot) {
  bool minimised = Sess.WindowX < MinimisedCoordinate && Sess.WindowY < MinimisedCoordinate;
  switch (slot) {
    case IniWindowWidth:
      return std::to_string(minimised ? Sess.NormalWidth : Sess.WindowWidth);
    case IniWindowHeight:
      return std::to_string(minimised ? Sess.NormalHeight : Sess.WindowHeight);
    case IniWindowX:
      return std::to_string(minimised ? Sess.NormalX : Sess.WindowX);
    case IniWindowY:
      return std::to_string(minimised ? Sess.NormalY : Sess.WindowY);
    case IniWindowColors:
      return std::to_string(Sess.WindowColors);
    case IniFontSize:
      return std::to_string(Sess.FontSize);
    case IniTarnDrawDelay:
      return fmt::format("{}", Sess.TarnDrawDelay);
    default:
      return Sess.IniValue[slot];
  }
}

std::string IniText() {
  bool minimised = Sess.WindowX < MinimisedCoordinate && Sess.WindowY < MinimisedCoordinate;
  if (!minimised) {
    Sess.NormalWidth = Sess.WindowWidth;
    Sess.NormalHeight = Sess.WindowHeight;
    Sess.NormalX = Sess.WindowX;
    Sess.NormalY = Sess.WindowY;
  }
  std::string text;
  for (int slot = 1; slot <= NIniKeys; ++slot) {
    if (KeyTable[slot - 1].Type == IniType::Unused) continue;
    text += fmt::format("{}.{}: {}\n", Sess.ProgramName, KeyTable[slot - 1].Name, SlotValue(slot));
  }
  return text;
}

int WriteIni() {
  if (FeWriteFileAtomic(IniFileName(), IniText()) != 0) {
    FeChybne(fmt::format(fmt::runtime(inimsg::WriteError), Sess.ProgramName),
             {std::string(inimsg::WriteError2)});
    return 1;
  }
  return 0;
}

int ReadIni() {
  SetDefaults();
  std::string path = IniFileName();
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    for (const auto& p : Probes) {
      std::string found = GetPathTo(p.Program);
      if (!found.empty()) Sess.IniValue[p.Slot] = found;
    }
    if (FeWriteFileAtomic(path, IniText()) != 0) {
      FeChybne(fmt::format(fmt::runtime(inimsg::DirHeader), ProgramUpper()),
               {fmt::format(fmt::runtime(inimsg::DirLine1), ProgramUpper()),
                fmt::format(fmt::runtime(inimsg::DirLine2), SettingsDir())});
      return 1;
    }
    return 0;
  }
  std::string text;
  if (FeReadFile(path, text)) {
    FeChybne(fmt::format(fmt::runtime(inimsg::ReadError), Sess.ProgramName),
             {std::string(inimsg::ReadError2)});
    return 1;
  }
  for (const auto& line : SplitOn(text, "\n")) ParseLine(line);
  Sess.NormalWidth = Sess.WindowWidth;
  Sess.NormalHeight = Sess.WindowHeight;
  Sess.NormalX = Sess.WindowX;
  Sess.NormalY = Sess.WindowY;
  return 0;
}

}  // namespace

std::string_view IniKeyName(int slot) {
  if (slot < 1 || slot > NIniKeys) return {};
  return KeyTable[slot - 1].Name;
}

int IniKeySlot(std::string_view key) {
  if (key.empty()) return 0;
  for (int slot = 1; slot <= NIniKeys; ++slot)
    if (KeyTable[slot - 1].Type != IniType::Unused && EqIgnoreCase(KeyTable[slot - 1].Name, key))
      return slot;
  return 0;
}

std::string IniFileName() {
  return SettingsDir() + Sess.ProgramName + ".ini";
}

int FeInOutIni(int mode) {
  return mode == 0 ? ReadIni() : WriteIni();
}

int FeRewriteIni() {
  return WriteIni();
}

void FeSetPrograms() {
  std::vector<FeFormField> fields;
  std::vector<int> slots;
  for (int slot = 1; slot <= NIniKeys; ++slot) {
    if (!IsProgramSlot(slot) || KeyTable[slot - 1].Type == IniType::Unused) continue;
    fields.push_back({std::string(KeyTable[slot - 1].Name), Sess.IniValue[slot]});
    slots.push_back(slot);
  }
  if (!Fe().EditForm(std::string(inimsg::ProgramsHeader), fields)) return;
  bool changed = false;
  for (size_t k = 0; k < slots.size() && k < fields.size(); ++k) {
    std::string v(TrimLeft(fields[k].Value));
    if (v != Sess.IniValue[slots[k]]) {
      Sess.IniValue[slots[k]] = v;
      changed = true;
    }
  }
  if (changed && FeRewriteIni() != 0) {
    // Reported by the writer; the new commands hold for this run.
  }
}

int FeSystem(const std::string& command) {
  std::fflush(nullptr);
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) !=
      0)
    return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace tarn
