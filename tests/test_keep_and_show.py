"""Results kept and shown: save and load, VTU units, XDMF and pyvista, engineering notation, reprs, pictures."""

import json
import sys
import zipfile

import numpy as np
import pytest

from quarvex_tools import Elasticity, Mesh, box_mesh, isotropic, storage
from quarvex_tools.output import read_unit_labels, write_vtu
from quarvex_tools.plotting import _colour_scale, plot_result, surface_triangles
from quarvex_tools.units import Units, as_units, format_quantity

meshio = pytest.importorskip("meshio")


def _solved(units=None, groups=False):
    mesh = box_mesh(4, 2, 2, size=(3.0, 1.0, 1.0))
    if groups:  # element groups and an empty face group travel too
        half = np.flatnonzero(mesh.points[mesh.tetrahedra].mean(axis=1)[:, 0] < 1.5)
        mesh = Mesh(
            mesh.points,
            mesh.tetrahedra,
            {"left": half, "right": np.setdiff1d(np.arange(96), half)},
            {**mesh.face_groups, "nothing": np.zeros((0, 3), dtype=np.int64)},
        )
    model = Elasticity(mesh, isotropic(E=1e3, nu=0.3))
    if units is not None:
        model.units = units
    model.fix("xmin")
    model.fix("ymin", components="y", value=(0.0, 1e-3, 0.0))
    model.traction("xmax", (0.0, 0.0, -1.0))
    model.body_force((0.0, 0.0, -0.5))
    return model.solve(rtol=1e-10)


@pytest.fixture(scope="module")
def result():
    return _solved(Units(length="mm", force="N"))


# Save and load -----------------------------------------------------------------------------
@pytest.mark.parametrize(
    "stresses, units, groups",
    [
        (False, None, False),
        (True, Units(length="mm", force="N"), True),
        (False, Units.si(), True),
    ],
)
def test_a_loaded_result_gives_back_the_same_arrays_and_fields(tmp_path, stresses, units, groups):
    saved = _solved(units, groups)
    path = tmp_path / "kept.result"  # the name is kept as given: no ".npz" added
    storage.save_result(saved, path, stresses=stresses)
    assert path.exists() and not list(tmp_path.glob(".*part*"))
    loaded = storage.load_result(path)
    model, back = saved.model, loaded.model
    for left, right in [
        (saved.displacement, loaded.displacement),
        (saved.reaction_forces, loaded.reaction_forces),
        (model.mesh.points, back.mesh.points),
        (model.mesh.tetrahedra, back.mesh.tetrahedra),
        (model.numbering.element_nodes, back.numbering.element_nodes),
        (model.numbering.node_points, back.numbering.node_points),
        (model.material.matrix, back.material.matrix),
        (model.fixed, back.fixed),
        (model.nodal_loads, back.nodal_loads),
    ]:
        np.testing.assert_array_equal(left, right)
    assert list(back.mesh.element_groups) == list(model.mesh.element_groups)
    assert list(back.mesh.face_groups) == list(model.mesh.face_groups)
    for name, members in model.mesh.face_groups.items():
        np.testing.assert_array_equal(back.mesh.face_groups[name], members)
    for name in ("von_mises", "uz", "stress_xy", "displacement"):
        np.testing.assert_array_equal(loaded.field(name), saved.field(name))
    np.testing.assert_array_equal(loaded.reactions("xmin").force, saved.reactions("xmin").force)
    assert loaded.report.iterations == saved.report.iterations and loaded.report.converged
    assert loaded.nexus is None
    assert storage.units_of(loaded) == storage.units_of(saved)
    assert model.material.name == back.material.name


def test_a_loaded_result_writes_and_draws(result, tmp_path):
    pytest.importorskip("matplotlib")
    storage.save_result(result, tmp_path / "r.npz")
    loaded = storage.load_result(tmp_path / "r.npz")
    loaded.write(str(tmp_path / "r.vtu"))
    assert read_unit_labels(tmp_path / "r.vtu")["von_mises"] == "MPa"
    assert loaded.plot(str(tmp_path / "r.png"), dpi=40) == pytest.approx(result.plot(str(tmp_path / "s.png"), dpi=40))


