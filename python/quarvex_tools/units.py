"""Units of a model, and numbers written in engineering notation with them.

The solver works in whatever consistent units the model was given (metres and newtons, or
millimetres and newtons, ...); it never converts. `Units` only records them, so that pictures,
files and reports can say what a number means: a stress follows from the force over a length
squared (N and mm give MPa), an energy from the force times a length (N and mm give mJ).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

# SI prefixes by power of ten, for engineering notation (powers that are multiples of three).
_PREFIXES = {-15: "f", -12: "p", -9: "n", -6: "µ", -3: "m", 0: "", 3: "k", 6: "M", 9: "G", 12: "T", 15: "P"}
_PREFIX_POWERS = {prefix: power for power, prefix in _PREFIXES.items() if prefix} | {"u": -6, "c": -2}
# Units whose prefixed forms are read and written: the SI ones a structural model uses.
_SI_BASES = ("Pa", "N", "m", "J", "W")


def split_prefix(unit: str) -> tuple[int, str] | None:
    """The power of ten of a unit's SI prefix and its base unit: "MPa" -> (6, "Pa"), "mm" -> (-3, "m").

    Returns None for a unit that is not a (prefixed) SI unit of `_SI_BASES` ("psi", "N/mm²").
    """
    if unit in _SI_BASES:
        return 0, unit
    if len(unit) > 1 and unit[0] in _PREFIX_POWERS and unit[1:] in _SI_BASES:
        return _PREFIX_POWERS[unit[0]], unit[1:]
    return None


def format_quantity(value: float, unit: str = "", digits: int = 3) -> str:
    """A number in engineering notation with its unit: 7e5, "Pa" -> "700 kPa"; 1.5e-3, "m" -> "1.5 mm".

    A (prefixed) SI unit gets the prefix that brings the number between 1 and 1000; another
    unit keeps its name, and a number beyond 0.001 to 10,000 a power of ten that is a multiple
    of three ("700e3 psi", "0.275 in").
    Without a unit the number is written with `digits` significant digits.

    Parameters
    ----------
    value : float
    unit : str
        The unit the value is expressed in ("Pa", "MPa", "mm", "psi", or "" for none).
    digits : int
        Significant digits.

    Returns
    -------
    str
    """
    value = float(value)
    if not math.isfinite(value):
        return f"{value} {unit}".rstrip()
    if not unit:
        return f"{value:.{digits}g}"
    split = split_prefix(unit)
    if value == 0.0:
        return f"0 {unit}"
    if split is None and 1e-3 <= abs(value) < 1e4:
        return f"{value:.{digits}g} {unit}"
    power, base = split if split is not None else (0, unit)
    exponent = math.floor(math.log10(abs(value)) + power)
    engineering = 3 * math.floor(exponent / 3)
    scaled = value * 10.0 ** (power - engineering)
    if round(abs(scaled), max(digits - 1 - math.floor(math.log10(abs(scaled))), 0)) >= 1000.0:
        engineering += 3  # 999.95 kPa rounds to 1 MPa, not "1e+03 kPa"
        scaled /= 1000.0
    text = f"{scaled:.{digits}g}"
    if split is not None and engineering in _PREFIXES:
        return f"{text} {_PREFIXES[engineering]}{base}"
    if split is not None:  # beyond the prefixes: the base unit with a power of ten
        return f"{text}e{engineering} {base}"
    return f"{text}e{engineering} {unit}" if engineering else f"{text} {unit}"


def prefixed_scale(largest: float, unit: str) -> tuple[float, str]:
    """The factor and unit in which numbers up to `largest` read between 1 and 1000: 7e5, "Pa" -> (1e-3, "kPa").

    For a colour bar or an axis: its ticks are multiplied by the factor and labelled in the unit.
    A unit that takes no SI prefix keeps the factor 1.
    """
    split = split_prefix(unit)
    largest = abs(float(largest))
    if split is None or largest == 0.0 or not math.isfinite(largest):
        return 1.0, unit
    power, base = split
    engineering = 3 * math.floor((math.log10(largest) + power) / 3)
    engineering = min(max(engineering, min(_PREFIXES)), max(_PREFIXES))
    return 10.0 ** (power - engineering), f"{_PREFIXES[engineering]}{base}"


def _derived(force: str, length: str, length_power: int, base: str, fallback: str) -> str:
    """A unit of force times length**length_power in a prefixed `base` where it is one, else `fallback`."""
    force_split, length_split = split_prefix(force), split_prefix(length)
    if force_split is None or length_split is None or force_split[1] != "N" or length_split[1] != "m":
        return fallback
    power = force_split[0] + length_power * length_split[0]
    return f"{_PREFIXES[power]}{base}" if power in _PREFIXES else fallback


@dataclass(frozen=True)
class Units:
    """The units a model's numbers are given in, for labels, pictures and files.

    Parameters
    ----------
    length : str
        The unit of coordinates and displacements ("m", "mm", "in"); "" for none.
    force : str
        The unit of forces ("N", "kN", "lbf"); "" for none.
    stress : str, optional
        The unit of stresses and pressures; by default force / length² ("Pa" for N and m,
        "MPa" for N and mm, "N/in²" for other pairs).
    energy : str, optional
        The unit of energies; by default force times length ("J" for N and m, "mJ" for N and mm).

    Examples
    --------
    >>> Units(length="mm", force="N").stress
    'MPa'
    """

    length: str = ""
    force: str = ""
    stress: str = ""
    energy: str = ""

    def __post_init__(self) -> None:
        for name in ("length", "force", "stress", "energy"):
            if not isinstance(getattr(self, name), str):
                raise TypeError(f"units: {name} must be a string such as 'mm', got {getattr(self, name)!r}")
        if not self.stress and self.force and self.length:
            object.__setattr__(
                self, "stress", _derived(self.force, self.length, -2, "Pa", f"{self.force}/{self.length}²")
            )
        if not self.energy and self.force and self.length:
            object.__setattr__(self, "energy", _derived(self.force, self.length, 1, "J", f"{self.force}·{self.length}"))

    @classmethod
    def si(cls) -> Units:
        """Metres and newtons (stresses in Pa, energies in J)."""
        return cls(length="m", force="N")

    def of_field(self, name: str) -> str:
        """The unit of a node field of `Result.field` by its name ("" when it has none or is unknown).

        Displacements ("ux", "displacement_magnitude", ...) take the length, stresses ("von_mises",
        "stress_xx", "tresca", principal stresses, ...) the stress unit, energies the energy unit;
        strains and other ratios have none.
        """
        lowered = name.lower()
        if "strain" in lowered and "energy" not in lowered:
            return ""
        if "energy" in lowered:
            return self.energy
        if lowered in ("ux", "uy", "uz") or lowered.startswith("displacement"):
            return self.length
        if any(word in lowered for word in ("stress", "von_mises", "tresca", "principal", "sigma", "pressure")):
            return self.stress
        return ""

    def as_dict(self) -> dict[str, str]:
        """The four units by name (for files)."""
        return {"length": self.length, "force": self.force, "stress": self.stress, "energy": self.energy}

    def __bool__(self) -> bool:
        return any(self.as_dict().values())


def as_units(given: Any) -> Units:
    """`Units` from None (no units), a `Units`, or a mapping of its fields.

    Raises
    ------
    TypeError
        For anything else, or a field that is not a string.
    """
    if given is None:
        return Units()
    if isinstance(given, Units):
        return given
    if isinstance(given, dict):
        unknown = set(given) - {"length", "force", "stress", "energy"}
        if unknown:
            raise TypeError(f"units: unknown names {sorted(unknown)}; give length, force, stress or energy")
        return Units(**given)
    raise TypeError(f"units must be a Units (e.g. Units(length='mm', force='N')), got {type(given).__name__}")


def units_of(result_or_model: Any, given: Any = None) -> Units:
    """The units to show for a result or model: `given` if any, else the model's `units` attribute, else none."""
    if given is not None:
        return as_units(given)
    model = getattr(result_or_model, "model", result_or_model)
    return as_units(getattr(model, "units", None))
