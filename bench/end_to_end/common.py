"""What every part of the benchmark shares: the reply, the line's rules, the
run lengths, the settings from the command line and the one error."""
import types

# A typical five-line reply of 150 bytes (the same as in reply_bench.cpp).
TYPICAL_REPLY = (
    b"VARNOD,SN 0417,FW 2.3,OK\r\n"
    b"T,21.45,21.50,21.38,0.02\r\n"
    b"H,40.2%,7.25,7.31,0.50\r\n"
    b"P,1013.4,1013.6,1012.9,0.3\r\n"
    b"Q,12.50,0.25,3.75,100.0,42.0,7.125,9.50,1.25\r\n"
)
SILENCE_S = 0.5  # the reply ends after this much silence on the line
BITS_PER_BYTE = 10  # start bit, 8 data bits, stop bit
REQUEST_HEX = "490d0a"  # "I\r\n" as the simulator logs it
BAUDS = (9600, 38400)
# How the simulator hands the paced reply over (its --delivery): each byte on
# its own, as a UART's FIFO does, as a USB adapter does.
MODES = ("byte", "fifo", "usb")
DELIVERED = "delivered:"  # the simulator's log word: a reply handed over, in so many writes
PERIOD_S = 1
LONG_PERIOD_S = 10
LONG_POLLS = 4
IDLE_WATCH_S = 5.0
VALGRIND_POLLS = 3
CHECK_POLLS = 4
SYNC_POLLS = 30
COUNTED_POLLS = 10
STOPPED_MESSAGE = b"Terminado por el usuario"

# The command line's settings (executables, poll counts), filled in by main.
ARGS = types.SimpleNamespace()


class BenchError(Exception):
    pass

