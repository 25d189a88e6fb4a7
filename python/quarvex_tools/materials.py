"""Linear elastic materials as the core's 9 x 9 matrix D[3c + j][3d + l] = C_cjdl.

Voigt order of the 6 x 6 forms: xx, yy, zz, yz, xz, xy, with engineering shear strains
(gamma_yz = 2 eps_yz), so that C_cjdl = C_voigt[I(cj), I(dl)].

Every material is checked to store positive strain energy: its matrix is symmetric and
positive definite on symmetric strains (and never negative on other gradients). Without that
the stiffness matrix is not positive definite and conjugate gradients may report an answer
that is none.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

# Voigt index of the tensor index pair (c, j).
VOIGT = np.array([[0, 5, 4], [5, 1, 3], [4, 3, 2]])

# Asymmetry, relative to the largest entry, that rounding may leave (the core warns beyond it).
_SYMMETRY_RTOL = 1e-12
# Eigenvalues, relative to the largest, that rounding cannot tell from zero.
_DEFINITE_RTOL = 1e-13

# Strain (engineering Voigt vector) to displacement gradient: g[3c + j] = sum_I T[3c + j, I] e[I].
_STRAIN_TO_GRADIENT = np.zeros((9, 6))
for _c in range(3):
    for _j in range(3):
        _STRAIN_TO_GRADIENT[3 * _c + _j, VOIGT[_c, _j]] = 1.0 if _c == _j else 0.5


def _check_energy(matrix: np.ndarray, what: str) -> None:
    """Refuses a symmetric square `matrix` that is not positive definite, with `what` it is."""
    eigenvalues = np.linalg.eigvalsh(matrix)
    largest = float(np.abs(eigenvalues).max())
    if not eigenvalues.min() > _DEFINITE_RTOL * largest:
        raise ValueError(
            f"{what} must be positive definite (positive strain energy); its eigenvalues run from "
            f"{eigenvalues.min():.6g} to {eigenvalues.max():.6g}"
        )


def _check_symmetric(matrix: np.ndarray, what: str) -> None:
    """Refuses a `matrix` that differs from its transpose by more than rounding."""
    asymmetry = float(np.abs(matrix - matrix.T).max())
    if not asymmetry <= _SYMMETRY_RTOL * float(np.abs(matrix).max()):
        row, col = np.unravel_index(np.argmax(np.abs(matrix - matrix.T)), matrix.shape)
        raise ValueError(
            f"{what} must be symmetric: entry [{row}][{col}] = {matrix[row, col]:.6g} but "
            f"[{col}][{row}] = {matrix[col, row]:.6g}"
        )


@dataclass(frozen=True, eq=False)
class Material:
    """A linear elastic material.

    Attributes
    ----------
    matrix : (9, 9) float64
        The full stiffness tensor, D[3c + j][3d + l] = C_cjdl, as `Nexus.set_cmat` takes it.
    name : str
        A description for reports.
    """

    matrix: np.ndarray
    name: str = "material"

    def __post_init__(self) -> None:
        matrix = np.array(self.matrix, dtype=np.float64)
        if matrix.shape != (9, 9) or not np.isfinite(matrix).all():
            raise ValueError(f"the material matrix must be a finite 9 x 9 array, got shape {matrix.shape}")
        _check_symmetric(matrix, "the material matrix (D[3c + j][3d + l] = D[3d + l][3c + j])")
        symmetric = 0.5 * (matrix + matrix.T)
        # The energy of symmetric strains must be positive, that of any gradient not negative.
        _check_energy(
            _STRAIN_TO_GRADIENT.T @ symmetric @ _STRAIN_TO_GRADIENT,
            "the material matrix restricted to symmetric strains (its Voigt matrix)",
        )
        eigenvalues = np.linalg.eigvalsh(symmetric)
        if eigenvalues.min() < -_DEFINITE_RTOL * np.abs(eigenvalues).max():
            raise ValueError(
                "the material matrix gives negative energy to some displacement gradient: its eigenvalues "
                f"run from {eigenvalues.min():.6g} to {eigenvalues.max():.6g}"
            )
        matrix.setflags(write=False)
        object.__setattr__(self, "matrix", matrix)

    def stress(self, gradient: np.ndarray) -> np.ndarray:
        """Stress from displacement gradients.

        Parameters
        ----------
        gradient : (..., 3, 3) float
            du_d/dx_l at [..., d, l].

        Returns
        -------
        (..., 3, 3) float64 : sigma_cj = sum over d, l of C_cjdl du_d/dx_l
        """
        flat = np.asarray(gradient).reshape(*np.shape(gradient)[:-2], 9)
        return (flat @ self.matrix.T).reshape(np.shape(gradient))

    def voigt(self) -> np.ndarray:
        """(6, 6) float64: the Voigt matrix, read from the full tensor."""
        rows = np.array([(0, 0), (1, 1), (2, 2), (1, 2), (0, 2), (0, 1)])
        index = 3 * rows[:, 0] + rows[:, 1]
        return self.matrix[np.ix_(index, index)].copy()


def from_voigt(voigt: Any, name: str = "anisotropic") -> Material:
    """A material from its 6 x 6 Voigt stiffness matrix (order xx, yy, zz, yz, xz, xy).

    Parameters
    ----------
    voigt : (6, 6) float
        Stiffness relating (eps_xx, eps_yy, eps_zz, gamma_yz, gamma_xz, gamma_xy) to
        (sigma_xx, sigma_yy, sigma_zz, sigma_yz, sigma_xz, sigma_xy).
    name : str

    Returns
    -------
    Material

    Raises
    ------
    ValueError
        When the matrix is not 6 x 6, not finite, not symmetric or not positive definite.
    """
    voigt = np.asarray(voigt, dtype=np.float64)
    if voigt.shape != (6, 6):
        raise ValueError(f"the Voigt matrix must be 6 x 6, got {voigt.shape}")
    if not np.isfinite(voigt).all():
        raise ValueError("the Voigt matrix must be finite")
    _check_symmetric(voigt, "the Voigt stiffness matrix")
    _check_energy(0.5 * (voigt + voigt.T), "the Voigt stiffness matrix")
    index = VOIGT.ravel()  # position 3c + j -> Voigt index of (c, j)
    return Material(voigt[np.ix_(index, index)], name)


def isotropic(
    E: float | None = None,
    nu: float | None = None,
    *,
    lam: float | None = None,
    mu: float | None = None,
) -> Material:
    """An isotropic material from Young's modulus and Poisson's ratio, or the Lame parameters.

    Parameters
    ----------
    E, nu : float
        Young's modulus (> 0) and Poisson's ratio (-1 < nu < 1/2).
    lam, mu : float
        Lame parameters, instead of E and nu.

    Returns
    -------
    Material
    """
    if (E is None) != (nu is None) or (lam is None) != (mu is None) or (E is None) == (lam is None):
        raise ValueError("give either E and nu, or lam and mu")
    if E is not None:
        if not (E > 0 and -1.0 < nu < 0.5):  # type: ignore[operator]
            raise ValueError(f"need E > 0 and -1 < nu < 0.5, got E={E}, nu={nu}")
        lam = E * nu / ((1 + nu) * (1 - 2 * nu))  # type: ignore[operator]
        mu = E / (2 * (1 + nu))  # type: ignore[operator]
        name = f"isotropic E={E:g} nu={nu:g}"
    else:
        if not (mu > 0 and 3 * lam + 2 * mu > 0):  # type: ignore[operator]
            raise ValueError(f"need mu > 0 and 3 lam + 2 mu > 0, got lam={lam}, mu={mu}")
        name = f"isotropic lam={lam:g} mu={mu:g}"
    delta = np.eye(3)
    tensor = lam * np.einsum("cj,dl->cjdl", delta, delta) + mu * (
        np.einsum("cd,jl->cjdl", delta, delta) + np.einsum("cl,jd->cjdl", delta, delta)
    )
    return Material(tensor.reshape(9, 9), name)


def orthotropic(
    Ex: float,
    Ey: float,
    Ez: float,
    nu_xy: float,
    nu_yz: float,
    nu_xz: float,
    G_xy: float,
    G_yz: float,
    G_xz: float,
) -> Material:
    """An orthotropic material (axes x, y, z) from engineering constants.

    nu_ij is the contraction along j under tension along i; the compliance is symmetric,
    nu_ji = nu_ij E_j / E_i.

    Returns
    -------
    Material

    Raises
    ------
    ValueError
        When a modulus is not a positive finite number, or the constants give no positive
        definite stiffness.
    """
    moduli = {"Ex": Ex, "Ey": Ey, "Ez": Ez, "G_xy": G_xy, "G_yz": G_yz, "G_xz": G_xz}
    for name, value in moduli.items():
        if not (np.isfinite(value) and value > 0):
            raise ValueError(f"{name} must be a positive finite modulus, got {value!r}")
    for name, value in {"nu_xy": nu_xy, "nu_yz": nu_yz, "nu_xz": nu_xz}.items():
        if not np.isfinite(value):
            raise ValueError(f"{name} must be a finite Poisson's ratio, got {value!r}")
    compliance = np.zeros((6, 6))
    compliance[:3, :3] = [
        [1 / Ex, -nu_xy / Ex, -nu_xz / Ex],
        [-nu_xy / Ex, 1 / Ey, -nu_yz / Ey],
        [-nu_xz / Ex, -nu_yz / Ey, 1 / Ez],
    ]
    compliance[3, 3], compliance[4, 4], compliance[5, 5] = 1 / G_yz, 1 / G_xz, 1 / G_xy
    if not np.isfinite(compliance).all() or np.linalg.eigvalsh(compliance).min() <= 0:
        raise ValueError("these engineering constants give no positive definite stiffness")
    return from_voigt(np.linalg.inv(compliance), "orthotropic")
