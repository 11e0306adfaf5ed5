// The system-wide PATH, so that `torvex` works in any new console once the
// installer has put its folder there. The installer's table for the
// environment cannot do it here, so the installed program edits the value.
#pragma once

// Adds `folder` to the end of the system PATH unless it is there already.
bool addToSystemPath(const char* folder);

// Takes every entry naming `folder` out of the system PATH.
bool removeFromSystemPath(const char* folder);
