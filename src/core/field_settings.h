// What the user says of an instrument's fields in NAME-campos.txt, beside
// its records (the records page reads the same file): a field's name and
// its low and high limits, one a line, by the field's position in the record
// (see RecordFields):
//
//     4=Temperatura C
//     4 min=2,5
//     4 max=8
//     # a comment
//
// A limit's number has "," or "." as its decimal mark and an optional sign,
// no thousands separator and no exponent; blanks are allowed around the
// words and "=", "min" and "max" in any case. Any other line says nothing.
#pragma once

#include <cstddef>

// The longest name of a field, in bytes, and the furthest position read.
constexpr std::size_t kMaxFieldNameLength = 64;
constexpr int kMaxFieldPosition = 2048;
// The longest line of the file that is read.
constexpr std::size_t kMaxFieldLineLength = 256;

enum class FieldLineKind { None, Name, LowLimit, HighLimit };

struct FieldLine {
    FieldLineKind kind = FieldLineKind::None;
    int position = 0;
    double limit = 0;
    const char* name = nullptr;  // within the line, for a Name
    std::size_t nameLength = 0;
};

// What one line of the file says (its line feed left out). A name is 1 to
// 64 bytes of UTF-8 with no control character, its blanks around cut off.
FieldLine readFieldLine(const char* line, std::size_t length);

// The settings of the fields the file names, a later line for the same
// field overriding an earlier one; past kMaxSetFields fields the rest are
// left out.
constexpr int kMaxSetFields = 64;
struct FieldSetting {
    int position = 0;
    char name[kMaxFieldNameLength + 1] = "";
    bool hasLow = false, hasHigh = false;
    double low = 0, high = 0;
};
struct FieldSettings {
    FieldSetting fields[kMaxSetFields];
    int count = 0;
};

// Reads the whole file's text into `settings`, replacing what it held.
void readFieldSettings(FieldSettings& settings, const char* text, std::size_t length);

// The setting of the field at `position`, or nullptr.
const FieldSetting* fieldSetting(const FieldSettings& settings, int position);
