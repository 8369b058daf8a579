#pragma once
// Fixed-column number fields of the reflection files (Fortran I, F and E edit
// descriptors), a buffered line reader and an atomic buffered file writer.
//
// Output follows the Fortran conventions: Iw and Fw.d right-justified, Ew.d as
// 0.ddddddE+xx. A value that does not fit its field is refused (the routine
// returns nullptr) instead of being written as asterisks.
// Input: a field is the text in its columns; columns beyond the end of the line
// read as blanks; a blank field is zero.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// Largest width of one fixed field we write.
inline constexpr int kMaxFieldWidth = 32;

// PutI, PutF, PutE: Fortran I, F and E edit descriptors on output.
// Writes v right-justified in w columns at p; returns the end, or nullptr when
// the value needs more than w columns.
char* PutI(char* p, long long v, int w);
// Fw.d; -0 and values that round to zero are written without sign.
char* PutF(char* p, double v, int w, int d);
// Ew.d: sign, "0.", d digits, "E", exponent sign and two digits (|exponent| <= 99).
// Values below 1e-99 in magnitude are written as zero; NaN, infinities and
// values of 1e99 and above are refused.
char* PutE(char* p, double v, int w, int d);
// FitsF: whether a value fits an F field.
// True when v can be written as Fw.d.
bool FitsF(double v, int w, int d);

// GetI, GetR: an integer / a real from a fixed-column field.
// Field parsing; false when the text is not a number of the kind.
bool GetI(std::string_view field, long long& v);
bool GetR(std::string_view field, double& v);
// Columns [col, col + w) of line (0-based), clipped at the end of the line.
inline std::string_view Field(std::string_view line, size_t col, size_t w) {
  if (col >= line.size()) return {};
  return line.substr(col, w);
}

// Reads a text file line by line through a large buffer. The view returned by
// NextLine stays valid until the next call of NextLine.
class ReflIn {
 public:
  ReflIn() = default;
  ReflIn(const ReflIn&) = delete;
  ReflIn& operator=(const ReflIn&) = delete;
  ~ReflIn() { Close(); }

  // 0 on success; 1 when the file cannot be opened.
  [[nodiscard]] int Open(const std::string& path);
  void Close();
  bool IsOpen() const { return f_ != nullptr; }
  // Next line without its line end ("\n" or "\r\n"); false at the end of the file.
  bool NextLine(std::string_view& line);
  // The next NextLine returns the last line again.
  void UnreadLine();
  long LineNo() const { return line_no_; }  // 1-based number of the last line returned
  const std::string& Path() const { return path_; }

 private:
  std::FILE* f_ = nullptr;
  std::string path_;
  std::vector<char> buf_;
  size_t beg_ = 0, end_ = 0;
  bool eof_ = false;
  bool pending_ = false;
  std::string_view last_;
  long line_no_ = 0;
};

// Writes a file through a temporary name in the same directory; Commit makes
// the data durable and renames it into place, so a failed or abandoned write
// never touches the existing file.
class ReflOut {
 public:
  ReflOut() = default;
  ReflOut(const ReflOut&) = delete;
  ReflOut& operator=(const ReflOut&) = delete;
  ~ReflOut() { Abort(); }

  // 0 on success; 1 when the temporary file cannot be created.
  [[nodiscard]] int Open(const std::string& path);
  void Put(std::string_view s) {
    buf_.append(s);
    if (buf_.size() >= kFlushSize) Flush();
  }
  // 0 on success; 1 on any write, sync or rename failure (the target is then untouched).
  [[nodiscard]] int Commit();
  // Drops the temporary file.
  void Abort();
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }

 private:
  static constexpr size_t kFlushSize = 1 << 20;
  void Flush();
  int fd_ = -1;
  bool failed_ = false;
  std::string path_, tmp_;
  std::string buf_;
};

}  // namespace tarn
