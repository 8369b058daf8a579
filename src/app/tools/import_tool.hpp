#pragma once
// The reflection-import action as the frame runs it: the import itself
// (EM9ImportTool) with the structure's basic data kept in step, so that every
// reflection block of M95 has a data block in M50.
#include "app/actions.hpp"

namespace tarn {

// Tool of action 50101. When the structure's M50 has fewer data blocks than
// M95 will have reflection blocks after the import, a data block is added
// for the new reflection block: a copy of the last one (radiation and
// experiment settings the user would accept in the wizard), with the
// wavelength and radiation of the imported file where the file gives them.
// M50 is written only when the import succeeded; on failure Basic is
// restored and call.Error set.
int EM9ImportActionTool(TarnToolCall& call);

// The import wizard: lists, file, options; appends one block to M95 of the
// open structure. Returns 0 when a block was imported.
int EM9ImportWizard();
// Tool of action 50101: the wizard, or in batch mode the import of the file
// (call.Path, or the second item line) with the entry named by the first item
// line (label without "&"); call.Error set on failure, messages to the listing.
int EM9ImportTool(TarnToolCall& call);

}  // namespace tarn
