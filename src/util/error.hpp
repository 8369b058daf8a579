#pragma once
// The error record of every reader and writer: where a file or a text failed
// and why. A reader fills it on failure and leaves the data it was filling
// unchanged; the caller shows Lines() (a message box, listing lines) or
// passes the record on.
#include <ostream>
#include <string>
#include <vector>

namespace tarn {

struct ErrorRecord {
  std::string File;  // the file's name as given; empty for a text not read from a file
  int Line = 0;      // 1-based line number, 0 when not tied to a line
  int Column = 0;    // 1-based column of the offending character, 0 when unknown
  std::string What;  // the offending text (a line, a word), may be empty
  std::string Message;  // what was expected, as a sentence
  // Optional parts: a heading above the message ("CIF syntax problem."), the
  // part of the file when no line is known (a CIF "data_x" block), and
  // further lines of the message (the operators of a symmetry message).
  std::string Title{};
  std::string Section{};
  std::vector<std::string> Detail{};

  // A record of the common parts.
  static ErrorRecord At(std::string file, int line, std::string message, std::string what = {}) {
    ErrorRecord e;
    e.File = std::move(file);
    e.Line = line;
    e.What = std::move(what);
    e.Message = std::move(message);
    return e;
  }

  bool Empty() const { return Message.empty(); }
  void Clear() { *this = ErrorRecord{}; }
  // Message lines for the user: the message; the file and line; the text
  // with a caret under the column when it is known; the further lines.
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
    out.insert(out.end(), Detail.begin(), Detail.end());
    return out;
  }
  // The record as one line: "file, line N: message" ("file, section:
  // message" when no line is known).
  std::string Text() const {
    std::string s = File;
    if (Line > 0)
      s += (s.empty() ? "line " : ", line ") + std::to_string(Line);
    else if (!Section.empty())
      s += (s.empty() ? "" : ", ") + Section;
    if (!s.empty()) s += ": ";
    return s + Message;
  }
  // The title (when given), Text() and the offending text (when given).
  std::vector<std::string> TextLines() const {
    std::vector<std::string> out;
    if (!Title.empty()) out.push_back(Title);
    out.push_back(Text());
    if (!What.empty()) out.push_back(What);
    return out;
  }
  // Sets the message and its further lines; returns 1, the error flag of the
  // readers, so that a failure reads `return err.Set(...)`.
  int Set(std::string message, std::vector<std::string> detail = {}) {
    Message = std::move(message);
    Detail = std::move(detail);
    return 1;
  }
};

inline std::ostream& operator<<(std::ostream& os, const ErrorRecord& e) {
  return os << e.Text();
}

}  // namespace tarn
