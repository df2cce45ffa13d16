"""Thread rules: a Renderer stays on its thread, handles go anywhere."""

import gc
import random
import sys
import threading

import pytest

from nimbo.core import Renderer

from conftest import XOR_IR


@pytest.fixture(autouse=True)
def collect_on_the_main_thread():
    # Renderers left in reference cycles by earlier tests (tracebacks of
    # expected errors) would otherwise be collected on whichever thread runs
    # the collector next, and reported as released on a foreign thread.
    gc.collect()


def run_in_thread(target):
    thread = threading.Thread(target=target)
    thread.start()
    thread.join()


@pytest.mark.parametrize(
    "use", [str, repr, lambda renderer: renderer.component], ids=["str", "repr", "component"]
)
def test_renderer_on_a_foreign_thread_panics(use):
    renderer = Renderer(XOR_IR)
    seen = {}

    def attempt():
        try:
            try:
                use(renderer)
            except Exception:  # must not catch the fault
                seen["exception"] = True
        except BaseException as fault:
            # Keep only plain facts: the fault's traceback holds frames that
            # hold the Renderer, and must not outlive this thread's frames.
            seen["fault"] = (type(fault).__name__, isinstance(fault, Exception), fault.args)

    run_in_thread(attempt)
    assert "exception" not in seen
    name, is_exception, (message,) = seen["fault"]
    assert name == "PanicException"
    assert not is_exception
    assert "nimbo::Renderer is unsendable, but sent to another thread" in message
    # The owner thread is unaffected, and the component is still there.
    assert renderer.component.get_values()["w"] == "0101"


def test_release_on_a_foreign_thread_is_reported(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    holder = [Renderer(XOR_IR)]
    run_in_thread(holder.clear)
    assert len(reports) == 1
    assert reports[0].exc_type is RuntimeError
    assert str(reports[0].exc_value) == (
        "nimbo::Renderer is unsendable, but is being dropped on another thread"
    )


def test_handles_work_from_any_thread():
    handle = Renderer(XOR_IR).component
    results = []
    run_in_thread(lambda: results.append(handle.update_and_get({"a": "1"})))
    assert results[0]["y"] == "1"
    assert handle.get_values() == results[0]
    holder = [handle]
    del handle
    run_in_thread(holder.clear)  # a handle may also be released anywhere


def test_concurrent_updates_stay_consistent():
    shared = Renderer(XOR_IR).component
    own = [Renderer(XOR_IR).component for _ in range(4)]
    failures = []
    last_inputs = [None] * len(own)

    def worker(index):
        rng = random.Random(index)
        for _ in range(2000):
            a, b = rng.choice("01"), rng.choice("01")
            values = shared.update_and_get({"a": a, "b": b})
            if values["y"] != str(int(values["a"]) ^ int(values["b"])):
                failures.append(values)
            own[index].update_signals({"a": a, "b": b})
            last_inputs[index] = (a, b)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(own))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    for handle, (a, b) in zip(own, last_inputs):
        assert handle.get_values() == {"a": a, "b": b, "y": str(int(a) ^ int(b)), "w": "0101"}
