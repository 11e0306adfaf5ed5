// A reader of the service's files, as the programs that users open them with
// do. It holds the file open for the given milliseconds, reading what is
// there at the start and again at the end, and prints both sizes. The way it
// opens the file:
//   shares-writing  read-only, letting others read and write (Notepad, copy)
//   shares-reading  read-only, letting others only read (type, more <)
//   edits           reading and writing, letting others only read (a
//                   spreadsheet opening the file for editing)
// Exit status 1 when the file cannot be opened or read.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Opening {
    const char* name;
    DWORD access;
    DWORD sharing;
};

const Opening kOpenings[] = {
    {"shares-writing", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE},
    {"shares-reading", GENERIC_READ, FILE_SHARE_READ},
    {"edits", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ},
};

bool readToEnd(HANDLE file, unsigned long& total) {
    char chunk[4096];
    DWORD count = 0;
    do {
        if (!::ReadFile(file, chunk, sizeof chunk, &count, nullptr)) return false;
        total += count;
    } while (count > 0);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const Opening* opening = nullptr;
    for (const Opening& candidate : kOpenings) {
        if (argc == 4 && std::strcmp(argv[3], candidate.name) == 0) opening = &candidate;
    }
    if (opening == nullptr) {
        std::fputs("usage: file_reader FILE MILLISECONDS shares-writing|shares-reading|edits\n",
                   stderr);
        return 2;
    }
    const HANDLE file = ::CreateFileA(argv[1], opening->access, opening->sharing, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot open: error %lu\n", ::GetLastError());
        return 1;
    }
    unsigned long atStart = 0;
    bool read = readToEnd(file, atStart);
    std::printf("opened %lu\n", atStart);
    std::fflush(stdout);
    ::Sleep(static_cast<DWORD>(std::atoi(argv[2])));
    unsigned long atEnd = atStart;
    read = read && readToEnd(file, atEnd);
    std::printf("held %lu\n", atEnd);
    ::CloseHandle(file);
    return read ? 0 : 1;
}
