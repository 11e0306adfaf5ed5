#include "core/settings.h"

#include <gtest/gtest.h>

#include <climits>

#include "capture.h"

namespace {

const char* const kHelp =
    "Programa para registro de datos del VARNOD en CSV\n"
    "  Uso: TORVEX [-h] [-p Puerto] [-b Baudios] [-s Periodo]\n"
    "  Si se omiten las opciones se asume -p COM1, -b 9600, -s 10\n"
    "  Para guardar la salida, hacer TORVEX > log.csv\n";
const char* const kBadBaud =
    "Los baudios indicados no son validos, deben ser 4800, 9600, 19200 o 38400\n";
const char* const kBadPeriod = "El periodo de muestreo debe estar entre 1 y 600 segundos\n";

struct GoodCase {
    std::initializer_list<const char*> args;
    const char* port;
    int baud;
    int periodMs;
};

TEST(CommandLine, AcceptedOptionsGiveTheSettings) {
    const GoodCase cases[] = {
        {{}, "COM1", 9600, 10000},
        {{"-p", "com3"}, "COM3", 9600, 10000},
        {{"-p", "/dev/pts/3"}, "/DEV/PTS/3", 9600, 10000},
        {{"-p", "abcdefghijklmnopqr"}, "ABCDEFGHIJKLMNOPQR", 9600, 10000},
        {{"-p", "-s"}, "-S", 9600, 10000},
        {{"-p", "x\xe9y{z}"}, "X\xe9Y{Z}", 9600, 10000},
        {{"-b", "9600x"}, "COM1", 9600, 10000},
        {{"-b", "  +4800"}, "COM1", 4800, 10000},
        {{"-b", "19200"}, "COM1", 19200, 10000},
        {{"-b", "4800", "-b", "38400"}, "COM1", 38400, 10000},
        {{"-s", "1"}, "COM1", 9600, 1000},
        {{"-s", "600"}, "COM1", 9600, 600000},
        {{"-s", "\t 30s"}, "COM1", 9600, 30000},
        {{"-pX", "com9", "-bogus", "4800", "-s", "5"}, "COM9", 4800, 5000},
        {{"-p", "com2", "-p", "com4"}, "COM4", 9600, 10000},
    };
    for (const GoodCase& c : cases) {
        Arguments args(c.args);
        CapturedStream messages;
        LoggerSettings settings;
        int status = -1;
        ASSERT_TRUE(parseCommandLine(args.count(), args.vector(), settings, status, messages.file))
            << messages.text();
        EXPECT_STREQ(settings.portName, c.port);
        EXPECT_EQ(settings.baudRate, c.baud);
        EXPECT_EQ(settings.periodMs, c.periodMs);
        EXPECT_EQ(messages.text(), "");
    }
}

struct EndCase {
    std::initializer_list<const char*> args;
    int status;
    std::string message;
};

TEST(CommandLine, HelpAndErrorsEndTheRunWithOneMessage) {
    const EndCase cases[] = {
        {{"-h"}, 0, kHelp},
        {{"-hola"}, 0, kHelp},
        {{"-p", "COM2", "-h", "-x"}, 0, kHelp},
        {{"-x", "-h"}, 1, "Opcion -x desconocida\n"},
        {{"-H"}, 1, "Opcion -H desconocida\n"},
        {{"-P", "com1"}, 1, "Opcion -P desconocida\n"},
        {{"-B"}, 1, "Opcion -B desconocida\n"},
        {{"-S"}, 1, "Opcion -S desconocida\n"},
        {{"datos"}, 1, "Opcion desconocida: datos\n"},
        {{""}, 1, "Opcion desconocida: \n"},
        {{"com3"}, 1, "Opcion desconocida: com3\n"},
        {{"-"}, 1, "- no es una opcion valida\n"},
        {{"-p"}, 1, "Debe especificar el nombre de puerto detras de -p\n"},
        {{"-p", "abcdefghijklmnopqrs"}, 1, "El nombre del puerto es demasiado largo\n"},
        {{"-b"}, 1, "Debe especificar los baudios detras de -b\n"},
        {{"-s", "5", "-b"}, 1, "Debe especificar los baudios detras de -b\n"},
        {{"-b", "abc"}, 1, kBadBaud},
        {{"-b", "300"}, 1, kBadBaud},
        {{"-b", "-9600"}, 1, kBadBaud},
        {{"-b", "96 00"}, 1, kBadBaud},
        {{"-b", "4294976896"}, 1, kBadBaud},  // 9600 + 2^32 must not wrap to 9600
        {{"-s"}, 1, "Debe especificar el periodo de muestreo detras de -s\n"},
        {{"-s", "0"}, 1, kBadPeriod},
        {{"-s", "601"}, 1, kBadPeriod},
        {{"-s", "-5"}, 1, kBadPeriod},
        {{"-s", "-h"}, 1, kBadPeriod},
        {{"-s", "99999999999"}, 1, kBadPeriod},
        {{"-s", "4294967306"}, 1, kBadPeriod},  // 10 + 2^32
        {{"-s", "-4294967286"}, 1, kBadPeriod},
        {{"-b", "300", "-x"}, 1, kBadBaud},  // the first error wins
        {{"-x", "-b", "300"}, 1, "Opcion -x desconocida\n"},
    };
    for (const EndCase& c : cases) {
        Arguments args(c.args);
        CapturedStream messages;
        LoggerSettings settings;
        int status = -1;
        EXPECT_FALSE(parseCommandLine(args.count(), args.vector(), settings, status, messages.file))
            << args.storage.back();
        EXPECT_EQ(status, c.status) << c.message;
        EXPECT_EQ(messages.text(), c.message);
    }
}

TEST(CommandLine, NumbersFollowTheRuntimeRulesWithoutOverflow) {
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"9600", 9600},          {"  \t\n42", 42},       {"+7", 7},
        {"-5", -5},              {"12abc", 12},          {"abc", 0},
        {"", 0},                 {"-", 0},               {"+-3", 0},
        {" - 3", 0},             {"007", 7},             {"2147483647", INT_MAX},
        {"2147483648", INT_MAX}, {"99999999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN}, {"-2147483649", INT_MIN},
        {"-99999999999999999999999", INT_MIN},
    };
    for (const auto& c : cases) EXPECT_EQ(readOptionNumber(c.text), c.value) << '"' << c.text << '"';
}

}  // namespace
