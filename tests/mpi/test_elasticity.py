"""A serial script's `Elasticity` run unchanged under mpirun: the serial answer on every rank, files once.

Each case starts `mpirun -n P python run_elasticity.py` (no ``-m mpi4py``: the package finds
the ranks from the launcher's environment) and compares every rank's displacements, von Mises
stresses and reactions with the serial solve of the same model in this process, and reads back
the VTU file, the saved result and the picture that rank 0 alone wrote. The curved models' gmsh
mesh is made once in this process and read from its file by the serial reference and by every
rank, which must all hold the same curved elements. The failure cases make
one rank (or every rank) refuse its arguments or its model; every rank must raise and stay in
step, and an uncaught failure must end the job instead of hanging it.
"""

import json
import os
import subprocess
import sys

import elasticity_models
import numpy as np
import pytest

from quarvex_tools import Mesh, load_result

HERE = os.path.dirname(os.path.abspath(__file__))


def curved_mesh_file(name, folder):
    """The curved model's gmsh mesh, written once into folder; without gmsh the test skips (fails in CI)."""
    try:
        import gmsh  # noqa: F401
    except ImportError:
        if os.environ.get("QUARVEX_REQUIRE_MPI") == "1":
            pytest.fail("gmsh is not installed: scripts/test_mpi.sh installs it")
        pytest.skip("gmsh is not installed")
    path = folder / f"{name}.msh"
    elasticity_models.write_mesh(name, path)
    return path


@pytest.fixture(scope="module", params=["bracket", "octant", "plate_hole", "sphere"])
def reference(request, tmp_path_factory):
    """(name, the mesh file or None, the model and its {case: Result}) solved in this (serial) process."""
    name = request.param
    mesh_file = None
    if name in elasticity_models.CURVED_MESHES:
        mesh_file = curved_mesh_file(name, tmp_path_factory.mktemp("mesh"))
    model = elasticity_models.build(name, mesh_file)
    return name, mesh_file, model, elasticity_models.solve(model)


def relative(got, expected):
    return float(np.abs(got - expected).max() / np.abs(expected).max())


