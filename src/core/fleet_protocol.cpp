#include "core/fleet_protocol.h"

#include <cstdio>
#include <cstring>

#include "core/record_stamp.h"

namespace {

struct RefusalWords {
    FleetRefusal refusal;
    const char* code;
    bool wholePass;
    const char* text;  // takes the values in order, or fewer
};

const RefusalWords kRefusals[] = {
    {FleetRefusal::NotListed, "revocada", true,
     "la placa no esta en la flota (revocada o aun no anadida)"},
    {FleetRefusal::Sessions, "sesiones", true, "ya hay dos envios de esta placa en curso"},
    {FleetRefusal::Protocol, "protocolo", true, "lo recibido no es un envio de torvex-fleet send"},
    {FleetRefusal::Idle, "parado", true, "envio parado: nada recibido en %llu s"},
    {FleetRefusal::Quota, "cuota", true,
     "la placa ha llegado a su cuota en el host central (%llu de %llu bytes)"},
    {FleetRefusal::Floor, "reserva", true,
     "el almacen del host central esta casi lleno (quedan %llu bytes o archivos libres, "
     "reserva de %llu)"},
    {FleetRefusal::TooManyFiles, "archivos", true,
     "la placa tiene ya %llu archivos en el host central, los que puede tener"},
    {FleetRefusal::Store, "almacen", true, "el host central no pudo escribir las copias"},
    {FleetRefusal::Name, "nombre", false, "no es un archivo de registros"},
    {FleetRefusal::NotPlain, "no-simple", false, "la copia en el host central no es un archivo simple"},
    {FleetRefusal::Shorter, "mas-corto", false,
     "el archivo de la placa es mas corto que la copia (%llu de %llu bytes); se conserva la copia"},
    {FleetRefusal::Offset, "posicion", false, "se envia desde el byte %llu y la copia tiene %llu"},
    {FleetRefusal::Content, "contenido", false, "la linea del byte %llu no es un registro"},
    {FleetRefusal::TooLarge, "tamano", false, "el archivo pasa de %llu bytes"},
};

const RefusalWords* wordsOf(FleetRefusal refusal) {
    for (const auto& words : kRefusals) {
        if (words.refusal == refusal) return &words;
    }
    return nullptr;
}

// How many bytes the UTF-8 character at `at` takes (2 to 4), 0 when none
// begins there within `left` bytes.
std::size_t utf8Length(const unsigned char* at, std::size_t left) {
    std::size_t length = 0;
    if (at[0] >= 0xC2 && at[0] <= 0xDF) length = 2;
    else if (at[0] >= 0xE0 && at[0] <= 0xEF) length = 3;
    else if (at[0] >= 0xF0 && at[0] <= 0xF4) length = 4;
    if (length == 0 || length > left) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if (at[i] < 0x80 || at[i] > 0xBF) return 0;
    }
    // No overlong forms, surrogates or code points past U+10FFFF.
    if ((at[0] == 0xE0 && at[1] < 0xA0) || (at[0] == 0xED && at[1] > 0x9F) ||
        (at[0] == 0xF0 && at[1] < 0x90) || (at[0] == 0xF4 && at[1] > 0x8F)) {
        return 0;
    }
    // Nor the marks that turn text around (U+202A..U+202E, U+2066..U+2069).
    if (at[0] == 0xE2 && ((at[1] == 0x80 && at[2] >= 0xAA && at[2] <= 0xAE) ||
                          (at[1] == 0x81 && at[2] >= 0xA6 && at[2] <= 0xA9))) {
        return 0;
    }
    return length;
}

}  // namespace

const char* fleetRefusalCode(FleetRefusal refusal) {
    const RefusalWords* words = wordsOf(refusal);
    return words != nullptr ? words->code : nullptr;
}

bool fleetRefusalOfCode(const char* code, FleetRefusal& refusal) {
    for (const auto& words : kRefusals) {
        if (std::strcmp(words.code, code) == 0) {
            refusal = words.refusal;
            return true;
        }
    }
    return false;
}

