#pragma once
// Internal to the reflection-file routines: the messages of the readers and
// writers in one table, and the header routines shared by their sources.
#include <string>
#include <string_view>
#include <vector>

#include "model/refl.hpp"
#include "model/refl_fmt.hpp"

namespace tarn {

enum ReflMsgId : int {
  MsgCannotOpen,     // file
  MsgCannotWrite,    // file
  MsgNoHeaderEnd,    // file, line
  MsgDataInHeader,   // file, line, text
  MsgBadField,       // file, line, field name, text
  MsgIncomplete,     // file, line
  MsgNoSuchBlock,    // file, block
  MsgExtraBlock,     // file, line, block
  MsgBadNDim,        // file, value
  MsgBadFormat,      // file, text
  MsgFieldOverflow,  // file, field name, value
  MsgBadText,        // file, keyword
  NoteBadValue,      // file, line, keyword, text
  NoteUnknownKey,    // file, line, text
  NoteTooMany,       // file, line, keyword
  NReflMsg
};

// Message texts in fmt syntax; the file (and line) go in front through the
// error record ("file, line n: message").
inline constexpr std::string_view ReflMsgText[NReflMsg] = {
    "the file cannot be opened.",
    "the file cannot be written.",
    "unexpected end of the file, the header is not closed by \"end\".",
    "\"data\" line inside the header, \"end\" expected: \"{0}\"",
    "{0} expected, found \"{1}\"",
    "incomplete reflection record at the end of the block.",
    "the file has no reflection block {0}.",
    "\"data\" line of block {0}, but the header describes fewer blocks.",
    "reflection block with {0} indices per reflection; 3 to 6 expected.",
    "reflection format \"{0}\" is not supported.",
    "{0} = {1} does not fit its field of the reflection record.",
    "the value of \"{0}\" contains a line break.",
    "value of \"{0}\" not understood, record skipped: \"{1}\"",
    "unknown keyword ignored: \"{0}\"",
    "too many values of \"{0}\", the rest ignored.",
};

// The line argument of a fault that is not tied to a line.
inline constexpr int kNoLine = -1;
// Keeps the fault in Refl.LastError (file, line or kNoLine, the message, the
// offending text) and shows it; returns 1 (the error flag). A fault before
// the first line (an empty file) is shown as at "line 0".
int ReflError(const std::string& file, int line, std::string message, std::string_view what = {});
// Adds a non-fatal note "file, line n: message" to Refl.Notes.
void ReflNote(const std::string& file, int line, std::string message);

// Header reading and formatting shared by the header and record routines.
[[nodiscard]] int ReadM95Header(ReflIn& in, std::vector<M95Block>& blocks);
[[nodiscard]] int ReadM90Header(ReflIn& in, std::vector<M90Block>& blocks);
[[nodiscard]] int M95HeaderTextChecked(const std::vector<M95Block>& blocks, const std::string& file,
                                       std::string& out);
[[nodiscard]] int M90HeaderTextChecked(const std::vector<M90Block>& blocks, const std::string& file,
                                       std::string& out);

}  // namespace tarn
