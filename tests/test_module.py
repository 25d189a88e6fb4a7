"""The module surface: attributes, type objects, PanicException."""

import pytest

import quarvex


def test_module_attributes():
    assert quarvex.__all__ == ["Arena", "Nexus"]
    assert quarvex.__doc__ == ""
    public = {name for name in dir(quarvex) if not name.startswith("__")}
    assert public == {"Arena", "Nexus"}


@pytest.mark.parametrize("cls, name", [(quarvex.Arena, "Arena"), (quarvex.Nexus, "Nexus")])
def test_type_objects(cls, name):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__doc__ is None
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("method", ["new_var", "new_cst", "add", "rev_div_f64", "ln"])
def test_arena_methods_have_no_doc(method):
    assert getattr(quarvex.Arena, method).__doc__ is None


def test_instances_take_no_attributes_and_no_weakrefs():
    import weakref

    arena = quarvex.Arena()
    with pytest.raises(AttributeError):
        arena.extra = 1
    assert not hasattr(arena, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(arena)


def test_nexus_methods_are_registered():
    names = [
        "plot_dom",
        "set_cmat",
        "set_f",
        "set_dof",
        "set_solver",
        "assemble",
        "solve",
        "plot_disp",
        "error",
        "nullify",
    ]
    for name in names:
        assert callable(getattr(quarvex.Nexus, name)), name


def panic_of(call):
    try:
        call()
    except Exception as exc:  # noqa: BLE001 - an internal failure must not land here
        pytest.fail(f"internal failure caught as Exception: {exc!r}")
    except BaseException as exc:  # noqa: BLE001
        return exc
    pytest.fail("no failure raised")


def test_panic_exception_is_a_direct_base_exception():
    exc = panic_of(lambda: quarvex.Nexus([], [(0, 1, 2, 3)]))
    cls = type(exc)
    assert cls.__name__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert exc.args == ("index out of bounds: the len is 0 but the index is 0",)
    # Created once: a second failure raises the very same class.
    assert type(panic_of(lambda: quarvex.Nexus([], [(0, 1, 2, 3)]))) is cls
