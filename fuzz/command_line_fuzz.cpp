// Fuzz target: arbitrary argument vectors through parseCommandLine, checked
// against the settings' invariants and a plain model of the option rules
// written here independently: either complete settings and no text at all,
// or an end status with exactly one message.
//
// The input is the argument vector with its elements separated by zero
// bytes; the first element is the program name, which must not matter.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/settings.h"

namespace {

const std::size_t kMaxArguments = 64;

const char kHelp[] =
    "Programa para registro de datos del VARNOD en CSV\n"
    "  Uso: TORVEX [-h] [-p Puerto] [-b Baudios] [-s Periodo]\n"
    "  Si se omiten las opciones se asume -p COM1, -b 9600, -s 10\n"
    "  Para guardar la salida, hacer TORVEX > log.csv\n";

#define check(condition) ((condition) ? (void)0 : failed(#condition, __LINE__))

[[noreturn]] void failed(const char* what, int line) {
    std::fprintf(stderr, "command_line_fuzz.cpp:%d: check failed: %s\n", line, what);
    std::abort();
}

struct Outcome {
    bool goesOn = true;
    int status = 0;
    std::string message;
    std::string port = "COM1";
    int baud = 9600;
    int periodMs = 10000;
};

Outcome ends(int status, const std::string& message) {
    Outcome outcome;
    outcome.goesOn = false;
    outcome.status = status;
    outcome.message = message;
    return outcome;
}

// atoi's reading, with values past the int range pinned to its ends.
long long modelNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::string(" \t\n\v\f\r").find(text[i]) != std::string::npos) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    unsigned long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value < 100000000000ULL) value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    const long long signedValue = negative ? -static_cast<long long>(value) : static_cast<long long>(value);
    if (signedValue > INT_MAX) return INT_MAX;
    if (signedValue < INT_MIN) return INT_MIN;
    return signedValue;
}

Outcome modelParse(const std::vector<std::string>& args) {
    Outcome outcome;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.empty() || arg[0] != '-') return ends(1, "Opcion desconocida: " + arg + "\n");
        if (arg.size() == 1) return ends(1, "- no es una opcion valida\n");
        const char letter = arg[1];
        if (letter == 'h') return ends(0, kHelp);
        const bool last = i + 1 == args.size();
        if (letter == 'p') {
            if (last) return ends(1, "Debe especificar el nombre de puerto detras de -p\n");
            const std::string& value = args[++i];
            if (value.size() > 18) return ends(1, "El nombre del puerto es demasiado largo\n");
            outcome.port = value;
        } else if (letter == 'b') {
            if (last) return ends(1, "Debe especificar los baudios detras de -b\n");
            const long long baud = modelNumber(args[++i]);
            if (baud != 4800 && baud != 9600 && baud != 19200 && baud != 38400) {
                return ends(1, "Los baudios indicados no son validos, deben ser 4800, 9600, 19200 o 38400\n");
            }
            outcome.baud = static_cast<int>(baud);
        } else if (letter == 's') {
            if (last) return ends(1, "Debe especificar el periodo de muestreo detras de -s\n");
            const long long seconds = modelNumber(args[++i]);
            if (seconds < 1 || seconds > 600) {
                return ends(1, "El periodo de muestreo debe estar entre 1 y 600 segundos\n");
            }
            outcome.periodMs = static_cast<int>(seconds * 1000);
        } else {
            return ends(1, std::string("Opcion -") + letter + " desconocida\n");
        }
    }
    for (char& c : outcome.port) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size && args.size() <= kMaxArguments; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back() += static_cast<char>(data[i]);
        }
    }
    if (args.size() > kMaxArguments) args.resize(kMaxArguments);

    // Each argument and the vector exactly sized on the heap, so that a read
    // past an argument's end or past the last argument is caught.
    const int argc = static_cast<int>(args.size());
    char** argv = static_cast<char**>(std::malloc((args.size() + 1) * sizeof(char*)));
    for (std::size_t i = 0; i < args.size(); ++i) {
        argv[i] = static_cast<char*>(std::malloc(args[i].size() + 1));
        std::memcpy(argv[i], args[i].c_str(), args[i].size() + 1);
    }
    argv[argc] = nullptr;

    // Settings left over from something else: parsing must start from the defaults.
    LoggerSettings* settings = new LoggerSettings;
    std::strcpy(settings->portName, "STALE");
    settings->baudRate = 1;
    settings->periodMs = 2;
    int status = -1;

    char* text = nullptr;
    std::size_t textSize = 0;
    std::FILE* messages = open_memstream(&text, &textSize);
    const bool goesOn = parseCommandLine(argc, argv, *settings, status, messages);
    std::fclose(messages);
    const std::string message(text, textSize);
    std::free(text);

    const Outcome expected = modelParse(args);
    check(goesOn == expected.goesOn);
    if (goesOn) {
        // The settings' invariants, then the model's exact values.
        check(message.empty());
        const int baud = settings->baudRate;
        check(baud == 4800 || baud == 9600 || baud == 19200 || baud == 38400);
        check(settings->periodMs >= 1000 && settings->periodMs <= 600000);
        check(settings->periodMs % 1000 == 0);
        check(std::memchr(settings->portName, '\0', sizeof settings->portName) != nullptr);
        check(std::strlen(settings->portName) <= 18);
        for (const char* c = settings->portName; *c != '\0'; ++c) check(*c < 'a' || *c > 'z');
        check(expected.port == settings->portName);
        check(expected.baud == baud);
        check(expected.periodMs == settings->periodMs);
    } else {
        // One message: the help text with status 0, or one error with status 1.
        check(status == 0 || status == 1);
        check((status == 0) == (message == kHelp));
        check(!message.empty() && message.back() == '\n');
        check(status == expected.status);
        check(message == expected.message);
    }

    delete settings;
    for (int i = 0; i < argc; ++i) std::free(argv[i]);
    std::free(argv);
    return 0;
}
