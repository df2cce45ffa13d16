"""Runs one benchmark circuit in nimbo and prints its figures as JSON.

Usage: nimbo_runner.py MODE IR.json VECTORS.json INPUTS.json OUTPUTS.json SHOWN MIN_SECONDS MAX_SECONDS

MODE is how a Python caller drives nimbo:
  update  one Component.update_signals(dict) call per vector, with a ready
          dictionary of every input (what the nimbo.core surface costs);
  bits    Simulator.run_bits over a 2-D buffer of 0/1 bytes, one row per
          vector and one column per input, the outputs' bits coming back the
          same way (the batch path; reading the rows is part of the time).
Build time covers rendering (and, for bits, a first batch that binds the
lanes). The vectors are replayed until MIN_SECONDS have passed (and cut short
after MAX_SECONDS). The outputs of the first SHOWN vectors are printed for
comparison with the other simulators.
"""

import json
import sys
import time


def timed_replay(step, total: int, min_s: float, max_s: float) -> tuple[int, float]:
    """Calls step() until min_s have passed; returns (vectors done, seconds)."""
    done = 0
    start = time.perf_counter()
    elapsed = 0.0
    while elapsed < min_s:
        done += step()
        elapsed = time.perf_counter() - start
        if elapsed > max_s or done >= total * 1000:
            break
    return done, elapsed


def run_update(text: str, vectors: list, outputs: list, shown: int, min_s: float, max_s: float) -> dict:
    from nimbo.core import Renderer

    start = time.perf_counter()
    component = Renderer(text).component
    component.update_signals({})
    build_s = time.perf_counter() - start
    seen = []
    for vector in vectors[:shown]:
        values = component.update_and_get(vector)
        seen.append("".join(values[o] for o in outputs))
    update = component.update_signals

    def step() -> int:
        for vector in vectors:
            update(vector)
        return len(vectors)

    done, seconds = timed_replay(step, len(vectors), min_s, max_s)
    return {"build_s": build_s, "vectors": done, "per_vector_s": seconds / max(done, 1), "shown": seen}


def run_bits(text: str, vectors: list, inputs: list, outputs: list, shown: int, min_s: float, max_s: float) -> dict:
    from nimbo import Simulator

    rows = bytes(1 if vector[i] == "1" else 0 for vector in vectors for i in inputs)
    grid = memoryview(rows).cast("B", (len(vectors), len(inputs)))
    start = time.perf_counter()
    simulator = Simulator(text)
    first = simulator.run_bits(inputs, grid, outputs)
    build_s = time.perf_counter() - start
    seen = ["".join(str(bit) for bit in row) for row in first.tolist()[:shown]]

    def step() -> int:
        simulator.run_bits(inputs, grid, outputs)
        return len(vectors)

    done, seconds = timed_replay(step, len(vectors), min_s, max_s)
    return {"build_s": build_s, "vectors": done, "per_vector_s": seconds / max(done, 1), "shown": seen}


def main() -> None:
    mode, ir_path, vectors_path, inputs_path, outputs_path, shown, min_s, max_s = sys.argv[1:]
    with open(ir_path, encoding="utf-8") as f:
        text = f.read()
    with open(vectors_path, encoding="utf-8") as f:
        vectors = json.load(f)
    with open(inputs_path, encoding="utf-8") as f:
        inputs = json.load(f)
    with open(outputs_path, encoding="utf-8") as f:
        outputs = json.load(f)
    if mode == "update":
        figures = run_update(text, vectors, outputs, int(shown), float(min_s), float(max_s))
    else:
        figures = run_bits(text, vectors, inputs, outputs, int(shown), float(min_s), float(max_s))
    print(json.dumps(figures))


if __name__ == "__main__":
    main()
