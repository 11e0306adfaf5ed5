"""The Python peer's conversion and the end-to-end benchmark's arithmetic.

The peer must write the same records as the program, or the comparison in
scripts/bench compares different work; the figures and the README rewrite
must be right without a serial line or a simulator.
"""
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import types
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "peers"))
try:
    import serial  # noqa: F401  (the peer imports it; only its conversion is tested here)
except ImportError:
    sys.modules["serial"] = types.ModuleType("serial")

from end_to_end import central, central_table, common, measures, scale, summary, tables, unattended
from end_to_end.figures import first_difference, timing_figures  # noqa: E402
import serial_logger  # noqa: E402


class CannedPort:
    """Yields the reply one byte per read(1), then b"" like a time-out."""

    def __init__(self, data):
        self.data = data
        self.next = 0

    def read(self, size):
        assert size == 1
        byte = self.data[self.next:self.next + 1]
        self.next += len(byte)
        return byte


def record_for(reply):
    port = CannedPort(reply)
    return serial_logger.rewrite_separators(
        serial_logger.join_lines(serial_logger.read_reply(port))), port


class PeerConversion(unittest.TestCase):
    def test_records_from_replies_of_every_shape(self):
        cases = [
            ("worked example", b"HDR,x.y\r\nT,21.5\r\nH,40%,7.25\r\n", b"HDR,x.y,21.5,40%;7,25\n"),
            ("silence", b"", b""),
            ("no final line feed", b"HDR,1.0\r\nT,2.5", b"HDR,1.0,2.5"),
            ("comma-less line joins with the next label", b"HDR,a\nnolabel\nT,1.5\n",
             b"HDR,a,1.5\n"),
            ("no later comma stops joining", b"HDR,a\nfoo\nbar\n", b"HDR,a\nfoo\nbar\n"),
            ("line feed then one character", b"HDR,a\n,", b"HDR,a\n,"),
            ("line feed then two characters", b"HDR,a\n,b", b"HDR,a,b"),
            ("% only as first character", b"%a,1.5\nT,2.5\n", b"%a,1.5,2.5\n"),
            ("a dot becomes a comma, never a semicolon", b"x%.,.\n", b"x%,;,\n"),
            ("a zero byte ends the text", b"A,1\x00B,2\n", b"A,1"),
            ("typical reply", common.TYPICAL_REPLY,
             b"VARNOD,SN 0417,FW 2.3,OK,21.45,21.50,21.38,0.02,40.2%;7,25;7,31;0,50;"
             b"1013,4;1013,6;1012,9;0,3;12,50;0,25;3,75;100,0;42,0;7,125;9,50;1,25\n"),
        ]
        for name, reply, record in cases:
            with self.subTest(name):
                self.assertEqual(record_for(reply)[0], record)

    def test_reply_stops_at_2047_characters_carriage_returns_not_counted(self):
        reply = b"\r" * 10 + b"x" * 2047 + b"rest"
        record, port = record_for(reply)
        self.assertEqual(record, b"x" * 2047)
        self.assertEqual(port.data[port.next:], b"rest")  # left for the next poll


class Session:
    """What a run leaves behind, made up."""

    def __init__(self, requests, record_times, cpu_at_records, wake_ups_at_records=(0, 0, 0),
                 deliveries=()):
        self.name = "made up"
        self.requests = requests
        self.record_times = record_times
        self.cpu_at_records = cpu_at_records
        self.wake_ups_at_records = list(wake_ups_at_records)
        self.deliveries = list(deliveries)
        self.wanted = len(record_times)
        self.peak_kib = 1500


