#pragma once
// The error record of every reader and writer: where a file or a text failed
// and why. A reader fills it on failure and leaves the data it was filling
// unchanged; the caller shows Lines() (a message box, listing lines) or
// passes the record on.
#include <string>
#include <vector>

namespace tarn {

struct ErrorRecord {
  std::string File;  // the file's name as given; empty for a text not read from a file
  int Line = 0;      // 1-based line number, 0 when not tied to a line
  int Column = 0;    // 1-based column of the offending character, 0 when unknown
  std::string What;  // the offending text (a line, a word), may be empty
  std::string Message;  // what was expected, as a sentence

  bool Empty() const { return Message.empty(); }
  void Clear() { *this = ErrorRecord{}; }
  // Message lines for the user: the message; the file and line; the text
  // with a caret under the column when it is known.
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    if (!Message.empty()) out.push_back(Message);
    if (!File.empty() || Line > 0) {
      std::string where;
      if (!File.empty()) where = "File \"" + File + "\"";
      if (Line > 0) where += (where.empty() ? "Line " : ", line ") + std::to_string(Line);
      if (Column > 0) where += ", column " + std::to_string(Column);
      out.push_back(where);
    }
    if (!What.empty()) {
      out.push_back(What);
      if (Column > 0 && Column <= static_cast<int>(What.size()) + 1)
        out.push_back(std::string(static_cast<size_t>(Column - 1), ' ') + "^");
    }
    return out;
  }
  // The record as one line: "file, line N: message".
  std::string Text() const {
    std::string s = File;
    if (Line > 0) s += (s.empty() ? "line " : ", line ") + std::to_string(Line);
    if (!s.empty()) s += ": ";
    return s + Message;
  }
};

}  // namespace tarn
