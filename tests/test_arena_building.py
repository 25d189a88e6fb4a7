"""Node ids returned by every Arena building method."""

import math

import pytest

import quarvex


@pytest.fixture
def arena():
    a = quarvex.Arena()
    assert [a.new_var(), a.new_var(), a.new_var()] == [0, 1, 2]
    return a


@pytest.mark.parametrize(
    "build",
    [
        lambda a: a.new_var(),
        lambda a: a.new_cst(2.0),
        lambda a: a.inv(0),
        lambda a: a.add(0, 1),
        lambda a: a.sub(0, 1),
        lambda a: a.mul(0, 1),
        lambda a: a.div(0, 1),
        lambda a: a.pow(0, 3.9),
        lambda a: a.add_f64(0, 1.0),
        lambda a: a.sub_f64(0, 1.0),
        lambda a: a.mul_f64(0, 2.0),
        lambda a: a.div_f64(0, 0.0),
        lambda a: a.rev_add_f64(1.0, 0),
        lambda a: a.rev_sub_f64(1.0, 0),
        lambda a: a.rev_mul_f64(2.0, 0),
        lambda a: a.neg(0),
        lambda a: a.sin(0),
        lambda a: a.cos(0),
        lambda a: a.exp(0),
        lambda a: a.ln(0),
    ],
)
def test_single_node_methods_return_the_next_id(arena, build):
    assert build(arena) == 3
    assert arena.new_var() == 4


def test_rev_div_f64_adds_two_nodes(arena):
    arena.new_cst(2.0)
    assert arena.rev_div_f64(1.0, 0) == 5
    assert arena.new_var() == 6


def test_operands_are_not_checked_when_building(arena):
    assert arena.add(0, 99) == 3
    assert arena.sin(2**64 - 1) == 4


def test_failed_conversion_appends_nothing(arena):
    with pytest.raises(OverflowError):
        arena.add(-1, 0)
    with pytest.raises(TypeError, match="argument 'arg0'"):
        arena.add(1.5, 0)
    with pytest.raises(TypeError, match="argument 'cst'"):
        arena.mul_f64(0, "two")
    assert arena.new_var() == 3


@pytest.mark.parametrize("value", [math.inf, -0.0, math.nan, 1e308])
def test_constants_of_any_float(arena, value):
    assert arena.new_cst(value) == 3
