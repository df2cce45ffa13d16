"""Cost of the Python boundary of nimbo.core.

Run: python bench/bench_boundary.py [--busses N] [--runs R]

1. On a circuit of N busses (default 1,000,000), the time of one
   `get_values()` next to `dict(zip(keys, values))` over prebuilt lists of
   the same N strs, measured in the same run, interleaved; median of R runs.
   get_values() should take no longer than the plain dict build.
2. The round trip of `update_signals({})` (and of `get_values()`) on a
   one-bus circuit, per call.
"""

import argparse
import gc
import json
import statistics
import time
import timeit

from nimbo.core import Renderer


def render(busses):
    ir = json.dumps({"component": {"id": "bench", "busses": busses}})
    return Renderer(ir).component


def median_seconds(action, runs):
    samples = []
    for _ in range(runs):
        start = time.perf_counter()
        result = action()
        samples.append(time.perf_counter() - start)
        del result
    return statistics.median(samples)


def compare_with_dict_build(bus_count, width, runs):
    values_text = ["01"[i % 2] * width for i in range(bus_count)]
    handle = render([{"id": f"bus_{i}", "value": values_text[i]} for i in range(bus_count)])
    keys = [f"bus_{i}" for i in range(bus_count)]
    handle.get_values()  # builds the handle's key cache once
    gc.disable()
    try:
        ours, plain = [], []
        for _ in range(runs):  # interleaved so both see the same machine state
            ours.append(median_seconds(handle.get_values, 1))
            plain.append(median_seconds(lambda: dict(zip(keys, values_text)), 1))
    finally:
        gc.enable()
    ours_s, plain_s = statistics.median(ours), statistics.median(plain)
    print(
        f"{bus_count:>9,} busses x {width:>2} bit: get_values() {ours_s * 1e3:8.2f} ms   "
        f"dict(zip(keys, values)) {plain_s * 1e3:8.2f} ms   ratio {ours_s / plain_s:5.2f}"
        f"   {'ok' if ours_s <= plain_s else 'SLOWER'}"
    )


def round_trip(runs):
    handle = render([{"id": "a", "value": "0"}])
    for label, statement in [
        ("update_signals({})", lambda: handle.update_signals({})),
        ("update_signals({'a': '1'})", lambda: handle.update_signals({"a": "1"})),
        ("get_values()", handle.get_values),
    ]:
        number = 200_000
        best = min(timeit.repeat(statement, number=number, repeat=runs))
        print(f"one-bus circuit: {label:<28} {best / number * 1e9:8.1f} ns per call")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--busses", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    compare_with_dict_build(args.busses, 1, args.runs)
    compare_with_dict_build(args.busses, 16, args.runs)
    round_trip(args.runs)


if __name__ == "__main__":
    main()
