// torvex_sim's command line.
#include "instrument_sim.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace simulator {

namespace {

bool parseNumber(const char* text, int64_t minimum, int64_t& value) {
    if (!text || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < minimum) return false;
    value = v;
    return true;
}

bool parseDelivery(const std::string& text, Delivery& delivery) {
    if (text == "byte") {
        delivery = Delivery::Byte;
    } else if (text == "fifo") {
        delivery = Delivery::Fifo;
    } else if (text == "usb") {
        delivery = Delivery::Usb;
    } else {
        return false;
    }
    return true;
}

void usage() {
    std::fputs(
        "usage: torvex_sim [options]\n"
        "Plays the VARNOD instrument on a pseudo-terminal. Prints the slave path\n"
        "(e.g. /dev/pts/5) and a line feed on standard output, then answers every\n"
        "request \"I\\r\\n\" until SIGTERM, SIGINT or SIGHUP (exit status 0).\n"
        "\n"
        "options:\n"
        "  --log FILE          append \"<ms> <hex>\" per request (ms since start, 3 decimals,\n"
        "                      request bytes in lower-case hex, e.g. 490d0a),\n"
        "                      first \"<ms> wall:<ms since 1970 UTC>\", the wall clock then,\n"
        "                      \"<ms> delivered:<writes>\" once a reply is all handed over\n"
        "                      (in how many writes), \"<ms> closed\" when the logger\n"
        "                      closes the port, \"<ms> vanished\"\n"
        "  --delay MS          wait MS ms after a request before replying (default 20)\n"
        "  --silent            never answer\n"
        "  --baud B            pace reply bytes at 10 bits per byte at B baud\n"
        "  --delivery MODE     how paced bytes reach the logger (default byte):\n"
        "                      byte  each byte once it is on the wire;\n"
        "                      fifo  as from a UART's 14-byte FIFO: each 14 bytes\n"
        "                            once the last of them is on the wire, a shorter\n"
        "                            rest four character times after its last byte;\n"
        "                      usb   as from a USB adapter: what is on the wire so\n"
        "                            far, every 16 ms\n"
        "  --script FILE       answer with the exact bytes of FILE\n"
        "  --long N            answer with N characters (CR not counted) in lines\n"
        "                      \"R000001,1.5%,2.25\\r\\n\" (the reply's number),\n"
        "                      \"L0002,...\", \"L0003,...\", cut at exactly N\n"
        "  --stream MS         after the first request send one byte every MS ms forever\n"
        "                      (cycling \"S,21.50,40.2%,7.25\\r\\nQ,1013.4,0.5%\\r\\n\")\n"
        "  --vanish-after N    once the logger has read the N-th reply and 600 ms passed\n"
        "                      quietly (--quiet), close the pty (writes on the port then\n"
        "                      fail with EIO) and wait to be killed; later requests are\n"
        "                      not answered\n"
        "  --replug-after N    vanish as --vanish-after N does, then after the gap open a\n"
        "                      new pty, print its path on standard output, log\n"
        "                      \"<ms> replugged\" and answer again, numbering replies on\n"
        "  --gap MS            how long a replugged instrument stays away (default 3000)\n"
        "  --quiet MS          vanish MS ms after the logger read the last reply's last\n"
        "                      byte (default 600; less: while it waits for the silence)\n"
        "  --link PATH         keep a symbolic link PATH leading to the current pty, as\n"
        "                      udev does for an adapter; while the instrument is away\n"
        "                      and after the end it leads to a path that does not exist\n"
        "  --exit-after-close  exit 0 when the logger closes the port\n"
        "  -v                  diagnostics on standard error\n"
        "  -h, --help          this text\n"
        "\n"
        "Default reply to the n-th answered request (n = 1, 2, ...), four CR LF lines:\n"
        "  VARNOD,SN 0417,FW 2.3\n"
        "  T,<t>          t = (2100 + (n % 20) * 5) / 100, 2 decimals\n"
        "  H,<h>%,<d>     h = (400 + (n % 10) * 2) / 10, 1 decimal;\n"
        "                 d = (700 + (n % 8) * 25) / 100, 2 decimals\n"
        "  P,<p>          p = (10130 + (n % 15) * 4) / 10, 1 decimal\n"
        "  n=1: VARNOD,SN 0417,FW 2.3 | T,21.05 | H,40.2%,7.25 | P,1013.4\n"
        "  n=2: VARNOD,SN 0417,FW 2.3 | T,21.10 | H,40.4%,7.50 | P,1013.8\n",
        stderr);
}

}  // namespace

// 0: run; 1: help shown; 2: bad command line.
int parseOptions(int argc, char** argv, Options& opt) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = nullptr;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = argv[i] + eq + 1;
            arg.resize(eq);
        }
        const bool takesValue = arg == "--log" || arg == "--delay" || arg == "--baud" ||
                                arg == "--script" || arg == "--long" || arg == "--stream" ||
                                arg == "--vanish-after" || arg == "--replug-after" ||
                                arg == "--gap" || arg == "--quiet" || arg == "--link" ||
                                arg == "--delivery";
        if (takesValue && !value) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "torvex_sim: %s needs a value\n", arg.c_str());
                return 2;
            }
            value = argv[++i];
        } else if (!takesValue && value) {
            std::fprintf(stderr, "torvex_sim: %s takes no value\n", arg.c_str());
            return 2;
        }
        bool ok = true;
        if (arg == "-h" || arg == "--help") {
            usage();
            return 1;
        } else if (arg == "-v") {
            opt.verbose = true;
        } else if (arg == "--silent") {
            opt.silent = true;
        } else if (arg == "--exit-after-close") {
            opt.exitAfterClose = true;
        } else if (arg == "--log") {
            opt.logPath = value;
        } else if (arg == "--script") {
            opt.scriptPath = value;
        } else if (arg == "--delay") {
            ok = parseNumber(value, 0, opt.delayMs);
        } else if (arg == "--baud") {
            ok = parseNumber(value, 1, opt.baud);
        } else if (arg == "--delivery") {
            ok = parseDelivery(value, opt.delivery);
        } else if (arg == "--long") {
            ok = parseNumber(value, 0, opt.longCount);
        } else if (arg == "--stream") {
            ok = parseNumber(value, 1, opt.streamMs);
        } else if (arg == "--vanish-after") {
            ok = parseNumber(value, 1, opt.vanishAfter);
        } else if (arg == "--replug-after") {
            ok = parseNumber(value, 1, opt.vanishAfter);
            opt.replug = true;
        } else if (arg == "--quiet") {
            ok = parseNumber(value, 0, opt.vanishQuietMs);
        } else if (arg == "--gap") {
            ok = parseNumber(value, 0, opt.replugGapMs);
        } else if (arg == "--link") {
            opt.linkPath = value;
        } else {
            std::fprintf(stderr, "torvex_sim: unknown option %s (try --help)\n", argv[i]);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "torvex_sim: bad value for %s: %s\n", arg.c_str(), value);
            return 2;
        }
    }
    if (opt.scriptPath && opt.longCount >= 0) {
        std::fputs("torvex_sim: --script and --long exclude each other\n", stderr);
        return 2;
    }
    return 0;
}

bool readFile(const char* path, std::string& out) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

}  // namespace simulator
