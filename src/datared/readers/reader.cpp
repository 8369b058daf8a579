// Error records and text helpers shared by the reflection-file readers.
#include "datared/readers/reader.hpp"

#include <fmt/format.h>

#include "datared/import_msg.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

int ImpReadError(ErrorRecord& err, const std::string& file, long line, std::string what) {
  err = ErrorRecord{};
  err.File = file;
  if (line > 0) {
    err.Line = static_cast<int>(line);
    err.Message = std::move(what);
  } else {
    // Not tied to a line: the whole message, as ImpErrorText would give it.
    err.Message = fmt::format(fmt::runtime(impmsg::ReadError), file, line, what);
  }
  return 1;
}

int ImpFail(ErrorRecord& err, const std::string& file, std::string message) {
  err = ErrorRecord{};
  err.File = file;
  err.Message = std::move(message);
  return 1;
}

std::string ImpErrorText(const ErrorRecord& err) {
  if (err.Line > 0)
    return fmt::format(fmt::runtime(impmsg::ReadError), err.File, err.Line, err.Message);
  return err.Message;
}

std::vector<std::string> ImpErrorLines(const ErrorRecord& err) {
  std::vector<std::string> out;
  const std::string t = ImpErrorText(err);
  for (std::string_view l : ImpLines(t)) out.emplace_back(l);
  return out;
}

int ImpReadText(const std::string& file, std::string& text, ErrorRecord& err) {
  if (FeReadFile(file, text))
    return ImpFail(err, file, fmt::format(fmt::runtime(impmsg::CannotOpen), file));
  return 0;
}

std::vector<std::string_view> ImpLines(std::string_view t) {
  std::vector<std::string_view> out;
  ImpLineWalker w(t, 1);
  std::string_view l;
  while (w.Next(l)) out.push_back(l);
  return out;
}

bool ImpLineWalker::Next(std::string_view& line) {
  if (pos_ >= t_.size()) return false;
  size_t e = t_.find('\n', pos_);
  if (e == std::string_view::npos) e = t_.size();
  line = t_.substr(pos_, e - pos_);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  pos_ = e + 1;
  ++no_;
  return true;
}

bool ImpFreeReal(std::string_view s, double& v) {
  const auto r = ToReal(s);
  if (!r) return false;
  v = *r;
  return true;
}

}  // namespace tarn
