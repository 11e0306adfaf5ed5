// The run's settings, built from the command line.
#pragma once

#include <cstdio>

constexpr int kMaxPortNameLength = 18;

struct LoggerSettings {
    char portName[20] = "COM1";
    int baudRate = 9600;
    int periodMs = 10000;
};

// Reads the options left to right. True: settings complete, the run goes on.
// False: the help text or an option error was written to `messages`, and the
// run must end with `exitStatus` (0 after help, 1 after an error).
bool parseCommandLine(int argc, char** argv, LoggerSettings& settings, int& exitStatus,
                      std::FILE* messages = stderr);

// The number rules of the C runtime's atoi (leading blanks, optional sign,
// digits up to the first other character, no digits is 0), but a value past
// the range of int saturates instead of being undefined.
int readOptionNumber(const char* text);
