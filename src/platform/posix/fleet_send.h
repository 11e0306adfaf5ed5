// A board's side of the fleet: its records files copied to the central
// host, pass after pass, for as long as it runs. A pass every so many
// seconds (--every) names the files changed since the central host last
// confirmed them (every file at the start and each hour), and sends each
// from where its copy ends; a file counts as sent once the central host
// says its copy has synced that far. Whatever broke a pass off is sent by
// a later one, from where the copy ends: nothing lost, nothing twice.
#pragma once

struct SendSettings {
    const char* folder = "/etc/torvex/fleet";  // board.key, ssh_config, known_hosts
    const char* records = "/var/log/torvex";
    const char* runtime = "/run/torvex-fleet";  // the shared SSH connection
    int everyS = 10;  // a pass this often
    int retryS = 60;  // the longest wait after a failed pass
};

// Runs until SIGTERM or SIGINT (status 0), or until the records folder can
// no longer be watched (status 1, for the service manager to start again).
int sendForever(const SendSettings& settings);
