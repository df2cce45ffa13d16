"""Long loops in fresh interpreters: no reference leaks, released components freed,
and internal faults that poison the store."""

import pytest

from conftest import XOR_IR, run_python

pytestmark = pytest.mark.memory

RSS_HELPERS = """
import gc

def rss():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024

def growth(action, count):
    for _ in range(count // 10):
        action()
    gc.collect()
    before = rss()
    for _ in range(count):
        action()
    gc.collect()
    return rss() - before
"""

# name -> (setup, one call)
ENTRY_POINTS = {
    "Renderer": ("", "core.Renderer(IR)"),
    "Renderer.__str__": ("r = core.Renderer(IR)", "str(r)"),
    "Renderer.component": ("", "core.Renderer(IR).component"),
    "Renderer argument error": ("", "call_failing(core.Renderer, b'x')"),
    "render error": ("", "call_failing(core.Renderer, '[]')"),
    "id_": ("h = core.Renderer(IR).component", "h.id_"),
    "busses": ("h = core.Renderer(IR).component", "h.busses"),
    "get_values": ("h = core.Renderer(IR).component", "h.get_values()"),
    "update_signals": ("h = core.Renderer(IR).component", "h.update_signals({'a': '1'})"),
    "update_and_get": ("h = core.Renderer(IR).component", "h.update_and_get({'b': '1'})"),
    "update error": ("h = core.Renderer(IR).component", "call_failing(h.update_signals, {'a': '2'})"),
    "update type error": ("h = core.Renderer(IR).component", "call_failing(h.update_and_get, {'a': 1})"),
    "Component.__str__": ("h = core.Renderer(IR).component", "str(h)"),
    "taken component": ("r = core.Renderer(IR); r.component", "call_failing(lambda: r.component)"),
}
# Renders cost more than reads; they run fewer times.
CALLS = {"Renderer": 200_000, "Renderer.component": 200_000, "render error": 200_000}


@pytest.mark.parametrize("name", list(ENTRY_POINTS))
def test_entry_points_do_not_leak(name):
    setup, call = ENTRY_POINTS[name]
    count = CALLS.get(name, 1_000_000)
    out = run_python(
        RSS_HELPERS
        + f"""
import nimbo.core as core
IR = {XOR_IR!r}

def call_failing(function, *args):
    try:
        function(*args)
    except (TypeError, RuntimeError):
        pass
    else:
        raise AssertionError("no error")

{setup}
print(growth(lambda: {call}, {count}))
"""
    )
    assert int(out) < 4 * 1024 * 1024


def test_released_handles_free_their_components():
    out = run_python(
        RSS_HELPERS
        + """
import json
import nimbo.core as core
busses = [{"id": f"b{i}", "value": "0" * 100} for i in range(200)]
IR = json.dumps({"component": {"id": "c", "busses": busses}})

def cycle():
    handle = core.Renderer(IR).component
    handle.get_values()

print(growth(cycle, 10_000))
"""
    )
    # A kept component would cost about 30 kB, 300 MB for all of them.
    assert int(out) < 16 * 1024 * 1024


def test_a_fault_under_the_store_lock_poisons_the_store():
    # Limiting the address space makes the copy of a 64-Mbit value fail with
    # std::bad_alloc while the store lock is held.
    out = run_python(
        """
import json, resource
import nimbo.core as core
ir = json.dumps({"component": {"id": "big", "busses": [{"id": "w", "value": "0" * (1 << 26)}]}})
big = core.Renderer(ir).component
del ir
pending = core.Renderer(json.dumps({"component": {"id": "s", "busses": []}}))

def vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

def outcome(action):
    try:
        try:
            action()
            return "ok"
        except Exception as error:
            return "Exception " + type(error).__name__
    except BaseException as fault:
        return type(fault).__name__ + ": " + fault.args[0]

resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (4 << 20), resource.RLIM_INFINITY))
print(outcome(big.get_values))
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
for action in [big.get_values, lambda: big.update_signals({}), lambda: str(big),
               lambda: pending.component, lambda: big.id_]:
    print(outcome(action))
"""
    )
    first, *later, id_read = out.splitlines()
    assert first.startswith("PanicException: ")
    for line in later:
        assert line.startswith(
            "PanicException: called `Result::unwrap()` on an `Err` value"
        ), line
        assert "PoisonError" in line
    assert id_read == "ok"
