// The folder that a logger's metrics file goes to, for the textfile
// collector of Prometheus' exporter of the machine: on Linux the folder in
// TORVEX_METRICS_DIRECTORY (the unit sets the node exporter's), on Windows
// the one the installer wrote in the registry (HKLM\SOFTWARE\TORVEX,
// CarpetaMetricas). None set: no metrics are written.
#pragma once

#include <cstddef>

namespace metricsFolder {

// The folder, or nullptr when none is set.
const char* path();

// Replaces the folder's file `fileName` with `text` as a whole: written under
// a temporary name beside it, then renamed over it, so that a reader sees
// the old file or the new one, never part of either.
bool replaceFile(const char* fileName, const char* text, std::size_t length);

// Takes the file away (a logger stopped in order).
void removeFile(const char* fileName);

}  // namespace metricsFolder