@pytest.mark.parametrize("ranks", [2, 3])
def test_every_rank_gets_the_serial_answer_and_rank_0_writes_the_files(mpirun, tmp_path, reference, ranks):
    name, mesh_file, model, expected = reference
    arguments = [] if mesh_file is None else [mesh_file]
    run = mpirun(ranks, "run_elasticity.py", tmp_path, name, *arguments, python_m_mpi4py=False)
    assert run.returncode == 0, run.stdout + run.stderr
    for rank in range(ranks):
        got = np.load(tmp_path / f"rank_{rank}.npz")
        assert int(got["ranks"]) == ranks
        # the same curved elements, volume and loads on the curved faces as the serial model
        assert np.array_equal(got["curved"], model.mesh.curved), f"rank {rank}: other curved elements"
        assert abs(float(got["volume"]) - model.mesh.volume()) <= 1e-12 * model.mesh.volume(), rank
        assert relative(got["nodal_loads"], model.nodal_loads) < 1e-12, rank
        for case, result in expected.items():
            for what, serial in (
                ("displacement", result.displacement),
                ("von_mises", result.field("von_mises")),
                ("reactions", result.reaction_forces),
            ):
                error = relative(got[f"{what}_{case}"], serial)
                assert error < 1e-8, f"rank {rank}, case {case}: {what} differs by {error:.2e} of its largest"
            values, inside = elasticity_models.probe(name, result)
            found = got[f"inside_{case}"]
            assert np.array_equal(found, inside) and inside.all(), f"rank {rank}: points inside {found}"
            if len(values):
                assert relative(got[f"probe_{case}"], values) < 1e-8, f"rank {rank}, case {case}: the probe differs"
            if name == "octant":  # prescribed components take their values exactly, as in serial
                base = result.model.nodes("zmin")
                assert np.array_equal(got[f"displacement_{case}"][base, 2], np.full(len(base), -0.01)), rank
            method, reason, converged = got[f"report_{case}"]
            # "auto": the package's multigrid on every rank's subdomain for a compact body on up to 2
            # ranks; GAMG on more, and for the thin plate with a hole (2 x 1 x 0.05: extents 0.025 apart)
            compact = name != "plate_hole"
            expected_method = "multigrid" if compact and ranks <= 2 else "gamg"
            assert (method, converged) == (expected_method, "True"), got[f"report_{case}"]
            assert reason.startswith("the distributed default"), reason
            assert float(got[f"relative_residual_{case}"]) <= 1e-12
    if mesh_file is not None:  # the curved geometry is there: straight-sided elements enclose another volume
        straight = Mesh(model.mesh.points, model.mesh.tetrahedra).volume()
        assert len(model.mesh.curved) > 0 and abs(model.mesh.volume() - straight) > 1e-5 * straight
    written = sorted(os.listdir(tmp_path))
    assert written == ["model.npz", "model.png", "model.vtu"] + [f"rank_{r}.npz" for r in range(ranks)], written
    default = expected["default"]
    meshio = pytest.importorskip("meshio")
    vtu = meshio.read(tmp_path / "model.vtu")
    assert relative(vtu.point_data["displacement"], default.displacement) < 1e-8
    assert relative(load_result(tmp_path / "model.npz").displacement, default.displacement) < 1e-8
    assert (tmp_path / "model.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    scales = {float(np.load(tmp_path / f"rank_{rank}.npz")["scale"]) for rank in range(ranks)}
    assert len(scales) == 1, f"the ranks return different picture scales: {scales}"


def test_ranks_whose_meshes_place_the_nodes_apart_refuse_to_solve(mpirun, tmp_path):
    """Rank 1 reads the sphere's curved mesh straight: every count agrees, yet its rows belong to another system."""
    mesh_file = curved_mesh_file("sphere", tmp_path)
    out = tmp_path / "out"
    out.mkdir()
    run = mpirun(2, "run_elasticity.py", out, "sphere_straight_on_rank_1", mesh_file, python_m_mpi4py=False)
    assert run.returncode != 0, "the ranks solved different meshes together"
    assert "ValueError: ranks disagree on the nodes' positions" in run.stderr, run.stderr
    assert os.listdir(out) == [], "files were written although the ranks refused to solve"


REFUSED = "ValueError"
# (case, the odd rank, its own exception, every other rank's exception, text on every rank)
FAILURES = [
    ("rtol", None, "ValueError", "ValueError", "ranks disagree on rtol: rank 0 passes 1e-08, rank 1 1e-06"),
    ("method", 1, "ValueError", REFUSED, "got 'bogus'"),
    ("direct", None, "ValueError", "ValueError", "method 'direct' has no distributed solve"),
    ("case", 1, "KeyError", "RuntimeError", "the model has no load case 'missing'"),
    ("unsupported", 1, "ValueError", REFUSED, "the model is not fully supported"),
    ("size", None, "ValueError", "ValueError", "ranks disagree on the number of unknowns: rank 0 passes 375"),
    ("write", 0, "FileNotFoundError", "RuntimeError", "No such file or directory"),
    ("turned", None, "ValueError", "ValueError", "the per-rank multigrid needs the nodes of the rows"),
]


@pytest.mark.parametrize("case, odd_rank, own_error, error, text", FAILURES)
def test_a_failure_on_one_rank_raises_on_every_rank(mpirun, tmp_path, case, odd_rank, own_error, error, text):
    run = mpirun(3, "run_elasticity_failures.py", tmp_path, case, python_m_mpi4py=False, timeout=90)
    assert run.returncode == 0, run.stdout + run.stderr
    outcomes = json.loads((tmp_path / "outcome.json").read_text())
    for rank, outcome in enumerate(outcomes):
        expected = own_error if rank == odd_rank or odd_rank is None else error
        assert outcome["error"] == expected and text in outcome["message"], f"rank {rank}: {outcome}"
        if odd_rank is not None and rank != odd_rank:
            assert outcome["message"].startswith(f"rank {odd_rank} failed: {own_error}: "), f"rank {rank}: {outcome}"
        assert outcome["after"], f"rank {rank} could not solve after the failure: {outcome}"
    assert not (tmp_path / "missing").exists()


def test_an_uncaught_failure_ends_the_job(mpirun, tmp_path):
    run = mpirun(2, "run_elasticity_failures.py", tmp_path, "write", "uncaught", python_m_mpi4py=False, timeout=60)
    assert run.returncode != 0, run.stdout + run.stderr
    assert "FileNotFoundError" in run.stderr, run.stderr


SERIAL_SCRIPT = """
import sys
sys.path.insert(0, {here!r})
import elasticity_models
result = elasticity_models.cube(2).solve()
assert result.report.method in ("amg", "direct"), result.report
assert "mpi4py" not in sys.modules, "a serial run imported mpi4py"
"""


@pytest.mark.parametrize("launcher", [{}, {"OMPI_COMM_WORLD_SIZE": "1"}, {"PMI_SIZE": "1"}])
def test_a_serial_run_solves_alone_without_mpi4py(launcher):
    environment = {k: v for k, v in os.environ.items() if k not in ("OMPI_COMM_WORLD_SIZE", "PMI_SIZE")}
    script = SERIAL_SCRIPT.format(here=HERE)
    run = subprocess.run(
        [sys.executable, "-c", script], env={**environment, **launcher}, capture_output=True, text=True
    )
    assert run.returncode == 0, run.stderr


def test_several_launched_processes_without_mpi4py_are_told_what_to_install():
    script = "import sys; sys.modules['mpi4py'] = None\n" + SERIAL_SCRIPT.format(here=HERE)
    run = subprocess.run(
        [sys.executable, "-c", script], env={**os.environ, "PMI_SIZE": "2"}, capture_output=True, text=True
    )
    assert run.returncode != 0
    assert "ImportError: this script runs as one of 2 MPI processes" in run.stderr, run.stderr
