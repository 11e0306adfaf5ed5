#!/usr/bin/env python3
"""A serial data logger as a user would write it with pyserial, for comparison.

Once per period: send "I\\r\\n", read the reply byte by byte until 500 ms pass
without one (at most 2047 characters, carriage returns dropped), fold the
lines into one, rewrite the separators from the first "%" on, and print the
line. Ctrl-C ends it.

    serial_logger.py -p /dev/ttyUSB0 -b 9600 -s 10 > log.csv
"""
import argparse
import sys
import time

import serial

MAX_REPLY = 2047
SEPARATORS = bytes.maketrans(b",.", b";,")


def read_reply(port):
    reply = bytearray()
    while len(reply) < MAX_REPLY:
        byte = port.read(1)  # empty after 500 ms of silence
        if not byte:
            break
        if byte != b"\r":
            reply += byte
    return bytes(reply).split(b"\0", 1)[0]


def join_lines(text):
    """Appends every later line that has a comma to the first one, minus its label."""
    cursor = 0
    while True:
        line_feed = text.find(b"\n", cursor)
        if line_feed < 0 or len(text) - line_feed - 1 < 2:
            return text
        comma = text.find(b",", line_feed + 1)
        if comma < 0:
            return text
        text = text[:line_feed] + text[comma:]
        cursor = line_feed


def rewrite_separators(text):
    """From the first "%" after the first character: "," -> ";" and "." -> ","."""
    percent = text.find(b"%", 1)
    if percent < 0:
        return text
    return text[:percent] + text[percent:].translate(SEPARATORS)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-p", dest="port", required=True)
    parser.add_argument("-b", dest="baud", type=int, default=9600)
    parser.add_argument("-s", dest="seconds", type=int, default=10)
    args = parser.parse_args()

    port = serial.Serial(args.port, args.baud, timeout=0.5)
    out = sys.stdout.buffer
    try:
        while True:
            start = time.monotonic()
            port.write(b"I\r\n")
            record = rewrite_separators(join_lines(read_reply(port)))
            if record:
                out.write(record)
                out.flush()
            time.sleep(max(0.0, args.seconds - (time.monotonic() - start)))
    except KeyboardInterrupt:
        pass
    finally:
        port.close()
    print("Terminado por el usuario", file=sys.stderr)


if __name__ == "__main__":
    main()
