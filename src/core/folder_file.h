// A file of the records folder that the service writes unattended: a
// records file or the log. Where other programs could not open a file held
// for writing, it is opened for each write and let go after it (see
// recordsFolder::heldBetweenWrites). When the file of a name is no plain file
// of the service's own, or another program holds it and lets nobody write,
// nothing is written through it: the service writes instead to its own file
// beside it, the name with ".servicio" before the extension, which sorts
// right after it (COM3-2026-12.csv, COM3-2026-12.servicio.csv).
#pragma once

#include <cstddef>
#include <cstdio>

// The longest name of a file of the folder, with its zero.
constexpr std::size_t kFolderFileNameSize = 64;

struct FolderFile {
    std::FILE* stream = nullptr;
    char name[kFolderFileNameSize] = "";          // the name asked for, while open
    char divertedFrom[kFolderFileNameSize] = "";  // written around, until written again
    char notice[2 * kFolderFileNameSize + 96] = "";
    char buffer[4096];  // the stream's, so that opening it allocates nothing
};

// The stream that appends to the file `name`, or to the service's own file
// beside it. `notice` becomes the message to log when writing around a name
// begins, nullptr otherwise. nullptr when neither file can be opened.
std::FILE* openFolderFile(FolderFile& file, const char* name, const char*& notice);

// Once a write is done: lets the file go, unless it may stay open.
void letGoFolderFile(FolderFile& file);

void closeFolderFile(FolderFile& file);
