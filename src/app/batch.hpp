#pragma once
// Batch mode: runs the batch file named on the command line without
// interaction. Command lines begin with "." and hold up to three words
// separated by "->" (case ignored), e.g. ".File->Structure->Open"; other lines
// are ignored while a command is awaited. Every line written to the listing
// is also the program's standard output (the terminal toolkit prints it).
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// Runs Sess.BatchFile. Returns 0 when the batch ended normally (".end" or
// the end of the file), 1 when it ended on an error.
[[nodiscard]] int TarnActionsBatchMode();

// Words of a command line ".a->b->c": trimmed, at most three; empty when the
// line is not a command.
std::vector<std::string> TarnBatchWords(std::string_view line);

namespace msg {
inline constexpr std::string_view BatchReadError = "reading error occured on the batch file.";
inline constexpr std::string_view BatchEof = "end of file read from the batch file.";
inline constexpr std::string_view BatchEnd = "End of batch file has been reached.";
inline constexpr std::string_view BatchSyntax = "Syntax error for the parameter: ";
inline constexpr std::string_view BatchUnknown = "unknown or inapplicable parameter ";
inline constexpr std::string_view BatchWrongNumber = "wrong numerical string";
inline constexpr std::string_view BatchUnknownCommand = "Unknown batch command: ";
inline constexpr std::string_view BatchNoStructure = "No structure is open for the command: ";
inline constexpr std::string_view BatchNoBlockEnd = "The command block has no \"end\" line: ";
inline constexpr std::string_view BatchLockedNotWritten =
    "The structure is locked: the changes have not been written.";
inline constexpr std::string_view BatchToolFailed = "The batch stopped: the command failed: ";
inline constexpr std::string_view BatchBadKeywords =
    "The batch stopped: the block is not changed, its lines do not read: ";
inline constexpr std::string_view BatchNoKeywordTable =
    "The block \"{}\" has no keyword table: its tool is not available yet.";
inline constexpr std::string_view BatchLineRemoved = "The new \"{}\" block drops the line: {}";
inline constexpr std::string_view BatchKeywordSet = "{}: {}";
}  // namespace msg

}  // namespace tarn
