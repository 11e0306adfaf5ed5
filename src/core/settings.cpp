#include "core/settings.h"

#include <climits>
#include <cstring>

namespace {

const char* const kHelpText =
    "Programa para registro de datos del VARNOD en CSV\n"
    "  Uso: TORVEX [-h] [-p Puerto] [-b Baudios] [-s Periodo]\n"
    "  Si se omiten las opciones se asume -p COM1, -b 9600, -s 10\n"
    "  Para guardar la salida, hacer TORVEX > log.csv\n";

const char* const kPortMissing = "Debe especificar el nombre de puerto detras de -p\n";
const char* const kPortTooLong = "El nombre del puerto es demasiado largo\n";
const char* const kBaudMissing = "Debe especificar los baudios detras de -b\n";
const char* const kBaudInvalid =
    "Los baudios indicados no son validos, deben ser 4800, 9600, 19200 o 38400\n";
const char* const kPeriodMissing = "Debe especificar el periodo de muestreo detras de -s\n";
const char* const kPeriodInvalid = "El periodo de muestreo debe estar entre 1 y 600 segundos\n";
const char* const kLoneDash = "- no es una opcion valida\n";
const char* const kNotAnOption = "Opcion desconocida: %s\n";
const char* const kUnknownOption = "Opcion -%c desconocida\n";

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isSupportedBaudRate(int baud) {
    return baud == 4800 || baud == 9600 || baud == 19200 || baud == 38400;
}

void upperCaseAscii(char* text) {
    for (; *text != '\0'; ++text) {
        if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
    }
}

bool fail(std::FILE* messages, const char* text, int& exitStatus) {
    std::fputs(text, messages);
    exitStatus = 1;
    return false;
}

}  // namespace

int readOptionNumber(const char* text) {
    while (isBlank(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    // Stop growing just past the int range: the caller only needs to see it is out of range.
    long long value = 0;
    const long long limit = static_cast<long long>(INT_MAX) + 1;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (value < limit) value = value * 10 + (*text - '0');
    }
    if (value > limit) value = limit;
    if (negative) return value >= limit ? INT_MIN : static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

bool parseCommandLine(int argc, char** argv, LoggerSettings& settings, int& exitStatus,
                      std::FILE* messages) {
    settings = LoggerSettings{};
    exitStatus = 0;
    // Every option that does not end the run takes the argument after it.
    for (int i = 1; i < argc; i += 2) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            std::fprintf(messages, kNotAnOption, arg);
            exitStatus = 1;
            return false;
        }
        const char letter = arg[1];
        if (letter == '\0') return fail(messages, kLoneDash, exitStatus);
        if (letter == 'h') {
            std::fputs(kHelpText, messages);
            exitStatus = 0;
            return false;
        }
        if (letter != 'p' && letter != 'b' && letter != 's') {
            std::fprintf(messages, kUnknownOption, letter);
            exitStatus = 1;
            return false;
        }
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (letter == 'p') {
            if (value == nullptr) return fail(messages, kPortMissing, exitStatus);
            if (std::strlen(value) > static_cast<std::size_t>(kMaxPortNameLength)) {
                return fail(messages, kPortTooLong, exitStatus);
            }
            std::strcpy(settings.portName, value);
        } else if (letter == 'b') {
            if (value == nullptr) return fail(messages, kBaudMissing, exitStatus);
            const int baud = readOptionNumber(value);
            if (!isSupportedBaudRate(baud)) return fail(messages, kBaudInvalid, exitStatus);
            settings.baudRate = baud;
        } else {
            if (value == nullptr) return fail(messages, kPeriodMissing, exitStatus);
            const int seconds = readOptionNumber(value);
            if (seconds < 1 || seconds > 600) return fail(messages, kPeriodInvalid, exitStatus);
            settings.periodMs = seconds * 1000;
        }
    }
    upperCaseAscii(settings.portName);
    return true;
}
