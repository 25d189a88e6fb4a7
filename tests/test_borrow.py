"""Borrow rules under re-entry from Python code run during argument conversion."""

import pytest

import quarvex

UNIT_PTS = [(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)]


class Callback:
    """An index whose __index__ runs a callback first."""

    def __init__(self, callback, value=0, swallow=False):
        self.callback, self.value, self.swallow = callback, value, swallow
        self.seen = None

    def __index__(self):
        try:
            self.callback()
        except RuntimeError as exc:
            self.seen = exc
            if not self.swallow:
                raise
        return self.value


def fresh_arena():
    arena = quarvex.Arena()
    for _ in range(3):
        arena.new_var()
    return arena


def test_reentry_into_same_arena_fails_and_propagates():
    arena = fresh_arena()
    index = Callback(arena.new_var)
    with pytest.raises(RuntimeError) as info:
        arena.add(index, 0)
    assert type(info.value) is RuntimeError
    assert str(info.value) == "Already borrowed"
    assert arena.new_var() == 3  # the flag is free again and nothing was appended


def test_reentry_swallowed_lets_outer_call_finish():
    arena = fresh_arena()
    index = Callback(arena.new_var, value=1, swallow=True)
    assert arena.add(index, 0) == 3
    assert str(index.seen) == "Already borrowed"
    assert arena.new_var() == 4


def test_arena_argument_while_that_arena_is_converting():
    arena = fresh_arena()
    model = quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])
    index = Callback(lambda: model.set_f(0, set(), arena, [0, 1, 2]), swallow=True)
    arena.neg(index)
    assert str(index.seen) == "Already mutably borrowed"


def test_shared_borrow_of_nexus_during_error():
    model = quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])
    model.set_dof({0: (0, 3), 1: (3, 3), 2: (6, 3), 3: (9, 3)}, {})
    model.set_solver(12, [0.0])
    model.set_cmat([[1.0] * 9 for _ in range(9)])
    arena = fresh_arena()
    zero = arena.new_cst(0.0)

    assembled = Callback(model.assemble, value=zero)
    model.error(arena, [assembled, zero, zero])
    assert assembled.seen is None  # a shared borrow inside a shared borrow succeeds

    exclusive = Callback(lambda: model.set_cmat([[0.0] * 9] * 9), value=zero, swallow=True)
    model.error(arena, [exclusive, zero, zero])
    assert str(exclusive.seen) == "Already borrowed"


def test_shared_borrow_refused_during_exclusive():
    model = quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])
    index = Callback(model.plot_dom, swallow=True)
    model.set_solver(index, [])
    assert str(index.seen) == "Already mutably borrowed"
    assert len(model.plot_dom()) == 6


def test_flag_released_after_internal_failure():
    model = quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])
    model.set_dof({0: (0, 3)}, {})
    with pytest.raises(BaseException) as info:
        model.set_solver(2, [])
    assert type(info.value).__name__ == "PanicException"
    model.set_solver(3, [])  # exclusive borrow available again