bool refusesWholePass(FleetRefusal refusal) {
    const RefusalWords* words = wordsOf(refusal);
    return words != nullptr && words->wholePass;
}

void describeFleetRefusal(char* text, std::size_t size, FleetRefusal refusal, std::uint64_t first,
                          std::uint64_t second) {
    const RefusalWords* words = wordsOf(refusal);
    std::snprintf(text, size, words != nullptr ? words->text : "rechazado",
                  static_cast<unsigned long long>(first), static_cast<unsigned long long>(second));
}

void escapeForLog(char* text, std::size_t size, const char* bytes, std::size_t length) {
    if (size == 0) return;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes);
    std::size_t out = 0;
    const std::size_t room = size > 4 ? size - 4 : 0;  // "..." and the zero
    std::size_t at = 0;
    while (at < length) {
        const std::size_t multi = in[at] >= 0x80 ? utf8Length(in + at, length - at) : 0;
        const bool plain = in[at] >= 0x20 && in[at] < 0x7F && in[at] != '\\';
        const std::size_t need = plain ? 1 : multi != 0 ? multi : 4;
        if (out + need > room) break;
        if (plain) {
            text[out++] = static_cast<char>(in[at]);
        } else if (multi != 0) {
            std::memcpy(text + out, in + at, multi);
            out += multi;
        } else {
            std::snprintf(text + out, 5, "\\x%02X", in[at]);
            out += 4;
        }
        at += plain ? 1 : multi != 0 ? multi : 1;
    }
    if (at < length && size >= 4) {
        std::memcpy(text + out, "...", 3);
        out += 3;
    }
    text[out < size ? out : size - 1] = '\0';
}

std::size_t splitHeader(char* line, char* (&fields)[kFleetMaxFields]) {
    std::size_t count = 0;
    for (char* at = line;;) {
        if (count == kFleetMaxFields) return 0;
        fields[count++] = at;
        char* tab = std::strchr(at, '\t');
        if (tab == nullptr) return count;
        *tab = '\0';
        at = tab + 1;
    }
}

bool parseCount(const char* text, std::uint64_t& value) {
    const std::size_t length = std::strlen(text);
    if (length == 0 || length > 19) return false;
    value = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    return true;
}

bool parseByteSize(const char* text, std::uint64_t& value) {
    char digits[20];
    const std::size_t length = std::strlen(text);
    if (length == 0 || length > sizeof digits) return false;
    int shift = 0;
    const char unit = text[length - 1];
    if (unit == 'K') shift = 10;
    else if (unit == 'M') shift = 20;
    else if (unit == 'G') shift = 30;
    else if (unit == 'T') shift = 40;
    const std::size_t numberLength = shift != 0 ? length - 1 : length;
    if (numberLength == 0 || numberLength >= sizeof digits) return false;
    std::memcpy(digits, text, numberLength);
    digits[numberLength] = '\0';
    if (!parseCount(digits, value) || (shift != 0 && value > (UINT64_MAX >> shift))) return false;
    value <<= shift;
    return true;
}

RecordLinesCheck checkRecordLines(const char* bytes, std::size_t length) {
    RecordLinesCheck check;
    while (check.whole < length) {
        const char* start = bytes + check.whole;
        const std::size_t left = length - check.whole;
        const auto* end = static_cast<const char*>(std::memchr(start, '\n', left));
        if (end == nullptr) {
            check.bad = left > kMaxRecordLineLength;
            return check;
        }
        const auto lineLength = static_cast<std::size_t>(end - start);
        if (!isRecordLine(start, lineLength)) {
            check.bad = true;
            return check;
        }
        check.whole += lineLength + 1;
    }
    return check;
}

bool isFieldNamesText(const char* bytes, std::size_t length) {
    return length <= kFieldNamesMaxSize && std::memchr(bytes, '\0', length) == nullptr;
}
