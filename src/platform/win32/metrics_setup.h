// The installer's step for the metrics: METRICS=FOLDER, windows_exporter's
// textfile folder for instance (C:\Program Files\windows_exporter\textfile_inputs).
#pragma once

// Notes the folder in the registry for the services (an empty one: no
// metrics), makes it if missing and lets the services' account write
// there. Returns the exit status; a message on standard error when it fails.
int setMetricsFolder(const char* folder);