class Figures(unittest.TestCase):
    def test_overhead_period_and_cpu_from_a_made_up_run(self):
        # Simulator clock 100 s behind ours; the second notification came 3 ms late.
        requests = [(100.0005, 0.5), (101.004, 1001.0), (102.0025, 2002.0)]
        limit = 150 * 10 / 9600 + 0.5
        overheads = [0.0010, 0.0030, 0.0020]
        records = [100.0005 + limit + overheads[0], 101.001 + limit + overheads[1],
                   102.002 + limit + overheads[2]]
        cpu = [5_000_000, 6_000_000, 8_000_000]
        figures = timing_figures(
            Session(requests, records, cpu, [10, 160, 320]), 150, 9600)
        self.assertAlmostEqual(figures["limit"], 656.25)
        self.assertAlmostEqual(figures["overhead"], 2.0, places=6)
        self.assertAlmostEqual(figures["overhead_worst"], 3.0, places=6)
        self.assertAlmostEqual(figures["period"], 1000.75, places=6)
        self.assertAlmostEqual(figures["period_worst"], 1.0, places=6)
        self.assertAlmostEqual(figures["cpu_per_poll"], 1.5)
        self.assertEqual(figures["wake_ups"], 155)

    def test_overhead_over_the_last_bytes_handed_over_when_the_line_hands_them_late(self):
        # A USB adapter hands the last packet over 0 to 16 ms after its bytes
        # are on the wire: the limit is each poll's own, from the simulator.
        requests = [(100.0, 0.0), (101.0, 1000.0), (102.0, 2000.0)]
        handed_over = [(160.0, 10), (1170.0, 11), (2156.0, 10)]
        overheads = [0.0010, 0.0030, 0.0020]
        records = [100.0 + ms / 1000 + 0.5 + overhead
                   for (ms, _), overhead in zip(handed_over, overheads)]
        figures = timing_figures(
            Session(requests, records, [0, 1, 2], deliveries=handed_over), 150, 9600, "usb")
        self.assertAlmostEqual(figures["limit"], 660.0)
        self.assertAlmostEqual(figures["overhead"], 2.0, places=6)
        self.assertAlmostEqual(figures["overhead_worst"], 3.0, places=6)
        self.assertEqual(figures["chunks"], 10)
        with self.assertRaises(common.BenchError):  # a reply the log does not show
            timing_figures(
                Session(requests, records, [0, 1, 2], deliveries=handed_over[:2]), 150, 9600,
                "usb")

    def test_system_calls_from_the_kernels_count(self):
        report = ("# started on Tue Dec  8 20:58:44 2026\n\n"
                  "910,,raw_syscalls:sys_enter,6913791,100.00,,\n"
                  "446,,syscalls:sys_enter_read,6913791,100.00,,\n"
                  "0,,syscalls:sys_enter_poll,6913791,100.00,,\n"
                  "452,,syscalls:sys_enter_ppoll,6913791,100.00,,\n"
                  "0,,syscalls:sys_enter_select,6913791,100.00,,\n"
                  "3,,syscalls:sys_enter_pselect6,6913791,100.00,,\n")
        self.assertEqual(measures.system_call_counts(report),
                         {"all": 910, "read": 446, "wait": 455})
        for broken in ("<not counted>,,raw_syscalls:sys_enter,0,0.00,,\n", "# nothing\n"):
            with self.subTest(broken=broken), self.assertRaises(common.BenchError):
                measures.system_call_counts(broken)

    def test_too_few_requests_is_an_error(self):
        with self.assertRaises(common.BenchError):
            timing_figures(Session([(1.0, 0.0)], [1.6, 2.6], [0, 1], [0, 1]), 150, 9600)

    def test_sync_times_from_a_trace(self):
        trace = ("fdatasync(1)                            = 0 <0.001250>\n"
                 "--- SIGINT {si_signo=SIGINT, si_code=SI_USER} ---\n"
                 "fdatasync(1)                            = 0 <0.012000>\n"
                 "fdatasync(4)                            = 0 <0.500000>\n")
        self.assertEqual(measures.sync_seconds(trace), [0.00125, 0.012])
        with self.assertRaises(common.BenchError):
            measures.sync_seconds("fdatasync(1) = -1 EIO (Input/output error) <0.000100>\n")

    def test_many_loggers_from_made_up_requests(self):
        # Requests before the watch (start-up) and after it do not count.
        first = [0.0, 1.0, 2.0, 3.001, 4.001, 5.030, 9.0]
        second = [0.5, 1.5, 2.5005, 3.5, 4.5, 5.5]
        periods = [scale.periods_in(times, 0.9, 5.6) for times in (first, second)]
        self.assertEqual([len(p) for p in periods], [4, 4])
        row = scale.fleet_figures(periods, 0.2, 0.1, 1.0, 4.0, [700, 60])
        self.assertAlmostEqual(row["latest"], 29.0, places=6)
        self.assertAlmostEqual(row["earliest"], -0.5, places=6)
        self.assertAlmostEqual(row["worst_median"], 0.5, places=6)
        self.assertAlmostEqual(row["median"], 0.0, places=6)
        self.assertAlmostEqual(row["cpu_pct"], 5.0)
        self.assertAlmostEqual(row["sim_pct"], 2.5)
        self.assertEqual((row["pss_kib"], row["pss_each_kib"]), (760, 380))
        with self.assertRaises(common.BenchError):  # a logger that stopped polling
            scale.fleet_figures([periods[0], []], 0.2, 0.1, 1.0, 4.0, [700, 60])

    def test_ratio_to_the_floor_pairs_polls_across_a_dearer_spell(self):
        # The second run meets wake-ups three times as dear: each pair keeps
        # its ratio, where the ratio of medians over both runs would not.
        cheap = ({"cpu_polls": [1.1, 1.1, 1.1]}, {"cpu_polls": [1.0, 1.0, 1.0]})
        dear = ({"cpu_polls": [3.3, 3.3, 3.3, 3.3]}, {"cpu_polls": [3.0, 3.0, 3.0, 1.0]})
        self.assertAlmostEqual(tables.floor_ratio(cheap, dear), 1.1)
        self.assertAlmostEqual(tables.floor_ratio(cheap), 1.1)

    def test_a_missed_target_is_marked_and_listed(self):
        missed = []
        table = tables.Table(missed)
        table.row("**9600 baud**: CPU; details", "1 ms", target="≤ 1.15×", met=False)
        table.row("met", "1 ms", target="≤ 2", met=True)
        table.row("no target", "1 ms")
        self.assertEqual(missed, ["9600 baud: CPU: ≤ 1.15×"])
        self.assertEqual(table.rows, ["| **9600 baud**: CPU; details | 1 ms | ≤ 1.15× **(missed)** |",
                                      "| met | 1 ms | ≤ 2 |", "| no target | 1 ms |  |"])

    def test_central_host_counts_lines_as_they_come_and_sizes_the_fleet(self):
        with tempfile.TemporaryDirectory() as temp:
            board = Path(temp) / "board-01"
            board.mkdir()
            (board / "tty0.csv").write_bytes(b"a\nb\nhalf")  # the last line being written
            # A copy being made under another name, the central host's own files.
            (board / ".tty1.csv.Xy12Ab").write_bytes(b"c\n")
            (Path(temp) / ".sessions").mkdir()
            (Path(temp) / ".sessions" / "board-01.1").write_bytes(b"4242\n")
            store = central.Store(temp)
            self.assertEqual((store.lines(), store.lines("board-01"), store.lines("board-02")),
                             (2, 2, 0))
            with open(board / "tty0.csv", "ab") as out:
                out.write(b" of c\nd\n")
            self.assertEqual(store.lines(), 4)

        def rates(before, hardened):
            return {name: [{"rate": rate, "span_s": 2.0, "cpu_pct": 50.0, "busy_pct": 100.0}
                           for rate in rates] for name, rates in (("before", before),
                                                                  ("hardened", hardened))}

        def live(*cpu):
            return [{"boards": 32, "records": 7680, "cpu_pct": pct, "median_s": 5.5,
                     "worst_s": 11.2} for pct in cpu]
        # 40% of a core for 32 boards: half of the cores is 80 boards per core.
        boards = int(central.CORES * 0.5 / (0.4 / 32))
        fleet = {"rates": {1: rates([1000, 2000, 1000], [900, 1000, 1300]),
                           32: rates([1000, 1000, 1000], [700, 900, 700])},
                 "live": {"before": live(40.0, 20.0, 40.0), "hardened": live(40.0, 40.0, 60.0),
                          "fast": live(160.0, 160.0, 160.0)},
                 "store": "ext4", "duration_s": 100, "every_s": {"before": 10, "hardened": 10},
                 "backlog": {"records": 28800, "delivered": 28800, "delivered_s": 14.4,
                             "live_records": 100,
                             "live_worst_s": 12.5, "live_limit_s": 12.0, "live_late": 1}}
        missed = []
        text = central_table.fleet_document(fleet, "Measured.", missed)
        self.assertIn("with the hardened carrier %s boards of 8 (%s instruments)"
                      % (format(boards, ","), format(boards * 8, ",")), text)
        self.assertIn("(2,000 records/s; target: within 120 s); a day away would take about 5.8 min",
                      text)
        # Ratios of the pairs, not of the medians: 0.9, 0.5, 1.3 and 0.7, 0.9, 0.7.
        self.assertIn("| 1,000 (1,000 to 2,000) | 1,000 (900 to 1,300) | 0.90× (0.50× to "
                      "1.30×) | ≥ 0.8× |", text)
        self.assertIn("| 0.70× (0.70× to 0.90×) | ≥ 0.8× **(missed)** |", text)
        self.assertIn("| 32 | 2.0 s / 2.0 s | 50% / 50% | 100% / 100% |", text)
        self.assertIn("**missed** in 2 of 3 rows", text)
        self.assertEqual(missed, [
            "fleet: Records filed per second, 32 boards at once: ≥ 0.8×",
            "fleet: Largest fleet at send's default pace (10 s), boards of 8 instruments at "
            "`-s 1`: ≥ 0.8×",
            "fleet: live records within 12 s during a backlog"])
        fleet["backlog"].update(delivered=1200, delivered_s=None)
        text = central_table.fleet_document(fleet, "Measured.", missed)
        self.assertIn("**not delivered** within 120 s of the central host's return (1,200 of "
                      "them there by then", text)
        self.assertIn("fleet: the backlog delivered within 120 s", missed)

    def test_a_stopped_bench_ends_its_hosts_and_removes_its_folders(self):
        # A host as fleet_hosts starts one: a process group of its own.
        child = textwrap.dedent("""
            import subprocess, sys, time, types
            from end_to_end import __main__ as bench, central
            bench.stop_on_signals()
            scratch = central.Scratch()
            host = subprocess.Popen(["sh", "-c", "sleep 60 & exec sleep 60"],
                                    start_new_session=True)
            scratch.hosts.append(types.SimpleNamespace(process=host))
            try:
                print(host.pid, scratch.folder(sys.argv[1], "central-"), flush=True)
                time.sleep(60)
            finally:
                central.end_all()
            """)
        with tempfile.TemporaryDirectory() as temp:
            with subprocess.Popen([sys.executable, "-c", child, temp], stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True,
                                  cwd=Path(__file__).resolve().parent) as bench:
                group, folder = bench.stdout.readline().split()
                bench.send_signal(signal.SIGTERM)
                bench.wait(timeout=10)
            self.assertFalse(Path(folder).exists())
            deadline = time.monotonic() + 5
            with self.assertRaises(ProcessLookupError):
                while time.monotonic() < deadline:  # the orphan reaped by init meanwhile
                    os.killpg(int(group), 0)
                    time.sleep(0.05)

    def test_unattended_run_against_the_console_run_from_made_up_runs(self):
        with tempfile.TemporaryDirectory() as temp:
            log = Path(temp) / "requests.log"
            log.write_text("1.500 wall:86400000.250\n10.000 490d0a\n30.000 delivered:3\n"
                           "1010.250 490d0a\n")
            self.assertEqual(unattended.request_walls_ms(log), [86400008.75, 86401009.0])
        self.assertEqual(unattended.stamp_ms(b"1970-01-02T00:00:01.500,HDR\n"), 86401500)
        runs = {"console": [{"cpu_polls": [1e6, 1e6], "periods": [1000.5, 1000.5]}],
                "unattended": [{"cpu_polls": [0.9e6, 1.3e6], "periods": [1000.5, 1001.1]}],
                "late": [0.5, 1.5, 0.75]}
        missed = []
        text = unattended.unattended_document(runs, "Measured.", missed)
        # CPU over the console run's: the median of the pairs 0.9 and 1.3.
        self.assertIn("| 1.000 ms | 1.100 ms (1.10× the console run) |", text)
        self.assertIn("| +1.00 ms | +1.60 ms |", text)
        self.assertIn("median of 2 pairs |  | +0.30 ms | within 0.25 ms **(missed)** |", text)
        self.assertIn("| no stamp | 0.75 ms / +0.50 ms / +1.50 ms |", text)
        self.assertEqual([what.split(":")[0] for what in missed],
                         ["CPU per poll (on-CPU time), median of 2 polls",
                          "The unattended run's period over the console run's, median of 2 pairs"])

    def test_first_difference(self):
        cases = [([b"a", b"b"], [b"a", b"b"], None), ([b"a", b"b"], [b"a", b"c"], 1),
                 ([b"a"], [b"a", b"b"], 1), ([], [], None)]
        for a, b, expected in cases:
            with self.subTest(a=a, b=b):
                self.assertEqual(first_difference(a, b), expected)


class ReadmeSection(unittest.TestCase):
    def rewrite(self, text, table):
        with tempfile.TemporaryDirectory() as temp:
            path = Path(temp) / "README.md"
            path.write_text(text)
            summary.write_section(path, table)
            return path.read_text()

    def test_the_table_between_the_marks_is_replaced_and_nothing_else(self):
        text = (f"# T\n\n## Performance\n\nintro\n\n{summary.BEGIN_MARK}\nold table\n"
                f"{summary.END_MARK}\n\n## After\n")
        once = self.rewrite(text, "new table")
        self.assertEqual(once, text.replace("old table", "new table"))
        self.assertEqual(self.rewrite(once, "new table"), once)

    def test_a_readme_without_the_section_gets_it_at_the_end(self):
        text = self.rewrite("# T\n\nSome text.\n", "table")
        self.assertEqual(text, f"# T\n\nSome text.\n\n## Performance\n\n"
                               f"{summary.BEGIN_MARK}\ntable\n{summary.END_MARK}\n")


if __name__ == "__main__":
    unittest.main()
