#pragma once
// The run summary of a batch: one JSON file per run (docs/run-summary.md,
// schema docs/run-summary.schema.json) that pipelines read instead of the
// listings. It names every structure the batch opened or created, the
// commands run on it with their outcome and the results of the tools
// (merge, refinement, Fourier, distances, CIF). It is written atomically at
// the end of the batch, also when the batch ends on an error.
#include <memory>
#include <string>

namespace tarn {

// Version of the file's layout; raised when a field changes its meaning.
inline constexpr int TarnRunSummarySchema = 1;

// "-json PATH": where the summary goes (relative to the start directory);
// empty: beside the batch file, its extension replaced by ".json".
void TarnRunSummarySetPath(const std::string& path);
// The file the summary of the batch file batch goes to.
std::string TarnRunSummaryPath(const std::string& batch);

// Starts the record of a batch run (forgets an earlier one).
void TarnRunSummaryBegin();
// Records one command of the batch on the structure open now (none: the
// run's own list) with the tool results gathered since the last command,
// which are then cleared; message holds what went wrong (empty when ok).
void TarnRunSummaryCommand(const std::string& text, bool ok, const std::string& message);
// Notes the message of a command's failure (the structure refused, ...)
// for the command being recorded next.
void TarnRunSummaryNote(const std::string& message);
// While alive, the error messages shown through the toolkit are also kept
// for the command recorded next (the toolkit in use is wrapped).
class TarnRunSummaryCapture {
 public:
  TarnRunSummaryCapture();
  ~TarnRunSummaryCapture();
  TarnRunSummaryCapture(const TarnRunSummaryCapture&) = delete;
  TarnRunSummaryCapture& operator=(const TarnRunSummaryCapture&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The JSON text of the run with the program's exit status and the message
// of the failure that ended it.
std::string TarnRunSummaryText(int exitStatus, const std::string& failure);
// Writes it to TarnRunSummaryPath(batch); 0, or 1 after a message.
[[nodiscard]] int TarnRunSummaryWrite(const std::string& batch, int exitStatus,
                                      const std::string& failure);

}  // namespace tarn
