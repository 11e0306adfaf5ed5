// The fields of a record, as the records page splits them: at commas before
// the record's first "%" after its first character (the field that holds
// that "%" keeps it), at ";" after it, where "," is the decimal mark (see
// rewriteSeparators). Field positions count from 1, the record's first field.
#pragma once

#include <cstddef>

// A field of a record, within the record's own bytes.
struct RecordField {
    const char* text = nullptr;
    std::size_t length = 0;
    int position = 0;
    bool decimalComma = false;  // a field after the "%"
};

// Where the walk through a record's fields stands. Nothing is copied.
struct RecordFields {
    const char* record = nullptr;
    std::size_t length = 0;
    std::size_t percent = 0;  // the "%" that changes the separators, or `length`
    std::size_t start = 0;    // where the next field begins
    int position = 0;
};

// The walk from the record's first field on; `record` holds no line end.
RecordFields fieldsOf(const char* record, std::size_t length);

// The next field; false once every field has been given. An empty record
// has one empty field; a record ending in a separator ends in one too.
bool nextField(RecordFields& fields, RecordField& field);

// The number a field holds: decimal digits with an optional sign, point and
// exponent, blanks around it, a "%" at its end, and after the "%" of the
// record "," instead of "." as the decimal mark. False for anything else,
// and for a number past the range of a double.
bool fieldNumber(const RecordField& field, double& value);
