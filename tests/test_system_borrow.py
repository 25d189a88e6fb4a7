"""quarvex_tools borrows a model as Nexus's own methods do, checks what it is given, and
shares the one worker pool of the process."""

import os
import subprocess
import sys

import numpy as np
import pytest
from helpers import UNIT_PTS, isotropic_cmat

import quarvex
from quarvex_tools import _native, system

EMPTY = np.zeros((0, 2), np.int32)


class Callback:
    """An index whose __index__ runs a callback first and records a RuntimeError from it."""

    def __init__(self, callback, value=0):
        self.callback, self.value, self.seen = callback, value, None

    def __index__(self):
        try:
            self.callback()
        except RuntimeError as exc:
            self.seen = str(exc)
        return self.value


def small_model():
    model = quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])
    model.set_dof({v: (3 * v, 3) for v in range(4)}, {})
    model.set_cmat(isotropic_cmat(1.0, 0.3))
    model.set_solver(12, [0.0])
    model.assemble()
    return model


READS = {
    "solution": system.solution,
    "load_vector": system.load_vector,
    "prescribed_values": system.prescribed_values,
    "stiffness_matrix": system.stiffness_matrix,
}
WRITES = {
    "set_solution": lambda model: system.set_solution(model, np.ones(12)),
    "set_load_vector": lambda model: system.set_load_vector(model, np.ones(12)),
    "set_dof_arrays": lambda model: system.set_dof_arrays(model, [0], [(0, 3)], EMPTY, EMPTY),
    "solve": lambda model: system.solve(model),
}


@pytest.mark.parametrize("name", sorted(READS) + sorted(WRITES))
def test_busy_model_refuses_as_nexus_methods_do(name):
    """Inside set_solver (exclusive) everything is refused; inside error (shared) reads pass, writes do not."""
    call = {**READS, **WRITES}[name]
    model = small_model()
    before = system.solution(model), system.load_vector(model)

    inside_exclusive = Callback(lambda: call(model), value=12)
    model.set_solver(inside_exclusive, [0.0])
    assert inside_exclusive.seen == ("Already mutably borrowed" if name in READS else "Already borrowed")

    arena = quarvex.Arena()
    for _ in range(3):
        arena.new_var()
    zero = arena.new_cst(0.0)
    inside_shared = Callback(lambda: call(model), value=zero)
    model.error(arena, [inside_shared, zero, zero])
    assert inside_shared.seen == (None if name in READS else "Already borrowed")
    assert np.array_equal(system.solution(model), before[0]) and np.array_equal(system.load_vector(model), before[1])
    call(model)  # free again afterwards


def test_tools_hold_the_borrow_while_converting_their_arguments():
    model = small_model()
    inner = Callback(lambda: model.set_cmat([[0.0] * 9] * 9), value=5)
    result = _native.solve(model, 1e-8, 0.0, inner, False)
    assert inner.seen == "Already borrowed" and result[0] <= 5
    reader = Callback(lambda: system.solution(model), value=5)
    _native.solve(model, 1e-8, 0.0, reader, False)
    assert reader.seen == "Already mutably borrowed"


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: system.solution([1, 2]), TypeError, "argument 'model': 'list' object cannot be converted to 'Nexus'"),
        (lambda: system.stiffness_matrix(quarvex.Arena()), TypeError, "'Arena' object cannot be converted to 'Nexus'"),
        (
            lambda: _native.solve(small_model()),
            TypeError,
            "solve() missing 4 required positional arguments: 'rtol', 'atol', 'maxiter' and 'history'",
        ),
        (lambda: _native.get_vector(small_model(), name="mat"), ValueError, "vector 'mat' is unknown"),
        (lambda: _native.get_vector(small_model(), 3), TypeError, "argument 'name': 'int' object cannot be converted"),
        (
            lambda: _native.set_vector(small_model(), "bc", np.zeros(4)),
            ValueError,
            "vector 'bc' cannot be written: expected 'sol' or 'rhs'",
        ),
        (
            lambda: _native.set_vector(small_model(), "sol", np.zeros(12, np.float32)),
            TypeError,
            "argument 'values': expected an array of float64",
        ),
        (lambda: _native.set_vector(small_model(), "sol", b"x" * 96), TypeError, "argument 'values': expected"),
        (
            lambda: _native.set_vector(small_model(), "rhs", np.zeros(11)),
            ValueError,
            "the vector has 12 entries but the array has 11",
        ),
    ],
)
def test_arguments_are_checked(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text in str(info.value)


POOL_SCRIPT = """
import os
import numpy as np
import quarvex
from quarvex_tools import system

def threads():
    return len(os.listdir("/proc/self/task"))

model = quarvex.Nexus({pts!r}, [(0, 1, 2, 3)])
before = threads()
{first_call}
after_first = threads()
model.set_solver(12, [0.0])
{second_call}
print(system.worker_count(), after_first - before, threads() - before)
"""
# The first parallel loop of the process comes from one module, the next ones from the other.
FIRST = {
    "quarvex": "model.set_dof({v: (3 * v, 3) for v in range(4)}, {})",
    "tools": "system.set_dof_arrays(model, np.arange(4), [(3 * v, 3) for v in range(4)], [], [])",
}
SECOND = {"quarvex": "model.assemble()", "tools": "system.stiffness_matrix(model); system.solve(model)"}


@pytest.mark.parametrize("first, second", [("quarvex", "tools"), ("tools", "quarvex")])
def test_one_worker_pool_whichever_module_runs_first(first, second):
    env = dict(os.environ, QUARVEX_NUM_THREADS="3", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    script = POOL_SCRIPT.format(pts=UNIT_PTS, first_call=FIRST[first], second_call=SECOND[second])
    out = subprocess.run([sys.executable, "-c", script], env=env, check=True, capture_output=True, text=True).stdout
    workers, started_by_first, started_in_all = map(int, out.split())
    assert workers == 3
    assert started_by_first == 2 and started_in_all == 2, f"threads started: {started_by_first}, {started_in_all}"
