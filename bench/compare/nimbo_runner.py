"""Runs one benchmark circuit in nimbo.core and prints its figures as JSON.

Usage: nimbo_runner.py IR.json VECTORS.json OUTPUTS.json SHOWN MIN_SECONDS MAX_SECONDS

Render time covers Renderer(ir) and taking the component. The time per
vector is what a Python caller pays for one update_signals(dict) call with
a ready-made dictionary; the vector list is replayed until MIN_SECONDS have
passed (and cut short after MAX_SECONDS). Before timing, the first SHOWN
vectors are applied with update_and_get and their outputs are printed for
comparison with the other simulators.
"""

import json
import sys
import time

from nimbo.core import Renderer


def main() -> None:
    ir_path, vectors_path, outputs_path, shown, min_s, max_s = sys.argv[1:]
    shown, min_s, max_s = int(shown), float(min_s), float(max_s)
    with open(ir_path, encoding="utf-8") as f:
        text = f.read()
    with open(vectors_path, encoding="utf-8") as f:
        vectors = json.load(f)
    with open(outputs_path, encoding="utf-8") as f:
        outputs = json.load(f)

    start = time.perf_counter()
    component = Renderer(text).component
    render_s = time.perf_counter() - start
    del text

    start = time.perf_counter()
    component.update_signals({})
    first_settle_s = time.perf_counter() - start

    seen = []
    for vector in vectors[:shown]:
        values = component.update_and_get(vector)
        seen.append("".join(values[o] for o in outputs))

    update = component.update_signals
    done = 0
    start = time.perf_counter()
    elapsed = 0.0
    while elapsed < min_s:
        for vector in vectors:
            update(vector)
            done += 1
            if done % 16 == 0 and time.perf_counter() - start > max_s:
                break
        elapsed = time.perf_counter() - start
        if elapsed > max_s:
            break
    print(json.dumps({
        "render_s": render_s,
        "first_settle_s": first_settle_s,
        "vectors": done,
        "per_vector_s": elapsed / max(done, 1),
        "shown": seen,
    }))


if __name__ == "__main__":
    main()
