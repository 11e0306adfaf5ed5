"""The figures of one run: times against the line's limit, periods, CPU and
wake-ups per poll."""
import statistics

from .common import BITS_PER_BYTE, PERIOD_S, SILENCE_S, BenchError


def median_ms(values):
    return statistics.median(values) * 1000


def period_figures(session, setting_s):
    """Median start-to-start period and its worst deviation from the setting, in ms,
    from the simulator's own stamps."""
    periods = [(b - a) / 1000 for (_, a), (_, b) in zip(session.requests, session.requests[1:])]
    worst = max((period - setting_s for period in periods), key=abs)
    return median_ms(periods), worst * 1000


def timing_figures(session, reply_bytes, baud, mode="byte"):
    """Request-to-record times against the limit the line sets, the period,
    and CPU and wake-ups per poll. The limit is the reply's wire time plus the
    500 ms of silence, or where the line hands bytes over late (a FIFO's rest,
    a USB packet), the time its last bytes were handed over plus the silence."""
    if len(session.requests) < session.wanted:
        raise BenchError(f"{session.name}: {len(session.requests)} requests logged "
                         f"for {session.wanted} records")
    # The simulator stamps requests on its own clock: map it onto ours by the
    # quickest notification of a logged request.
    offset = min(when - ms / 1000 for when, ms in session.requests)
    requested = [ms / 1000 + offset for _, ms in session.requests]
    latencies = [record - request
                 for request, record in zip(requested, session.record_times)]
    if mode == "byte":
        limits = [reply_bytes * BITS_PER_BYTE / baud + SILENCE_S] * len(latencies)
    else:
        if len(session.deliveries) < len(latencies):
            raise BenchError(f"{session.name}: {len(session.deliveries)} replies handed over "
                             f"for {len(latencies)} records")
        limits = [(ms - requested_ms) / 1000 + SILENCE_S
                  for (_, requested_ms), (ms, _) in zip(session.requests, session.deliveries)]
    overheads = [latency - limit for latency, limit in zip(latencies, limits)]
    period, period_worst = period_figures(session, PERIOD_S)
    # Record to record: one whole poll and its wait, start-up excluded. Only
    # the records wanted: programs started apart give as many polls each.
    cpu = session.cpu_at_records[:session.wanted]
    cpu_per_poll = [b - a for a, b in zip(cpu, cpu[1:])]
    woken = session.wake_ups_at_records[:session.wanted]
    wake_ups_per_poll = [b - a for a, b in zip(woken, woken[1:])]
    writes = [count for _, count in session.deliveries[:len(latencies)]]
    return {
        "latency": median_ms(latencies),
        "limit": median_ms(limits),
        "overhead": median_ms(overheads),
        "overhead_worst": max(overheads) * 1000,
        "period": period,
        "period_worst": period_worst,
        "cpu_per_poll": statistics.median(cpu_per_poll) / 1e6,
        "wake_ups": statistics.median(wake_ups_per_poll),
        "chunks": statistics.median(writes) if writes else None,
        "cpu_polls": cpu_per_poll,  # ns, for medians over several runs
        "wake_polls": wake_ups_per_poll,
        "peak_kib": session.peak_kib,
    }


def first_difference(a, b):
    for index, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return index
    return None if len(a) == len(b) else min(len(a), len(b))

