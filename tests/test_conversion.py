"""Argument conversion: accepted kinds, refused kinds and their exact messages."""

import pytest

import quarvex

UNIT_PTS = [(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 2.5


class BadList(list):
    pass


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda a, m: quarvex.Nexus([[0.0, 0.0, 0.0]], []),
            TypeError,
            "argument 'pts': 'list' object cannot be converted to 'PyTuple'",
        ),
        (
            lambda a, m: quarvex.Nexus([(0.0, 0.0)], []),
            ValueError,
            "Expected tuple of length 3, but got tuple of length 2.",
        ),
        (
            lambda a, m: quarvex.Nexus(UNIT_PTS, [(0, 1, 2)]),
            ValueError,
            "Expected tuple of length 4, but got tuple of length 3.",
        ),
        (
            lambda a, m: quarvex.Nexus({}, []),
            TypeError,
            "argument 'pts': 'dict' object cannot be converted to 'Sequence'",
        ),
        (
            lambda a, m: quarvex.Nexus(UNIT_PTS, {(0, 1, 2, 3)}),
            TypeError,
            "argument 'tets': 'set' object cannot be converted to 'Sequence'",
        ),
        (
            lambda a, m: quarvex.Nexus((p for p in UNIT_PTS), []),
            TypeError,
            "argument 'pts': 'generator' object cannot be converted to 'Sequence'",
        ),
        (
            lambda a, m: m.set_f(1, [(0, 1, 2, 3)], a, [3]),
            TypeError,
            "argument 'tets': 'list' object cannot be converted to 'PySet'",
        ),
        (
            lambda a, m: m.set_f(1, frozenset([(0, 1, 2, 3)]), a, [3]),
            TypeError,
            "argument 'tets': 'frozenset' object cannot be converted to 'PySet'",
        ),
        (
            lambda a, m: m.set_f(1, set(), m, [3]),
            TypeError,
            "argument 'arena': 'Nexus' object cannot be converted to 'Arena'",
        ),
        (
            lambda a, m: m.set_dof([], {}),
            TypeError,
            "argument 'ver_dof': 'list' object cannot be converted to 'PyDict'",
        ),
        (
            lambda a, m: m.set_dof({0: (1, 2, 3)}, {}),
            ValueError,
            "Expected tuple of length 2, but got tuple of length 3.",
        ),
        (
            lambda a, m: m.set_dof({}, {0: (1, 2)}),
            TypeError,
            "argument 'edge_dof': 'int' object cannot be converted to 'PyTuple'",
        ),
        (
            lambda a, m: m.set_dof({0: [1, 2]}, {}),
            TypeError,
            "argument 'ver_dof': 'list' object cannot be converted to 'PyTuple'",
        ),
        (
            lambda a, m: m.set_cmat([1.0] * 9),
            TypeError,
            "argument 'cmat': 'float' object cannot be converted to 'Sequence'",
        ),
        (
            lambda a, m: m.error(a, {1: 2}),
            TypeError,
            "argument 'nodes': 'dict' object cannot be converted to 'Sequence'",
        ),
        (lambda a, m: a.add(1.5, 0), TypeError, "argument 'arg0': 'float' object cannot be interpreted as an integer"),
        (lambda a, m: a.new_cst("x"), TypeError, "argument 'val': must be real number, not str"),
    ],
)
def test_refused_arguments(arena, model, call, error, message):
    with pytest.raises(error) as info:
        call(arena, model)
    assert type(info.value) is error
    assert str(info.value) == message


def test_nested_type_error_gets_the_prefix(arena, model):
    with pytest.raises(TypeError) as info:
        model.error(arena, "012")
    assert str(info.value).startswith("argument 'nodes': ")
    with pytest.raises(TypeError) as info:
        quarvex.Nexus([(0.0, 0.0, "z")], [])
    assert str(info.value).startswith("argument 'pts': must be real number")


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda a, m: m.set_solver(-1, []), "can't convert negative int to unsigned"),
        (lambda a, m: a.add(-1, 0), "can't convert negative int to unsigned"),
        (lambda a, m: a.add(2**64, 0), "int too big to convert"),
    ],
)
def test_interpreter_overflow_passes_unchanged(arena, model, call, error):
    with pytest.raises(OverflowError) as info:
        call(arena, model)
    assert str(info.value) == error
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("group", [2**31, -(2**31) - 1, 2**40])
def test_int32_range_is_enforced(arena, model, group):
    with pytest.raises(OverflowError):
        model.set_f(group, set(), arena, [0, 1, 2])


@pytest.mark.parametrize("group", [2**31 - 1, -(2**31), True, Index(7)])
def test_int32_limits_convert(arena, model, group):
    model.set_f(group, set(), arena, [0, 1, 2])


def test_vertex_index_overflow():
    with pytest.raises(OverflowError):
        quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 2**31)])


@pytest.mark.parametrize("bc", [range(0), (), [], "", bytearray()])
def test_empty_sequences(model, bc):
    model.set_solver(0, bc)


@pytest.mark.parametrize("val, expected_id", [(2, 3), (True, 3), (Real(), 3), (Index(4), 3), (float("nan"), 3)])
def test_float_kinds(arena, val, expected_id):
    assert arena.new_cst(val) == expected_id


def test_node_ids_accept_index_objects_and_the_64_bit_limit(arena):
    assert arena.add(Index(0), Index(2**64 - 1)) == 3
    assert arena.neg(True) == 4


def test_sequences_accept_tuples_ranges_and_subclasses():
    model = quarvex.Nexus(tuple(UNIT_PTS), BadList([(0, 1, 2, 3)]))
    assert len(model.plot_dom()) == 6


def test_points_accept_integers_and_tuple_subclasses():
    class Triple(tuple):
        pass

    quarvex.Nexus([Triple((0, 0, 1)), (1, 0, 0), (0, 1, 0), (0, 0, 0)], [(0, 1, 2, 3)])


def test_failing_iteration_passes_its_exception(model):
    class Exploding:
        def __len__(self):
            return 3

        def __getitem__(self, index):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        model.set_solver(0, Exploding())


def test_failing_len_is_ignored(model):
    class NoLen:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, index):
            if index >= 2:
                raise IndexError
            return 1.0

    model.set_solver(0, NoLen())


@pytest.mark.parametrize("mutate", [dict.clear, lambda d: d.update({7: (9, 3)})], ids=["cleared", "grown"])
def test_dict_mutated_during_conversion_is_refused(model, mutate):
    ver_dof = {}

    class Evil:
        def __index__(self):
            mutate(ver_dof)
            return 0

    ver_dof[0] = (Evil(), 3)
    ver_dof[1] = (3, 3)
    # Refused as Python's own iteration refuses it, without reading freed objects.
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        model.set_dof(ver_dof, {})
