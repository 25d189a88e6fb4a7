"""Random Python objects given to every method: only the documented exceptions come out,
the borrow flag is free afterwards, and a refused argument changes nothing.

The number of examples is bounded for the default run; set HYPOTHESIS_PROFILE=long for a
longer local search.
"""

import os

import pytest
from helpers import UNIT_PTS, isotropic_cmat
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quarvex

settings.register_profile(
    "default",
    max_examples=60,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)
settings.register_profile(
    "long",
    max_examples=3000,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


class UserError(Exception):
    """Raised by the test's own __index__ / __float__ objects."""


class Index:
    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def __index__(self):
        if self.action is not None:
            self.action()
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class Real:
    def __init__(self, value, fail):
        self.value, self.fail = value, fail

    def __float__(self):
        if self.fail:
            raise UserError("float refused")
        return self.value


def fail():
    raise UserError("index refused")


LIMITS = [0, 1, -1, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**63, 2**64 - 1, 2**64, -(2**64)]
INTEGERS = st.one_of(st.sampled_from(LIMITS), st.integers(-50, 50))
SCALARS = st.one_of(
    st.none(),
    st.booleans(),
    INTEGERS,
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=3),
    st.builds(Index, INTEGERS),
    st.builds(Index, INTEGERS, st.just(fail)),
    st.builds(Real, st.floats(allow_nan=True), st.booleans()),
)
HASHABLE = st.one_of(INTEGERS, st.tuples(INTEGERS, INTEGERS), st.tuples(INTEGERS, INTEGERS, INTEGERS, INTEGERS))
OBJECTS = st.recursive(
    SCALARS,
    lambda children: st.one_of(
        st.lists(children, max_size=5),
        st.lists(children, max_size=5).map(tuple),
        st.sets(HASHABLE, max_size=4),
        st.frozensets(HASHABLE, max_size=3),
        st.dictionaries(HASHABLE, children, max_size=4),
        st.lists(children, max_size=4).map(lambda xs: range(len(xs))),
    ),
    max_leaves=12,
)

CONVERSION_ERRORS = (TypeError, ValueError, OverflowError, UserError)


def is_panic(exc):
    return type(exc).__name__ == "PanicException" and type(exc).__bases__ == (BaseException,)


def call_and_classify(call):
    """'ok', 'conversion' or 'panic'; anything else fails the test."""
    try:
        call()
    except CONVERSION_ERRORS:
        return "conversion"
    except RuntimeError as exc:
        assert str(exc) in ("Already borrowed", "Already mutably borrowed"), repr(exc)
        return "conversion"
    except BaseException as exc:  # noqa: BLE001
        assert is_panic(exc), f"unexpected {type(exc).__name__}: {exc}"
        return "panic"
    return "ok"


ARENA_METHODS = {
    "new_cst": 1,
    "inv": 1,
    "add": 2,
    "sub": 2,
    "mul": 2,
    "div": 2,
    "pow": 2,
    "add_f64": 2,
    "sub_f64": 2,
    "mul_f64": 2,
    "div_f64": 2,
    "rev_add_f64": 2,
    "rev_sub_f64": 2,
    "rev_mul_f64": 2,
    "rev_div_f64": 2,
    "neg": 1,
    "sin": 1,
    "cos": 1,
    "exp": 1,
    "ln": 1,
}


@given(name=st.sampled_from(sorted(ARENA_METHODS)), args=st.lists(OBJECTS, min_size=0, max_size=3))
def test_arena_methods_fuzz(name, args):
    arena = quarvex.Arena()
    for _ in range(3):
        arena.new_var()
    outcome = call_and_classify(lambda: getattr(arena, name)(*args))
    assert outcome != "panic", "building a node never fails internally"
    count = arena.new_var()  # the flag is free
    expected = 3 + (0 if outcome != "ok" else 2 if name == "rev_div_f64" else 1)
    assert count == expected, "a refused call appends nothing"


def reference_model():
    model = quarvex.Nexus(UNIT_PTS + [(1.0, 1.0, 1.0)], [(0, 1, 2, 3), (1, 2, 3, 4)])
    model.set_dof({0: (-1, 3), 1: (0, 3), 2: (3, 3), 3: (-4, 3), 4: (6, 3)}, {})
    model.set_cmat(isotropic_cmat(1.0, 0.3))
    arena = quarvex.Arena()
    for _ in range(3):
        arena.new_var()
    model.set_f(0, set(), arena, [arena.new_cst(0.1), arena.new_cst(0.2), arena.new_cst(-1.0)])
    model.set_solver(9, [0.0, 0.0, 0.0, 0.0, 0.01, 0.0, 0.0])
    return model


def analysis(model):
    model.nullify()
    model.assemble()
    model.solve(1e-12)
    return sorted(model.plot_disp().items())


def same_analysis(result, reference):
    """Equal keys and points; assembly order may change the last bits between runs."""
    if [key for key, _ in result] != [key for key, _ in reference]:
        return False
    return all(
        abs(a - b) <= 1e-10 * (1.0 + abs(b))
        for (_, points), (_, expected) in zip(result, reference, strict=False)
        for point, expected_point in zip(points, expected, strict=False)
        for a, b in zip(point, expected_point, strict=False)
    )


REFERENCE = analysis(reference_model())

NEXUS_METHODS = {"set_cmat": 1, "set_f": 4, "set_dof": 2, "set_solver": 2, "solve": 1, "error": 2}


@given(
    name=st.sampled_from(sorted(NEXUS_METHODS)), args=st.lists(OBJECTS, min_size=0, max_size=4), use_arena=st.booleans()
)
def test_nexus_methods_fuzz(name, args, use_arena):
    model = reference_model()
    if use_arena and args:
        arena = quarvex.Arena()
        arena.new_var()
        args[min(2, len(args) - 1)] = arena
    outcome = call_and_classify(lambda: getattr(model, name)(*args))
    model.nullify()  # the exclusive borrow is free again
    if outcome == "conversion":
        assert same_analysis(analysis(model), REFERENCE), "a refused argument must change nothing"
    else:
        call_and_classify(lambda: analysis(model))  # whatever it holds now, it never crashes


@given(pts=OBJECTS, tets=OBJECTS)
def test_constructor_fuzz(pts, tets):
    assert call_and_classify(lambda: quarvex.Nexus(pts, tets)) in ("ok", "conversion", "panic")


@pytest.mark.parametrize("name", sorted(NEXUS_METHODS))
def test_reentry_during_conversion_leaves_the_flag_free(name):
    model = reference_model()
    calls = []

    def reenter():
        for other in (model.nullify, model.plot_dom, model.assemble):
            calls.append(call_and_classify(other))

    args = [Index(0, reenter)] * NEXUS_METHODS[name]
    call_and_classify(lambda: getattr(model, name)(*args))
    model.nullify()
    if calls:
        assert "panic" not in calls
