"""Binding of positional and keyword arguments, with the exact TypeError texts."""

import pytest

import quarvex


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda a: a.add(1), "Arena.add() missing 1 required positional argument: 'arg1'"),
        (lambda a: a.add(), "Arena.add() missing 2 required positional arguments: 'arg0' and 'arg1'"),
        (lambda a: a.add(0, 1, 2), "Arena.add() takes 2 positional arguments but 3 were given"),
        (lambda a: a.new_cst(1.0, 2.0), "Arena.new_cst() takes 1 positional arguments but 2 were given"),
        (lambda a: a.add(0, arg0=1), "Arena.add() got multiple values for argument 'arg0'"),
        (lambda a: a.add(0, 1, arg2=1), "Arena.add() got an unexpected keyword argument 'arg2'"),
        (lambda a: a.pow(0, power=2.0), "Arena.pow() got an unexpected keyword argument 'power'"),
        (lambda a: a.rev_div_f64(arg=0), "Arena.rev_div_f64() missing 1 required positional argument: 'cst'"),
        (lambda a: quarvex.Nexus(), "Nexus.__new__() missing 2 required positional arguments: 'pts' and 'tets'"),
        (lambda a: quarvex.Nexus([], [], []), "Nexus.__new__() takes 2 positional arguments but 3 were given"),
        (lambda a: quarvex.Nexus([], pts=[]), "Nexus.__new__() got multiple values for argument 'pts'"),
        (lambda a: quarvex.Nexus(tets=[]), "Nexus.__new__() missing 1 required positional argument: 'pts'"),
    ],
)
def test_binding_messages(arena, call, message):
    with pytest.raises(TypeError) as info:
        call(arena)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m.set_f(1), "Nexus.set_f() missing 3 required positional arguments: 'tets', 'arena' and 'nodes'"),
        (lambda m: m.set_dof({}, {}, {}), "Nexus.set_dof() takes 2 positional arguments but 3 were given"),
        (lambda m: m.solve(), "Nexus.solve() missing 1 required positional argument: 'tol'"),
        (lambda m: m.solve(1.0, tol=1.0), "Nexus.solve() got multiple values for argument 'tol'"),
        (lambda m: m.error(nodes=[]), "Nexus.error() missing 1 required positional argument: 'arena'"),
        (lambda m: m.set_solver(bc=[], pos=0), "Nexus.set_solver() got an unexpected keyword argument 'pos'"),
    ],
)
def test_nexus_binding_messages(model, call, message):
    with pytest.raises(TypeError) as info:
        call(model)
    assert str(info.value) == message


def test_keywords_in_any_order(arena):
    assert arena.new_cst(val=2.5) == 3
    assert arena.add(arg1=0, arg0=1) == 4
    assert arena.rev_sub_f64(arg=0, cst=1.0) == 5
    model = quarvex.Nexus(tets=[], pts=[])
    model.solve(tol=1e-8)
    model.set_solver(bc=[], pos_dof=0)


@pytest.mark.parametrize("call", [lambda a: a.new_var(1), lambda a: a.new_var(x=1)])
def test_no_argument_methods_refuse_arguments(arena, call):
    with pytest.raises(TypeError):
        call(arena)


@pytest.mark.parametrize("call", [lambda m: m.assemble(1), lambda m: m.plot_dom(1), lambda m: m.nullify(x=1)])
def test_no_argument_nexus_methods_refuse_arguments(model, call):
    with pytest.raises(TypeError):
        call(model)


def test_arena_constructor_ignores_arguments():
    arena = quarvex.Arena(1, 2, key=3)
    assert arena.new_var() == 0


def test_binding_error_comes_before_conversion(arena):
    # The argument would fail conversion, but the missing one is reported first.
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'arg1'"):
        arena.add("x")
