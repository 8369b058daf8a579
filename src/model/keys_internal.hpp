#pragma once
// Line-level helpers shared by the command-block reader and writers.
#include <string>
#include <string_view>
#include <vector>

namespace tarn::keys_detail {

// What the first non-blank character of a line makes of it.
enum class LineKind { Blank, Comment, Separator, Bang, Amp, Keyword };
LineKind Classify(std::string_view line);
// The line with a leading "!" or "&" blanked and a "!" comment removed;
// columns of what remains are those of the original line.
std::string CleanLine(std::string_view line, LineKind kind);
// First word of a line after CleanLine, or empty.
std::string FirstWord(std::string_view line);
// Index of the header of block `name` for phase kPhase (1-based) at or after
// line `from`, or -1.
int FindBlockHeader(const std::vector<std::string>& lines, int from, std::string_view name,
                    int kPhase);
// Last line of the block whose header is at `header`: its "end" line, else
// the line before the next program block header, else the last line.
int BlockLastLine(const std::vector<std::string>& lines, int header);

}  // namespace tarn::keys_detail
