#pragma once
// File services: a thin layer over std::filesystem with the program's
// conventions (paths use "/", directories end in one "/", a read-only file is
// never replaced, whole files are written through a temporary name).
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

bool FeFileExists(const std::string& path);
// Reads a whole regular file as bytes; 0 on success, 1 when it cannot be read.
[[nodiscard]] int FeReadFile(const std::string& path, std::string& text);
[[nodiscard]] int FeCopyFile(const std::string& from, const std::string& to);
[[nodiscard]] int FeMoveFile(const std::string& from, const std::string& to);
void FeDeleteFile(const std::string& path);                      // no error when absent
void FeDeleteFiles(const std::string& pattern);                  // "*" / "?" wildcards in the name
std::vector<std::string> FeListDir(const std::string& pattern);  // matching paths, sorted
bool FeIsReadOnly(const std::string& path);
void FeSetReadOnly(const std::string& path, bool readonly);
long long FeFileSize(const std::string& path);                      // -1 when absent
bool FeSameFiles(const std::string& a, const std::string& b);       // byte-equal contents
bool FeWildMatch(std::string_view pattern, std::string_view name);  // "*" and "?"
// Writes text to path through a temporary name in the same directory and a
// rename, so an interrupted write never leaves a half-written file.
[[nodiscard]] int FeWriteFileAtomic(const std::string& path, std::string_view text);
// Splits a path into directory (ending in "/", or empty) and file name.
void FeSplitPath(const std::string& path, std::string& dir, std::string& name);
// Removes the extension (the part from the last "." of the file name).
std::string FeStripExt(const std::string& name);
std::string FeGetCwd();  // ends in "/"
// Full path of an executable found on PATH, or empty.
std::string GetPathTo(std::string_view program);
// A directory path ending in exactly one "/".
std::string WithSlash(std::string dir);

}  // namespace tarn
