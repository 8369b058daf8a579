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

// Format strings in fmt syntax; {0} is always the file name.
inline constexpr std::string_view ReflMsgText[NReflMsg] = {
    "{0}: the file cannot be opened.",
    "{0}: the file cannot be written.",
    "{0}, line {1}: unexpected end of the file, the header is not closed by \"end\".",
    "{0}, line {1}: \"data\" line inside the header, \"end\" expected: \"{2}\"",
    "{0}, line {1}: {2} expected, found \"{3}\"",
    "{0}, line {1}: incomplete reflection record at the end of the block.",
    "{0}: the file has no reflection block {1}.",
    "{0}, line {1}: \"data\" line of block {2}, but the header describes fewer blocks.",
    "{0}: reflection block with {1} indices per reflection; 3 to 6 expected.",
    "{0}: reflection format \"{1}\" is not supported.",
    "{0}: {1} = {2} does not fit its field of the reflection record.",
    "{0}: the value of \"{1}\" contains a line break.",
    "{0}, line {1}: value of \"{2}\" not understood, record skipped: \"{3}\"",
    "{0}, line {1}: unknown keyword ignored: \"{2}\"",
    "{0}, line {1}: too many values of \"{2}\", the rest ignored.",
};

// Sets Refl.LastError and shows the message; returns 1 (the error flag).
int ReflError(const std::string& msg);
// Adds a non-fatal note to Refl.Notes.
void ReflNote(const std::string& msg);

// Header reading and formatting shared by the header and record routines.
[[nodiscard]] int ReadM95Header(ReflIn& in, std::vector<M95Block>& blocks);
[[nodiscard]] int ReadM90Header(ReflIn& in, std::vector<M90Block>& blocks);
[[nodiscard]] int M95HeaderTextChecked(const std::vector<M95Block>& blocks, const std::string& file,
                                       std::string& out);
[[nodiscard]] int M90HeaderTextChecked(const std::vector<M90Block>& blocks, const std::string& file,
                                       std::string& out);

}  // namespace tarn
