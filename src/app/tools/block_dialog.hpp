#pragma once
// A command block edited in two pages of text fields: the simple keywords of
// its table (one field each, holding the current value) and its special lines
// (one field per line, and empty fields for new ones; a line may start with
// "!" to keep it disabled). The edited block is read back by the block's own
// reader, so a wrong value is reported as when M50 is read, and the pages are
// shown again; a cancelled page changes nothing.
//
// With tabs, the keywords are shown on named pages instead: a simple keyword
// as its value, a special keyword as the rest of its line (empty: not given);
// the special lines no tab names (and disabled ones) follow on a last page
// with the empty fields for new lines.
#include <functional>
#include <string>
#include <vector>

#include "model/keys.hpp"

namespace tarn {

// One page of a tabbed block dialog: its title and the keywords it shows.
struct BlockTab {
  std::string Title;              // "peaks"
  std::vector<std::string> Keys;  // keywords of the block's table, in page order
};

struct BlockDialog {
  std::string Title;               // "Distance commands"
  std::vector<std::string> Lines;  // the block now: header, keyword lines, "end ..."
  const KeyTable* Table = nullptr;  // names, kinds, defaults and current values
  // Reads and keeps the edited block text; 0 when it was accepted.
  std::function<int(const std::string& text)> Accept;
};

// Runs the dialog. Returns 0 when the block was accepted, 1 when cancelled.
int FeEditCommandBlock(const BlockDialog& d);
// The same in the pages of `tabs` (empty: the two plain pages).
int FeEditCommandBlock(const BlockDialog& d, const std::vector<BlockTab>& tabs);

}  // namespace tarn
