// Console services over Windows: waiting on the stop event, the tick count
// and the wall clock, and what the records stream is and how it reaches the
// disk. Who raises the stop event depends on the program: the console
// control handler (console_stop.cpp) or the service manager (service_run.cpp).
#include "platform/win32/windows_api.h"

#include "platform/console.h"

#include <io.h>

#if defined(__MINGW32__)
// Has the runtime expand wildcards such as *.csv in the arguments before main.
extern "C" {
int _dowildcard = -1;
}
#endif

namespace {

HANDLE handleOf(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
}

}  // namespace

namespace console {

bool waitForStop(StopSignal& signal, std::uint32_t timeoutMs) {
    // Anything but a time-out, a failed wait included, ends the run.
    return ::WaitForSingleObject(reinterpret_cast<HANDLE>(signal.handle), timeoutMs) !=
           WAIT_TIMEOUT;
}

void closeStopSignal(StopSignal& signal) {
    ::CloseHandle(reinterpret_cast<HANDLE>(signal.handle));
    signal.handle = -1;
}

std::uint32_t nowMs() {
    return ::GetTickCount();
}

std::int64_t wallClockMs() {
    // 100 ns steps since 1601-01-01 UTC; 1970 is 11,644,473,600 s later.
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    const std::int64_t steps =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                                  now.dwLowDateTime);
    return steps / 10000 - INT64_C(11644473600000);
}

bool standardOutputIsFile() {
    // Fails on a console, which is what keeps the progress dots off there.
    BY_HANDLE_FILE_INFORMATION information;
    return ::GetFileInformationByHandle(::GetStdHandle(STD_OUTPUT_HANDLE), &information) != 0;
}

bool syncToDisk(std::FILE* stream) {
    const HANDLE handle = handleOf(stream);
    // Disk files only: on a pipe the flush would wait for the reader.
    if (::GetFileType(handle) != FILE_TYPE_DISK) return true;
    return ::FlushFileBuffers(handle) != 0;
}

bool fileLength(std::FILE* stream, std::int64_t& length) {
    const HANDLE handle = handleOf(stream);
    LARGE_INTEGER size;
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileSizeEx(handle, &size)) return false;
    length = size.QuadPart;
    return true;
}

bool cutFileBack(std::FILE* stream, std::int64_t length) {
    const HANDLE handle = handleOf(stream);
    LARGE_INTEGER at;
    at.QuadPart = length;
    if (!::SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) || !::SetEndOfFile(handle)) {
        return false;
    }
    // The runtime keeps a position of its own: the next record goes where the file now ends.
    return ::_fseeki64(stream, length, SEEK_SET) == 0;
}

}  // namespace console
