// The central host's side of a fleet pass: what sshd runs for a board's
// key. It trusts nothing the board sends: only records files of the naming
// rule land, at the top of the board's folder, each only ever growing by
// whole record lines (a field-names file is replaced whole), within the
// board's quota and above the store's reserve; every refusal is logged once.
#pragma once

struct ReceiveSettings {
    const char* folder = "/etc/torvex/fleet";  // the list of boards and central.conf
    const char* store = "/var/log/torvex-fleet";
    const char* board = "";
};

// One pass of `board` over standard input and output. Returns 0 when it
// ended in order (a file or two refused included), 1 when the whole pass
// was refused or broke off.
int receivePass(const ReceiveSettings& settings);

// Whether `name` can name a board: a letter or digit, then letters,
// digits, dots and hyphens, 64 at most.
bool isBoardName(const char* name);
