// A reader of the service's records file, as Notepad or a backup tool opens
// it: read-only, letting others read and write. It holds the file open for
// the given milliseconds, reading what is there at the start and again at
// the end, and prints both sizes. Exit status 1 when the file cannot be
// opened or read.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

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
    if (argc != 3) {
        std::fputs("usage: file_reader FILE MILLISECONDS\n", stderr);
        return 2;
    }
    const HANDLE file = ::CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
