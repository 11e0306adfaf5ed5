// Adding and removing the services of the instruments: one service per port,
// named after it (torvex-COM3, shown as "TORVEX COM3"), started at boot.
// Each function writes its messages to standard error and returns the exit
// status: 0 when it did what was asked, 1 otherwise.
#pragma once

struct LoggerSettings;

namespace services {

// Adds the port's service, or gives an existing one the new settings, and
// starts it. The service runs this program with `run` and the settings.
int install(const LoggerSettings& settings);

// Stops the port's service in order and removes it.
int remove(const char* portName);

// Stops and removes every TORVEX service, however it was added.
int removeAll();

// For the installer: stops every TORVEX service, so that its program can be
// replaced or removed, and keeps them.
int stopAll();

// For the installer: starts every TORVEX service set to start at boot that
// is not running (after an upgrade stopped them).
int startAll();

// For the installer of a later version: an uninstall notes each TORVEX
// service's options (noteAll); the later version's install adds again those
// its upgrade removed, or, when it is no upgrade, forgets them (takeNoted).
// Windows tells an uninstall that it is part of an upgrade, so that it keeps
// the services; Wine's installer does not, and removes them.
int noteAll();
int takeNoted(bool addAgain);

}  // namespace services
