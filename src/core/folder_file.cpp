#include "core/folder_file.h"

#include <cstring>

#include "platform/records_folder.h"

namespace {

const char* const kNotPlain =
    "No se escribe en %s: no es un archivo simple del servicio; se escribe en %s\n";
const char* const kInUse =
    "No se escribe en %s: otro programa lo tiene abierto sin dejar escribir; se escribe en %s\n";
const char kOwnMark[] = ".servicio";

// COM3-2026-12.csv -> COM3-2026-12.servicio.csv; false when it is too long.
bool nameOwnFile(char (&own)[kFolderFileNameSize], const char* name) {
    const char* extension = std::strrchr(name, '.');
    if (extension == nullptr) extension = name + std::strlen(name);
    const int written = std::snprintf(own, sizeof own, "%.*s%s%s",
                                      static_cast<int>(extension - name), name, kOwnMark, extension);
    return written > 0 && static_cast<std::size_t>(written) < sizeof own;
}

std::FILE* openNamed(FolderFile& file, const char* name, recordsFolder::Refusal& refusal) {
    return recordsFolder::openForAppend(name, file.buffer, sizeof file.buffer, refusal);
}

}  // namespace

std::FILE* openFolderFile(FolderFile& file, const char* name, const char*& notice) {
    notice = nullptr;
    if (file.stream != nullptr && std::strcmp(name, file.name) == 0) return file.stream;
    closeFolderFile(file);
    recordsFolder::Refusal refusal = recordsFolder::Refusal::None;
    file.stream = openNamed(file, name, refusal);
    if (file.stream != nullptr) {
        file.divertedFrom[0] = '\0';
    } else if (refusal == recordsFolder::Refusal::NotPlain ||
               refusal == recordsFolder::Refusal::InUse) {
        char own[kFolderFileNameSize];
        recordsFolder::Refusal ownRefusal = recordsFolder::Refusal::None;
        if (nameOwnFile(own, name)) file.stream = openNamed(file, own, ownRefusal);
        // Said once, not at every record written around the same file.
        if (file.stream != nullptr && std::strcmp(file.divertedFrom, name) != 0) {
            std::snprintf(file.notice, sizeof file.notice,
                          refusal == recordsFolder::Refusal::NotPlain ? kNotPlain : kInUse, name,
                          own);
            std::snprintf(file.divertedFrom, sizeof file.divertedFrom, "%s", name);
            notice = file.notice;
        }
    }
    if (file.stream != nullptr) std::snprintf(file.name, sizeof file.name, "%s", name);
    return file.stream;
}

void letGoFolderFile(FolderFile& file) {
    if (!recordsFolder::heldBetweenWrites()) closeFolderFile(file);
}

void closeFolderFile(FolderFile& file) {
    if (file.stream != nullptr) std::fclose(file.stream);
    file.stream = nullptr;
    file.name[0] = '\0';
}
