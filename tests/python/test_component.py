"""Component handles: reading values, updates, argument conversion, errors."""

import collections
import types

import pytest

from nimbo.core import Component, Renderer

from conftest import XOR_IR, bus, make_ir


def test_reads_agree(xor_component):
    values = xor_component.get_values()
    assert values == xor_component.busses == {"a": "0", "b": "0", "y": "0", "w": "0101"}
    assert all(type(key) is str and type(text) is str for key, text in values.items())
    assert xor_component.get_values() is not values


@pytest.mark.parametrize(
    "value, text",
    [("", ""), ("1", "1"), ("0" * 64, "0" * 64), ("10" * 40, "10" * 40), ([True, False, 1], "100")],
)
def test_values_of_every_width(value, text):
    handle = Renderer(make_ir([bus("v", value)])).component
    assert handle.get_values() == {"v": text}


@pytest.mark.parametrize("method", ["update_signals", "update_and_get"])
@pytest.mark.parametrize(
    "inputs, expected_y", [({}, "0"), ({"a": "1"}, "1"), ({"a": "1", "b": "1"}, "0")]
)
def test_updates_settle(xor_component, method, inputs, expected_y):
    result = getattr(xor_component, method)(inputs)
    after = xor_component.get_values()
    assert after["y"] == expected_y
    assert result == (None if method == "update_signals" else after)


class Inputs(dict):
    pass


class Name(str):
    pass


def test_a_keyword_subclasses_and_unknown_busses_are_taken(xor_component):
    assert xor_component.update_signals(new_values={"a": "1", "nobody": "0101"}) is None
    assert xor_component.update_and_get(new_values={"zz": "1"})["y"] == "1"
    inputs = Inputs({Name("b"): Name("1"), "w": "1111"})
    assert xor_component.update_and_get(inputs) == {"a": "1", "b": "1", "y": "0", "w": "1111"}


@pytest.mark.parametrize(
    "inputs, message",
    [
        ({"a": "2"}, 'Invalid value "2". Valid values are: ["[01]+"]'),
        ({"w": "101"}, 'Invalid value "101". The value must have 4 bits.'),
        ({"a": "00"}, 'Invalid value "00". The value must have 1 bits.'),
        ({"a": ""}, 'Invalid value "". The value must have 1 bits.'),
        ({"w": '"0101"'}, 'Invalid value ""0101"". Valid values are: ["[01]+"]'),
    ],
)
@pytest.mark.parametrize("method", ["update_signals", "update_and_get"])
def test_update_errors_keep_the_inner_message(xor_component, method, inputs, message):
    before = xor_component.get_values()
    with pytest.raises(RuntimeError) as caught:
        getattr(xor_component, method)(inputs)
    assert caught.value.args == (message,)
    assert xor_component.get_values() == before


class OtherMapping(collections.abc.Mapping):
    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


@pytest.mark.parametrize(
    "inputs, message",
    [
        ([("a", "1")], "argument 'new_values': expected 'dict', got 'list'"),
        (None, "argument 'new_values': expected 'dict', got 'NoneType'"),
        (types.MappingProxyType({"a": "1"}), "argument 'new_values': expected 'dict', got 'mappingproxy'"),
        (OtherMapping({"a": "1"}), "argument 'new_values': expected 'dict', got 'OtherMapping'"),
        ({"a": "1", "b": 1}, "argument 'new_values': expected 'str' value for key 'b', got 'int'"),
        ({"a": "1", 2: "1"}, "argument 'new_values': expected 'str' key, got 'int'"),
        ({"a": b"1"}, "argument 'new_values': expected 'str' value for key 'a', got 'bytes'"),
    ],
)
@pytest.mark.parametrize("method", ["update_signals", "update_and_get"])
def test_wrong_types_change_nothing(xor_component, method, inputs, message):
    with pytest.raises(TypeError) as caught:
        getattr(xor_component, method)(inputs)
    assert caught.value.args == (message,)
    # The valid "a" entry before the bad one was not applied.
    assert xor_component.get_values() == {"a": "0", "b": "0", "y": "0", "w": "0101"}


@pytest.mark.parametrize("inputs", [{"\udc80": "1"}, {"a": "\udc80"}])
def test_lone_surrogates_raise_the_interpreters_error(xor_component, inputs):
    with pytest.raises(UnicodeEncodeError):
        xor_component.update_signals(inputs)


@pytest.mark.parametrize("method", ["update_signals", "update_and_get"])
@pytest.mark.parametrize(
    "args, kwargs, template",
    [
        ((), {}, "{}() missing 1 required positional argument: 'new_values'"),
        (({}, {}), {}, "{}() takes 1 positional argument but 2 were given"),
        (({},), {"new_values": {}}, "{}() got multiple values for argument 'new_values'"),
        ((), {"values": {}}, "{}() got an unexpected keyword argument 'values'"),
        ((), {"new_values": {}, "x": 1}, "{}() got an unexpected keyword argument 'x'"),
    ],
)
def test_argument_errors(xor_component, method, args, kwargs, template):
    with pytest.raises(TypeError) as caught:
        getattr(xor_component, method)(*args, **kwargs)
    assert caught.value.args == (template.format(f"Component.{method}"),)


def test_get_values_takes_no_arguments(xor_component):
    with pytest.raises(TypeError):
        xor_component.get_values({})


@pytest.mark.parametrize(
    "call",
    [
        lambda: Component.get_values(object()),
        lambda: Component.update_signals(Renderer(XOR_IR), {}),
        lambda: Component.__str__(1),
        lambda: Renderer.__repr__("x"),
    ],
)
def test_foreign_self_is_refused(call):
    with pytest.raises(TypeError):
        call()


def test_text_form_follows_the_component():
    ir = make_ir([bus("a", "1", influence=["y"]), bus("y", "0")])
    handle = Renderer(ir).component
    text = 'a: id: Some("a") IL: [1] Value: 1 [1]\ny: id: Some("y") IL: [] Value: 0 []\n'
    assert str(handle) == repr(handle)
    assert sorted(str(handle).splitlines()) == sorted(text.splitlines())


@pytest.mark.parametrize("component_id", ["top", "", "ação", "a b"])
def test_id_is_the_ir_component_id(component_id):
    assert Renderer(make_ir([bus("x")], component_id)).component.id_ == component_id


def test_many_busses_keep_one_key_each():
    busses = [bus(f"b{i}", "1" * (i % 5)) for i in range(300)] + [bus("b7", "11")]
    handle = Renderer(make_ir(busses)).component
    values = handle.get_values()
    assert len(values) == 300
    assert values["b7"] == "11"
    assert all(len(values[f"b{i}"]) == i % 5 for i in range(300) if i != 7)
    assert handle.update_and_get({"b7": "00"})["b7"] == "00"


@pytest.mark.parametrize("width", [0, 2, 64, 65, 200])
def test_repeated_reads_follow_every_change(width):
    # Reads reuse the texts of unchanged wide values; every change must show.
    handle = Renderer(make_ir([bus("w", "0" * width), bus("x", "1" * width)])).component
    ones, zeros = "1" * width, "0" * width
    assert handle.get_values() == {"w": zeros, "x": ones}
    for written in [ones, zeros, ones]:
        assert handle.update_and_get({"w": written}) == {"w": written, "x": ones}
        assert handle.get_values() == {"w": written, "x": ones}
        assert handle.busses["w"] == written