def _rewrite(path, change):
    """Rewrites a result file with `change(arrays)` applied (arrays: dict of name to array)."""
    with np.load(path, allow_pickle=False) as archive:
        arrays = {key: archive[key] for key in archive.files}
    change(arrays)
    with open(path, "wb") as file:
        np.savez(file, **arrays)


def _with_description(**changes):
    def change(arrays):
        description = json.loads(str(arrays["description"]))
        description.update(changes)
        arrays["description"] = np.array(json.dumps(description))

    return change


def _flip_bytes(path):
    data = bytearray(path.read_bytes())
    middle = len(data) // 2
    data[middle : middle + 64] = bytes(b ^ 0x5A for b in data[middle : middle + 64])
    path.write_bytes(bytes(data))


@pytest.mark.parametrize(
    "damage, message",
    [
        (
            lambda p: _rewrite(p, _with_description(version=2)),
            "format version 2; this quarvex_tools .* reads version 1",
        ),
        (lambda p: _rewrite(p, _with_description(format="something else")), "not a quarvex_tools result file"),
        (lambda p: _rewrite(p, lambda a: a.pop("displacement")), "the array 'displacement' is missing"),
        (
            lambda p: _rewrite(p, lambda a: a.update(displacement=a["displacement"][:-1])),
            "'displacement' is float64 of shape",
        ),
        (
            lambda p: _rewrite(p, lambda a: a.update(tetrahedra=a["tetrahedra"].astype(float))),
            "'tetrahedra' is float64",
        ),
        (lambda p: _rewrite(p, lambda a: a.update(description=np.array("{not json"))), "description is damaged"),
        (
            lambda p: _rewrite(p, lambda a: a.update(numbering_node_rank=a["numbering_node_rank"][::-1].copy() * 0)),
            "cannot read the result",
        ),
        (_flip_bytes, "cannot read the result"),
        (lambda p: p.write_bytes(p.read_bytes()[: len(p.read_bytes()) // 2]), "cannot read the result"),
        (lambda p: p.write_text("points,tetrahedra\n0,1\n"), "cannot read the result"),
    ],
)
def test_a_damaged_or_foreign_file_is_refused_by_name(result, tmp_path, damage, message):
    path = tmp_path / "r.npz"
    storage.save_result(result, path)
    damage(path)
    with pytest.raises(ValueError, match=message) as caught:
        storage.load_result(path)
    assert str(path) in str(caught.value)


def test_a_file_holding_pickled_objects_is_refused_without_running_them(result, tmp_path):
    path = tmp_path / "r.npz"
    storage.save_result(result, path)
    ran = []

    class Payload:
        def __reduce__(self):
            return (ran.append, ("ran",))

    _rewrite(path, lambda a: a.update(displacement=np.array([Payload()], dtype=object)))
    with pytest.raises(ValueError, match="cannot read the result"):
        storage.load_result(path)
    assert not ran


def test_a_missing_file_raises_file_not_found(tmp_path):
    with pytest.raises(FileNotFoundError):
        storage.load_result(tmp_path / "none.npz")


@pytest.mark.parametrize("writer", ["save", "vtu"])
def test_a_failed_write_leaves_the_earlier_file_whole(result, tmp_path, monkeypatch, writer):
    path = tmp_path / ("r.npz" if writer == "save" else "r.vtu")
    write = (lambda: storage.save_result(result, path)) if writer == "save" else (lambda: result.write(str(path)))
    write()
    before = path.read_bytes()

    def fail_part_way(file, *args, **kwargs):
        (file if hasattr(file, "write") else open(file, "wb")).write(b"half a file")
        raise OSError("No space left on device")

    if writer == "save":
        monkeypatch.setattr(np, "savez", fail_part_way)
    else:
        monkeypatch.setattr(meshio.Mesh, "write", lambda self, name, **kw: fail_part_way(name))
    with pytest.raises(OSError, match="No space left"):
        write()
    assert path.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == [path.name], "a temporary file was left behind"


# Files for ParaView and pyvista ----------------------------------------------------------------
@pytest.mark.parametrize(
    "units, expected",
    [
        (
            Units(length="mm", force="N"),
            {"displacement": "mm", "stress": "MPa", "von_mises": "MPa", "uz": "mm", "displacement_magnitude": "mm"},
        ),
        (
            Units.si(),
            {"displacement": "m", "stress": "Pa", "von_mises": "Pa", "uz": "m", "displacement_magnitude": "m"},
        ),
        (None, {}),
    ],
)
def test_vtu_arrays_carry_their_units(tmp_path, units, expected):
    solved = _solved(units)
    path = tmp_path / "u.vtu"
    solved.write(str(path), fields=("von_mises", "uz", "displacement"))
    assert read_unit_labels(path) == expected
    back = meshio.read(path)  # readers that know nothing of units still read every array
    np.testing.assert_allclose(back.point_data["displacement"], solved.displacement)
    np.testing.assert_allclose(back.point_data["von_mises"], solved.field("von_mises"))


def test_pyvista_reads_the_vtu_and_its_units(result, tmp_path):
    pyvista = pytest.importorskip("pyvista")
    from vtkmodules.vtkCommonCore import vtkDataArray

    write_vtu(result, tmp_path / "u.vtu")
    grid = pyvista.read(tmp_path / "u.vtu")
    assert grid.volume == pytest.approx(3.0)
    assert grid.GetPointData().GetArray("stress").GetInformation().Get(vtkDataArray.UNITS_LABEL()) == "MPa"
    from quarvex_tools.output import to_pyvista

    direct = to_pyvista(result)
    assert direct.volume == pytest.approx(3.0)
    np.testing.assert_allclose(direct.point_data["displacement"], result.displacement)
    assert "von_mises: MPa" in list(direct.field_data["units"])


def test_to_pyvista_without_pyvista_names_the_extra(result, monkeypatch):
    from quarvex_tools.output import to_pyvista

    monkeypatch.setitem(sys.modules, "pyvista", None)
    with pytest.raises(ImportError, match=r'pip install "quarvex\[pyvista\]"'):
        to_pyvista(result)


def test_xdmf_round_trip(result, tmp_path):
    pytest.importorskip("h5py")
    result.write(str(tmp_path / "u.xdmf"), fields=("von_mises",))
    back = meshio.read(tmp_path / "u.xdmf")
    np.testing.assert_array_equal(back.cells_dict["tetra10"], result.model.numbering.element_nodes)
    np.testing.assert_allclose(back.point_data["displacement"], result.displacement)


@pytest.mark.parametrize("name", ["u.vtu.zip", "u.stl", "u"])
def test_other_formats_are_refused_before_writing(result, tmp_path, name):
    with pytest.raises(ValueError, match=r"written as \.vtu or \.vtk .* or \.xdmf"):
        result.write(str(tmp_path / name))
    assert not list(tmp_path.iterdir())


# Units and engineering notation -----------------------------------------------------------
@pytest.mark.parametrize(
    "value, unit, text",
    [
        (0.0, "Pa", "0 Pa"),
        (7e5, "Pa", "700 kPa"),
        (1.5e-3, "m", "1.5 mm"),
        (-2.5e7, "Pa", "-25 MPa"),
        (-1.5e-3, "m", "-1.5 mm"),
        (999.96e3, "Pa", "1 MPa"),  # rounds up into the next prefix
        (0.0489, "mm", "48.9 µm"),
        (1500.0, "MPa", "1.5 GPa"),
        (200.0, "N", "200 N"),
        (3.2e-20, "m", "32e-21 m"),  # below the prefixes
        (7e5, "psi", "700e3 psi"),
        (0.275, "in", "0.275 in"),
        (7e5, "", "7e+05"),
        (float("inf"), "Pa", "inf Pa"),
    ],
)
def test_engineering_notation(value, unit, text):
    assert format_quantity(value, unit) == text


@pytest.mark.parametrize(
    "length, force, stress, energy",
    [
        ("m", "N", "Pa", "J"),
        ("mm", "N", "MPa", "mJ"),
        ("m", "kN", "kPa", "kJ"),
        ("mm", "kN", "GPa", "J"),
        ("in", "lbf", "lbf/in²", "lbf·in"),
        ("cm", "N", "N/cm²", "N·cm"),
    ],
)
def test_derived_units(length, force, stress, energy):
    units = Units(length=length, force=force)
    assert (units.stress, units.energy) == (stress, energy)
    assert [units.of_field(name) for name in ("ux", "displacement", "von_mises", "stress_xy", "strain_xx")] == [
        length,
        length,
        stress,
        stress,
        "",
    ]


@pytest.mark.parametrize(
    "low, high, unit, factor, shown",
    [
        (0.0, 7e5, "Pa", 1e-3, "kPa"),
        (-3e8, 1e8, "Pa", 1e-6, "MPa"),
        (0.0, 317.0, "MPa", 1.0, "MPa"),
        (0.0, 7e5, "psi", 1e-3, "×10$^{3}$ psi"),
        (0.0, 0.5, "", 1.0, ""),
    ],
)
def test_colour_bar_scale(low, high, unit, factor, shown):
    got_factor, got_shown = _colour_scale(low, high, unit)
    assert got_factor == pytest.approx(factor) and got_shown == shown


@pytest.mark.parametrize(
    "make",
    [
        lambda: as_units("mm"),
        lambda: as_units({"length": "mm", "weight": "kg"}),
        lambda: Units(length=3),
    ],
)
def test_units_refuse_what_they_cannot_read(make):
    with pytest.raises(TypeError, match="units"):
        make()


# Reprs ---------------------------------------------------------------------------------------
@pytest.mark.parametrize("stage", ["new", "supported", "solved"])
def test_reprs_describe_a_model_at_any_stage(stage):
    model = Elasticity(box_mesh(2, 1, 1), isotropic(E=1.0, nu=0.25))
    if stage != "new":
        model.fix("xmin")
        model.traction("xmax", (2.0, 0.0, 0.0))
    if stage == "solved":
        result = model.solve()
        rows = dict(storage.result_summary(result))
        assert "converged" in rows["solve"] and "<table>" in storage.result_repr_html(result)
        np.testing.assert_allclose(result.reaction_forces.sum(axis=0), [-2.0, 0.0, 0.0], atol=1e-8)
    text = storage.model_repr(model)
    html = storage.model_repr_html(model)
    assert "isotropic" in text and "isotropic" in html
    assert ("not assembled" in text) == (stage != "solved")
    assert "<table>" in model.mesh._repr_html_() and "xmin (2 faces)" in model.mesh._repr_html_()


def test_html_escapes_names():
    mesh = Mesh(box_mesh(1, 1, 1).points, box_mesh(1, 1, 1).tetrahedra, {"<b>": [0]})
    assert "&lt;b&gt;" in mesh._repr_html_() and "<b>" not in mesh._repr_html_().replace("<b>Mesh</b>", "")


def test_version_is_the_distributions():
    from importlib import metadata

    assert storage.package_version() == metadata.version("quarvex")


# Pictures ------------------------------------------------------------------------------------
@pytest.mark.parametrize(
    "box, area",
    [
        (None, 6.0),
        (((0.0, 0.0, 0.0), (0.5, 1.0, 1.0)), 3.0),  # cut through a layer of elements: x = 0.5 is no mesh plane
        (((0.2, 0.1, -1.0), (0.7, 2.0, 2.0)), 0.5 + 2 * 0.45),  # the sides y = 1, z = 0 and z = 1; y = 0 cut away
        (((-np.inf, -np.inf, -np.inf), (0.5, np.inf, np.inf)), 3.0),  # open on five sides
    ],
)
def test_a_box_cuts_the_surface_along_its_planes(box, area):
    cube = Elasticity(box_mesh(3, 3, 3), isotropic(E=1.0, nu=0.25))
    cube.fix("xmin")
    solved = cube.solve()
    corners, values = surface_triangles(solved, solved.field("ux"), 0.0, box)
    drawn = 0.5 * np.linalg.norm(np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0]), axis=1).sum()
    assert drawn == pytest.approx(area), "the part drawn must end on the box's planes"
    if box is not None:
        low, high = np.clip(np.asarray(box), 0.0, 1.0)
        assert (corners.reshape(-1, 3) >= low - 1e-12).all() and (corners.reshape(-1, 3) <= high + 1e-12).all()
    assert values.shape == corners.shape[:2]


def _drawn_texts(result, monkeypatch, **options):
    """The texts of the figure `plot_result` draws (titles, colour bar label), without looking at pixels."""
    figure_module = pytest.importorskip("matplotlib.figure")
    texts = []
    original = figure_module.Figure.savefig

    def keep_texts(figure, *args, **kwargs):
        texts.extend(text.get_text() for text in figure.findobj(lambda artist: hasattr(artist, "get_text")))
        return original(figure, *args, **kwargs)

    monkeypatch.setattr(figure_module.Figure, "savefig", keep_texts)
    return texts


@pytest.mark.parametrize(
    "options, expected",
    [
        ({}, ["max |u| = ", " µm)", "von Mises stress [MPa]"]),
        ({"unit": "Pa"}, ["von Mises stress [Pa]"]),  # the caller's unit for the colour bar wins
        ({"units": Units.si(), "field": "uz"}, ["displacement z [mm]", "max |u| = 179 mm)"]),
        ({"undeformed": True}, ["undeformed", "on the undeformed and deformed shape"]),
    ],
)
def test_pictures_label_their_numbers_with_units(result, tmp_path, monkeypatch, options, expected):
    matplotlib = pytest.importorskip("matplotlib")
    texts = _drawn_texts(result, monkeypatch)
    before = matplotlib.get_backend()
    matplotlib.use("svg")  # as a notebook's inline backend would be: the picture must not switch it
    try:
        plot_result(result, str(tmp_path / "p.png"), dpi=40, **options)
        assert matplotlib.get_backend() == "svg"
    finally:
        matplotlib.use(before)
    joined = "\n".join(texts)
    for piece in expected:
        assert piece in joined, joined


def test_pictures_without_units_show_plain_numbers(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    plain = _solved()
    texts = _drawn_texts(plain, monkeypatch)
    plot_result(plain, str(tmp_path / "p.png"), dpi=40)
    largest, _ = plain.max_displacement
    joined = "\n".join(texts)
    assert f"max |u| = {largest:.3g})" in joined and "von Mises stress" in texts, joined


@pytest.mark.parametrize(
    "box, message",
    [
        (((10.0, 10.0, 10.0), (11.0, 11.0, 11.0)), "no boundary face lies in the box"),
        (((0.0, 0.0, 0.0), (1.0, 1.0, 1.0), (2.0, 2.0, 2.0)), "box must be two points"),
        (((0.0, 0.0), (1.0, 1.0)), "box must be two points"),
        (((0.0, 0.0, float("nan")), (1.0, 1.0, 1.0)), "box must be two points"),
    ],
)
def test_a_box_that_selects_nothing_is_refused(result, tmp_path, box, message):
    pytest.importorskip("matplotlib")
    with pytest.raises(ValueError, match=message):
        plot_result(result, str(tmp_path / "p.png"), box=box)
    assert not (tmp_path / "p.png").exists()


def test_saved_files_are_plain_arrays(result, tmp_path):
    storage.save_result(result, tmp_path / "r.npz", stresses=True)
    with zipfile.ZipFile(tmp_path / "r.npz") as archive:
        names = set(archive.namelist())
    assert {"description.npy", "displacement.npy", "nodal_stress.npy", "points.npy"} <= names
    with np.load(tmp_path / "r.npz", allow_pickle=False) as archive:
        assert all(archive[key].dtype != object for key in archive.files)
