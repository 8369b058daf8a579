#pragma once
// Helpers shared by the files of the dispatcher (actions_*.cpp) and by
// nothing else.
#include <array>
#include <map>
#include <string>

#include "app/action_codes.hpp"
#include "app/actions.hpp"

namespace tarn {

namespace actreg {
std::array<TarnReaderFn, NReaders>& Readers();
TarnListsFn& ListsHook();
}  // namespace actreg

namespace acttree {
// Listing files shown by the viewer entries of the tab.
struct ListingViewer {
  int Code;
  const char* Ext;
};
inline constexpr ListingViewer kViewers[] = {
    {ActViewMergeListing, ".rre"},     {ActViewAverageListing, ".ave"},
    {ActViewStatisticListing, ".dir"}, {ActViewKelvorListing, ".kvlog"},
    {ActViewFourierListing, ".fou"},   {ActViewRefineListing, ".ref"},
    {ActViewDistListing, ".dis"},      {ActViewCriticalPoints, ".cp"},
    {ActViewBasinListing, ".inb"}};
bool IsMenuCode(int code);
}  // namespace acttree

namespace actstruct {
int EditFile(const std::string& path);
int ActionOpen();
int ActionNew();
int ActionSaveAs(bool backup);
int ActionCopyIn();
int ActionShell();
int ActionLock();
}  // namespace actstruct

using namespace actreg;
using namespace acttree;
using namespace actstruct;

}  // namespace tarn
