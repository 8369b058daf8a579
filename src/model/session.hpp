#pragma once
// State of the running program that does not belong to one structure: one
// instance, `Sess`.
// Paths on Linux use "/"; the home and temporary directories always end in
// exactly one "/".
#include <array>
#include <string>
#include <vector>

#include "model/scatdata.hpp"

namespace tarn {

// Number of entries of the structure-file table (see files.hpp).
inline constexpr int NStructFiles = 11;
// Main-tab label table: 30 groups by 16 entries.
inline constexpr int NTabGroups = 30;
inline constexpr int NTabEntries = 16;
// Registry of program temporaries.
inline constexpr int NTmpFilesMax = 100;
// Settings-file key table.
inline constexpr int NIniKeys = 90;

struct Session {
  // Program identity.
  std::string Version = "1.0.0";           // three dot-separated numbers
  std::string VersionDate = "06/12/2026";  // day/month/year
  std::string ProgramName = "Tarnwork";

  // Current structure: path without extension; empty means no structure open.
  std::string fln;
  std::string FlnPrev;  // structure open before the last change
  std::string DirPrev;  // current directory before the last change
  std::string HomeDir;  // program data files; ends in one "/"
  // Per-user state: the settings file lives in ConfigDir, the history in
  // StateDir (both end in one "/"). They are the user's own folders unless
  // PortableHome keeps them in the home directory.
  std::string ConfigDir;
  std::string StateDir;
  bool PortableHome = false;  // "-PortableHome" or TARNWORKPORTABLE
  std::string CurrentDir;     // refreshed after every change of directory

  bool BatchMode = false;
  std::string BatchFile;
  bool DebugMode = false;
  int Threads = 0;  // "-threads N": read and kept, no further effect

  // One flag per entry of the structure-file table (".m40" ... ".ref").
  std::array<bool, NStructFiles> ExistFile{};

  bool StructureLocked = false;
  bool LockWarned = false;  // the user has been told that this structure is locked

  int KPhase = 1;             // current phase, 1-based
  int KDatBlock = 1;          // current data block, 1-based
  int SelectedTreeCode = -1;  // last item selected in the action tree, -1 none

  // Temporary directory: the one the settings file names, else the user's
  // runtime folder (home + "tmp/" for a portable home).
  std::string TmpDir;
  // Change-detection copies of M40, M41, M42, M50 (temporary names).
  std::array<std::string, 4> ChangeCopy{};

  // Registry of program temporaries (names; blank = free slot).
  std::array<std::string, NTmpFilesMax> TmpFiles{};
  // Child structures opened beside the current one.
  std::vector<std::string> ChildFln;

  // Settings-file values, indexed by slot 1..NIniKeys (index 0 unused).
  std::array<std::string, NIniKeys + 1> IniValue{};
  // Window geometry (pixels) and the last normal geometry before minimising.
  int WindowWidth = 0, WindowHeight = 0, WindowX = 0, WindowY = 0;
  int WindowColors = 0, FontSize = 0;
  int NormalWidth = 0, NormalHeight = 0, NormalX = 0, NormalY = 0;
  double TarnDrawDelay = 0.;
  // Screen size used for the default geometry.
  int ScreenWidth = 1920, ScreenHeight = 1080;
  // Directory the program was started in (ends in "/"): relative paths of the
  // command line are taken from it.
  std::string StartDir;

  // Scattering-factor tables read from the home directory.
  ScatTables Scat;
};

extern Session Sess;

}  // namespace tarn
