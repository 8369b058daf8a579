#pragma once
// Start-up of the program: the command line, the home directory and the
// settings, default values, the check of the program's data files, and the
// main routine that runs the batch or the event loop and closes down.
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// Exit statuses of the program.
enum TarnExit : int {
  ExitOk = 0,
  ExitBatchError = 1,  // the batch ended on an error
  ExitStartError = 2,  // bad command line or home directory
  ExitDataFiles = 3,   // the data files were refused (wrong version)
};

// Reads the command line (args[0] is the program): "-threads N", "@batch",
// "-debug", "-HomeDir dir", "-PortableHome", "-json PATH" (the batch's run
// summary), and a structure path (the last one wins; its
// directory becomes the current directory, its name without extension fln).
// Relative paths are taken from the directory the program was started in.
// Returns 0, or 1 after a message.
[[nodiscard]] int GetFln(const std::vector<std::string>& args);
// Finds the home directory ("-HomeDir" or the environment variable
// TARNWORKDIR), reads the settings file and prepares the temporary
// directory. Returns 0, or 1 after a message.
[[nodiscard]] int TarnInic();
// The folders of the per-user state (Sess.ConfigDir, Sess.StateDir): the
// home directory when it is chosen as writable ("-PortableHome" or a
// TARNWORKPORTABLE variable that is set and not "0"), else
// $XDG_CONFIG_HOME/tarnwork/ (~/.config/tarnwork/) and
// $XDG_STATE_HOME/tarnwork/ (~/.local/state/tarnwork/). Needs Sess.HomeDir.
void TarnSetUserDirs();
// Name of the environment variable that keeps the per-user state in the home
// directory.
std::string TarnPortableVariable();
// The temporary folder used when the settings name none: home + "tmp/" for a
// portable home, else $XDG_RUNTIME_DIR/tarnwork/, or tarnwork-UID/ in the
// system's temporary folder.
std::string TarnDefaultTmpDir();
// Program-wide constants and every tool's default settings.
void SetBasicConstants();
// Checks that the data files of the home directory carry the program's
// version; returns 1 when the user (or the batch) does not go on.
[[nodiscard]] int TestDataFiles();
// The whole program; returns its exit status (TarnExit).
int TarnMain(const std::vector<std::string>& args);

// Name of the environment variable that names the home directory.
std::string TarnHomeVariable();
// dir with its trailing "/" removed and exactly one appended; "" stays "".
std::string TarnNormalizeDir(std::string_view dir);
// path made absolute against Sess.StartDir (or the current directory).
std::string TarnAbsolute(const std::string& path);

// The version file of the home directory and the file that records that the
// user chose to skip the version warning.
inline constexpr std::string_view VersionFileName = "version.dat";
inline constexpr std::string_view VersionSkipFileName = "version.skip";

namespace msg {
inline constexpr std::string_view ContactAuthors = "Contact authors.";
inline constexpr std::string_view SkipWarning = "Do you want to skip this warning from now on?";
}  // namespace msg

}  // namespace tarn
