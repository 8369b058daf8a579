// The tool table: tools, readers and hooks that the application registers,
// and the run of a tool by its action code.
#include <fmt/format.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "app/action_codes.hpp"
#include "app/actions.hpp"
#include "app/actions_internal.hpp"
#include "app/fileset.hpp"
#include "app/settings.hpp"
#include "util/strings.hpp"

namespace tarn {

// ==== tool table =====================================================================

namespace actreg {

std::map<int, TarnToolFn>& Tools() {
  static std::map<int, TarnToolFn> tools;
  return tools;
}
std::array<TarnReaderFn, NReaders>& Readers() {
  static std::array<TarnReaderFn, NReaders> readers;
  return readers;
}
TarnListsFn& ListsHook() {
  static TarnListsFn fn;
  return fn;
}
std::vector<std::function<void()>>& DefaultsHooks() {
  static std::vector<std::function<void()>> hooks;
  return hooks;
}

// A note for the user: the listing in batch mode, an information box otherwise.
void Note(std::string_view text) {
  if (Sess.BatchMode)
    Fe().ListingLine(std::string(text));
  else
    FeInfo(std::string(text));
}

}  // namespace actreg
using namespace actreg;

namespace {
std::vector<std::pair<std::string, TarnBlockTableFn>>& BlockTables() {
  static std::vector<std::pair<std::string, TarnBlockTableFn>> tables;
  return tables;
}
}  // namespace

void TarnSetTool(int code, TarnToolFn fn) {
  if (fn)
    Tools()[code] = std::move(fn);
  else
    Tools().erase(code);
}
bool TarnHasTool(int code) {
  return Tools().count(code) != 0;
}
void TarnClearTools() {
  Tools().clear();
  BlockTables().clear();
}

int TarnRunTool(int code, TarnToolCall& call) {
  call.Code = code;
  call.Batch = Sess.BatchMode;
  auto it = Tools().find(code);
  if (it == Tools().end()) {
    Note(msg::NotAvailable);
    // A batch that asked for the tool has not got what it asked for.
    if (call.Batch) call.Error = 1;
    return NextNothing;
  }
  // Copy: a tool may re-register tools while it runs.
  TarnToolFn fn = it->second;
  return fn(call);
}

int TarnRunTool(int code) {
  TarnToolCall call;
  return TarnRunTool(code, call);
}

void TarnSetReader(int kind, TarnReaderFn fn) {
  if (kind >= 0 && kind < NReaders) Readers()[kind] = std::move(fn);
}
void TarnSetListsHook(TarnListsFn fn) {
  ListsHook() = std::move(fn);
}
void TarnSetBlockTable(std::string_view block, TarnBlockTableFn fn) {
  auto& t = BlockTables();
  std::erase_if(t, [&](const auto& e) { return EqIgnoreCase(e.first, block); });
  if (fn) t.emplace_back(std::string(block), std::move(fn));
}

std::optional<KeyTable> TarnBlockTable(std::string_view block) {
  for (const auto& [name, fn] : BlockTables())
    if (EqIgnoreCase(name, block)) return fn();
  return std::nullopt;
}

void TarnAddDefaultsHook(std::function<void()> fn) {
  if (fn) DefaultsHooks().push_back(std::move(fn));
}
void TarnRunDefaultsHooks() {
  for (auto& fn : DefaultsHooks()) fn();
}

}  // namespace tarn
