// The names of a records folder's files: the rule the writer names them by,
// which every reader of the folder (the fleet's central host, the records
// page) shares.
#pragma once

#include <cstddef>

// The longest name a logger's files may carry.
constexpr std::size_t kMaxRecordsNameLength = 32;

// Whether `name` can name a logger's files: 1 to 32 bytes of letters
// (ASCII, and the accented Latin letters U+00C0 to U+024F in UTF-8, such as
// "á" or "ñ"), digits, spaces, ".", "_" and "-", not beginning with ".", "-"
// or a space nor ending with a space, so that it stays one plain file name
// in the records folder that no shell, URL or page takes for anything else.
bool isRecordsName(const char* name);

// What a file of a records folder is, by its name: the rule every reader of
// the folder (the fleet's central host, the records page) shares with the
// writer.
enum class RecordsFileKind {
    None,
    Records,         // NAME-YYYY-MM.csv, NAME-YYYY-MM-DD.csv
    ServiceRecords,  // the same with ".servicio" before ".csv" (see FolderFile)
    FieldNames,      // NAME-campos.txt, written by the user: the fields' names
};
RecordsFileKind recordsFileKind(const char* fileName);
