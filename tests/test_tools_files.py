"""Files in and out: gmsh meshes with physical groups, VTU written and read back, the PNG picture."""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from quarvex_tools import Elasticity, box_mesh, isotropic, read_mesh

meshio = pytest.importorskip("meshio")


@pytest.fixture(scope="module")
def bent_beam():
    model = Elasticity(box_mesh(6, 2, 2, size=(3.0, 1.0, 1.0)), isotropic(E=1e3, nu=0.3))
    model.fix("xmin")
    model.traction("xmax", (0.0, 0.0, -1.0))
    return model.solve()


def test_vtu_round_trip(bent_beam, tmp_path):
    path = tmp_path / "beam.vtu"
    bent_beam.write(str(path), fields=("von_mises", "uz"))
    back = meshio.read(path)
    numbering = bent_beam.model.numbering
    np.testing.assert_allclose(back.points, numbering.node_points)
    np.testing.assert_array_equal(back.cells_dict["tetra10"], numbering.element_nodes)
    np.testing.assert_allclose(back.point_data["displacement"], bent_beam.displacement)
    np.testing.assert_allclose(back.point_data["stress"], bent_beam.nodal_stress().reshape(-1, 9))
    np.testing.assert_allclose(back.point_data["uz"], bent_beam.displacement[:, 2])
    assert back.point_data["von_mises"].max() > 0
    # Read as a mesh, the quadratic file gives back the linear one: edge nodes are dropped.
    again = read_mesh(path)
    np.testing.assert_array_equal(again.points, bent_beam.model.mesh.points)
    np.testing.assert_array_equal(again.tetrahedra, bent_beam.model.mesh.tetrahedra)


def test_picture_is_drawn_and_leaves_the_callers_backend(bent_beam, tmp_path):
    image = pytest.importorskip("matplotlib.image")
    matplotlib = pytest.importorskip("matplotlib")
    before = matplotlib.get_backend()
    matplotlib.use("svg")  # as a notebook's inline backend would be: the picture must not switch it
    try:
        path = tmp_path / "beam.png"
        scale = bent_beam.plot(str(path), field="displacement", dpi=60)
        assert matplotlib.get_backend() == "svg"
    finally:
        matplotlib.use(before)
    largest, _ = bent_beam.max_displacement
    assert 0.05 <= scale * largest / 3.0 <= 0.1, "the largest displacement is drawn at 5-10% of the length"
    pixels = image.imread(path)[..., :3]
    assert pixels.shape[0] > 250 and pixels.shape[1] > 300
    colours = np.unique((pixels * 255).astype(np.uint8).reshape(-1, 3), axis=0)
    assert len(colours) > 200, f"only {len(colours)} colours: the picture is nearly blank"
    coloured = (pixels.max(axis=2) - pixels.min(axis=2)) > 0.2  # saturated pixels: the coloured surface
    assert coloured.mean() > 0.05


def test_gmsh_file_with_physical_groups(tmp_path, capfd):
    gmsh = pytest.importorskip("gmsh")
    path = tmp_path / "block.msh"
    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("block")
        gmsh.model.occ.addBox(0, 0, 0, 2, 1, 1)
        gmsh.model.occ.synchronize()
        gmsh.model.addPhysicalGroup(3, [1], name="solid")
        left = [
            tag
            for dim, tag in gmsh.model.getEntities(2)
            if np.allclose(gmsh.model.occ.getCenterOfMass(dim, tag), (0, 0.5, 0.5))
        ]
        gmsh.model.addPhysicalGroup(2, left, name="left")
        gmsh.option.setNumber("Mesh.MeshSizeMax", 0.4)
        gmsh.model.mesh.generate(3)
        gmsh.model.mesh.setOrder(2)  # 10-node tetrahedra, read by their vertices
        gmsh.write(str(path))
    finally:
        gmsh.finalize()

    capfd.readouterr()
    mesh = read_mesh(path)
    assert capfd.readouterr().out == "", "reading a gmsh file printed to stdout"
    assert mesh.volume() == pytest.approx(2.0)
    assert set(mesh.element_groups) == {"solid"} and set(mesh.face_groups) == {"left"}
    assert np.allclose(mesh.points[mesh.face_groups["left"]][..., 0], 0.0)
    assert len(np.unique(mesh.tetrahedra)) == len(mesh.points), "edge nodes were dropped with the unused points"

    # The face group carries a load: a block pulled at x = 2 by a unit traction, held by its left face.
    model = Elasticity(mesh, isotropic(E=1.0, nu=0.0))
    model.fix("left", components="x")
    model.fix([int(np.argmin(np.linalg.norm(mesh.points - (0, 0, 0), axis=1)))])
    model.fix([int(np.argmin(np.linalg.norm(mesh.points - (0, 1, 0), axis=1)))], components="z")
    model.fix([int(np.argmin(np.linalg.norm(mesh.points - (0, 0, 1), axis=1)))], components="y")
    model.traction(lambda p: np.isclose(p[:, 0], 2.0), (1.0, 0.0, 0.0))
    result = model.solve(rtol=1e-12)
    np.testing.assert_allclose(result.displacement[:, 0], result.points[:, 0], atol=1e-8)


def test_missing_extra_is_named(monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "meshio", None)  # as if not installed: importing it raises ImportError
    with pytest.raises(ImportError, match=r'meshio is needed .* pip install "quarvex\[io\]"'):
        read_mesh(tmp_path / "anything.msh")


def test_plate_with_hole_example_meets_the_classical_factor(tmp_path):
    pytest.importorskip("gmsh")
    pytest.importorskip("matplotlib")
    example = Path(__file__).resolve().parent.parent / "examples" / "plate_with_hole.py"
    out = subprocess.run(
        [sys.executable, str(example)], cwd=tmp_path, check=True, capture_output=True, text=True
    ).stdout
    found = re.search(r"measured ([0-9.]+), Heywood 2 \+ \(1 - d/W\)\^3 = ([0-9.]+)", out)
    assert found, out
    measured, classical = map(float, found.groups())
    assert classical == pytest.approx(2.512)
    assert abs(measured / classical - 1) < 0.04, out
    assert all((tmp_path / f"plate_with_hole.{ext}").stat().st_size > 10_000 for ext in ("msh", "vtu", "png"))


def test_bracket_example_balances_its_loads_and_writes_its_files(tmp_path):
    pytest.importorskip("gmsh")
    pytest.importorskip("matplotlib")
    example = Path(__file__).resolve().parent.parent / "examples" / "bracket.py"
    out = subprocess.run(
        [sys.executable, str(example)], cwd=tmp_path, check=True, capture_output=True, text=True
    ).stdout
    found = re.search(r"clamp reaction: ([0-9.]+) N upward, against the 200 N load and the weight ([0-9.]+) N", out)
    assert found, out
    reaction, weight = map(float, found.groups())
    exact_weight = 22_000 * 7.85e-9 * 9810  # the bracket's volume is 22,000 mm³
    assert weight == pytest.approx(exact_weight, abs=0.005), out
    assert reaction == pytest.approx(200.0 + exact_weight, rel=1e-4), out
    assert "largest von Mises stress" in out and " MPa" in out
    assert all((tmp_path / f"bracket.{ext}").stat().st_size > 10_000 for ext in ("msh", "vtu", "png"))
