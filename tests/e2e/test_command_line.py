"""The real program's answers to its command line, byte for byte."""

import unittest

from harness import ANNOUNCE, OPEN_FAILED, run_logger

HELP = (b"Programa para registro de datos del VARNOD en CSV\n"
        b"  Uso: TORVEX [-h] [-p Puerto] [-b Baudios] [-s Periodo]\n"
        b"  Si se omiten las opciones se asume -p COM1, -b 9600, -s 10\n"
        b"  Para guardar la salida, hacer TORVEX > log.csv\n")

NO_PORT = "torvex-no-port"  # a bare name is looked up under /dev


class CommandLine(unittest.TestCase):
    def test_help_errors_and_statuses(self):
        cases = [
            (["-h"], 0, HELP),
            (["-p", "com2", "-hola", "-x"], 0, HELP),
            (["-x", "-h"], 1, b"Opcion -x desconocida\n"),
            (["datos"], 1, b"Opcion desconocida: datos\n"),
            (["-"], 1, b"- no es una opcion valida\n"),
            (["-b"], 1, b"Debe especificar los baudios detras de -b\n"),
            (["-s", "-h"], 1, b"El periodo de muestreo debe estar entre 1 y 600 segundos\n"),
            (["-s", "99999999999"], 1,
             b"El periodo de muestreo debe estar entre 1 y 600 segundos\n"),
            (["-p", "a" * 19], 1, b"El nombre del puerto es demasiado largo\n"),
            (["-b", "300"], 1,
             b"Los baudios indicados no son validos, deben ser 4800, 9600, 19200 o 38400\n"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                self.assertEqual(run_logger(*args), (status, b"", message))

    def test_a_missing_port_is_announced_then_reported(self):
        status, out, err = run_logger("-p", NO_PORT.lower(), "-b", "19200")
        self.assertEqual(status, 1)
        self.assertEqual(out, b"")
        self.assertEqual(err.decode(), ANNOUNCE.format(NO_PORT.upper(), 19200) + OPEN_FAILED)


if __name__ == "__main__":
    unittest.main()
