"""Renderer: construction, text form, handing out the component, render errors."""

import pytest

from nimbo.core import Component, Renderer

from conftest import XOR_IR, bus, make_ir, ref


@pytest.mark.parametrize(
    "ir",
    [XOR_IR, make_ir([], component_id="çé"), make_ir([bus("€", "1")])],
    ids=["ascii", "two-byte id", "three-byte bus id"],
)
def test_text_reports_utf8_byte_length(ir):
    renderer = Renderer(ir)
    expected = f"Renderer with IR length: {len(ir.encode())}"
    assert str(renderer) == repr(renderer) == expected


class IrText(str):
    pass


@pytest.mark.parametrize(
    "build",
    [lambda ir: Renderer(ir), lambda ir: Renderer(ir=ir), lambda ir: Renderer(IrText(ir))],
    ids=["positional", "keyword", "str subclass"],
)
def test_construction_forms_agree(build):
    handle = build(XOR_IR).component
    assert handle.id_ == "xor_top"
    assert handle.get_values() == {"a": "0", "b": "0", "y": "0", "w": "0101"}


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "Renderer.__new__() missing 1 required positional argument: 'ir'"),
        ((XOR_IR, XOR_IR), {}, "Renderer.__new__() takes 1 positional argument but 2 were given"),
        ((XOR_IR,), {"ir": XOR_IR}, "Renderer.__new__() got multiple values for argument 'ir'"),
        ((), {"ir": XOR_IR, "extra": 1}, "Renderer.__new__() got an unexpected keyword argument 'extra'"),
        ((), {"text": XOR_IR}, "Renderer.__new__() got an unexpected keyword argument 'text'"),
        ((XOR_IR.encode(),), {}, "argument 'ir': expected 'str', got 'bytes'"),
        ((None,), {}, "argument 'ir': expected 'str', got 'NoneType'"),
        ((), {"ir": ["x"]}, "argument 'ir': expected 'str', got 'list'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        Renderer(*args, **kwargs)
    assert caught.value.args == (message,)


def test_lone_surrogate_raises_the_interpreters_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        Renderer(make_ir([], component_id="\ud800"))


@pytest.mark.parametrize(
    "ir, inner",
    [
        ("[]", "Missing 'component' in IR"),
        ('{"component": {"id": "c", "busses": [{"value": "1"}]}}', "Missing 'id' in bus"),
        (make_ir([bus("a", assignment={"type": "AND"})]), "Unknown expression type: AND"),
        (
            make_ir([bus("a", influence=["ghost"])]),
            "Failed to add influence: Bus 'ghost' not found",
        ),
    ],
)
def test_render_errors_keep_the_inner_message(ir, inner):
    # Each message of the render driver is checked in tests/cpp/test_render.cpp.
    with pytest.raises(RuntimeError) as caught:
        Renderer(ir)
    assert caught.value.args == ("Failed to render circuit: " + inner,)


@pytest.mark.parametrize("ir", ["", "{", "{} x", "nul"])
def test_invalid_json_is_a_render_error(ir):
    with pytest.raises(RuntimeError) as caught:
        Renderer(ir)
    (message,) = caught.value.args
    assert message.startswith("Failed to render circuit: Failed to parse IR JSON: ")


def test_component_is_handed_out_once():
    renderer = Renderer(XOR_IR)
    text = str(renderer)
    assert isinstance(renderer.component, Component)
    for _ in range(2):
        with pytest.raises(RuntimeError) as caught:
            renderer.component
        assert caught.value.args == ("Component not available or already taken",)
    assert str(renderer) == text


def test_renderers_of_one_ir_give_independent_components():
    first, second = Renderer(XOR_IR).component, Renderer(XOR_IR).component
    assert first.id_ == second.id_ == "xor_top"
    first.update_signals({"a": "1"})
    assert first.get_values()["y"] == "1"
    assert second.get_values()["y"] == "0"


def test_handle_outlives_its_renderer():
    renderer = Renderer(XOR_IR)
    handle = renderer.component
    del renderer
    assert handle.update_and_get({"b": "1"})["y"] == "1"
    assert handle.id_ == "xor_top"


def test_render_evaluates_nothing():
    # y starts at its initial value even though a xor b says otherwise.
    ir = make_ir([bus("a", "1"), bus("y", "0", ref("a"))])
    handle = Renderer(ir).component
    assert handle.get_values() == {"a": "1", "y": "0"}
    assert handle.update_and_get({}) == {"a": "1", "y": "1"}


def test_component_without_busses():
    handle = Renderer(make_ir([], component_id="empty")).component
    assert handle.get_values() == handle.busses == {}
    assert str(handle) == repr(handle) == ""
    assert handle.update_and_get({"x": "1"}) == {}
