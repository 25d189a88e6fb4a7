"""Soundness of meshes and mesh files: elements read once, foreign cells and damaged files refused, empty meshes and
bad box arguments refused with a clear message."""

import warnings

import numpy as np
import pytest

from quarvex_tools import Elasticity, Mesh, box_mesh, isotropic, read_mesh
from quarvex_tools.mesh import first_copies

meshio = pytest.importorskip("meshio")

TRIANGLE, TETRAHEDRON = 2, 4  # gmsh element types


def write_msh22(path, points, groups):
    """A MSH 2.2 ASCII file as gmsh writes it: every element once per physical group that holds it.

    groups: (name, dimension, physical tag, cells (k, 3 or 4) of point indices), in file order.
    """
    lines = ["$MeshFormat", "2.2 0 8", "$EndMeshFormat", "$PhysicalNames", str(len(groups))]
    lines += [f'{dim} {tag} "{name}"' for name, dim, tag, _ in groups]
    lines += ["$EndPhysicalNames", "$Nodes", str(len(points))]
    lines += [f"{i + 1} {x:.17g} {y:.17g} {z:.17g}" for i, (x, y, z) in enumerate(np.asarray(points, dtype=float))]
    elements = []
    for _, dim, tag, cells in groups:
        kind = TETRAHEDRON if dim == 3 else TRIANGLE
        elements += [f"{kind} 2 {tag} 1 " + " ".join(str(int(v) + 1) for v in cell) for cell in cells]
    lines += ["$EndNodes", "$Elements", str(len(elements))]
    lines += [f"{number} {text}" for number, text in enumerate(elements, start=1)]
    lines += ["$EndElements", ""]
    path.write_text("\n".join(lines))
    return path


def tip_deflection(mesh, loaded):
    model = Elasticity(mesh, isotropic(E=1e3, nu=0.3))
    model.fix(lambda p: p[:, 0] == 0.0)
    model.traction(loaded, (0.0, 0.0, -1.0))
    return model.solve(rtol=1e-10).displacement[:, 2].min()


# Elements read once ------------------------------------------------------------------


def test_msh22_element_in_two_groups_is_read_once_into_both(tmp_path):
    box = box_mesh(4, 1, 1, size=(4.0, 1.0, 1.0))
    end = box.face_groups["xmax"]
    path = write_msh22(
        tmp_path / "beam.msh",
        box.points,
        [
            ("solid", 3, 1, box.tetrahedra),
            ("steel", 3, 2, box.tetrahedra),
            ("load", 2, 3, end),
            ("end", 2, 4, end),
        ],
    )
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # copies in different groups are how the format says it: no warning
        mesh = read_mesh(path)
    assert len(mesh.tetrahedra) == len(box.tetrahedra)
    assert mesh.volume() == pytest.approx(4.0)
    for name in ("solid", "steel"):
        np.testing.assert_array_equal(mesh.element_groups[name], np.arange(len(box.tetrahedra)))
    for name in ("load", "end"):
        np.testing.assert_array_equal(np.sort(mesh.face_groups[name], axis=1), np.sort(end, axis=1))
    # Read twice, the beam would be twice as stiff: half the deflection.
    assert tip_deflection(mesh, "load") == pytest.approx(tip_deflection(box, "xmax"), rel=1e-8)


def test_element_repeated_in_the_same_group_is_read_once_with_a_warning(tmp_path):
    points = np.eye(4, 3)[[3, 0, 1, 2]]
    path = write_msh22(
        tmp_path / "tet.msh",
        points,
        [
            ("solid", 3, 1, [(0, 1, 2, 3), (0, 2, 1, 3)]),
            ("base", 2, 2, [(0, 2, 1), (0, 1, 2)]),
        ],
    )
    with pytest.warns(RuntimeWarning) as caught:
        mesh = read_mesh(path)
    texts = [str(w.message) for w in caught]
    assert any("1 tetrahedra repeat earlier ones in the same group" in t for t in texts), texts
    assert any("1 triangles repeat earlier ones in the same group" in t for t in texts), texts
    assert len(mesh.tetrahedra) == 1 and mesh.volume() == pytest.approx(1 / 6)
    assert len(mesh.face_groups["base"]) == 1


@pytest.mark.parametrize("version, binary", [("2.2", False), ("2.2", True), ("4.1", False), ("4.1", True)])
def test_gmsh_volume_and_face_in_two_physical_groups(tmp_path, version, binary):
    gmsh = pytest.importorskip("gmsh")
    path = tmp_path / "block.msh"
    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("block")
        gmsh.model.occ.addBox(0, 0, 0, 2, 1, 1)
        gmsh.model.occ.synchronize()
        gmsh.model.addPhysicalGroup(3, [1], name="solid")
        gmsh.model.addPhysicalGroup(3, [1], name="steel")
        left = [
            tag
            for dim, tag in gmsh.model.getEntities(2)
            if np.allclose(gmsh.model.occ.getCenterOfMass(dim, tag), (0, 0.5, 0.5))
        ]
        gmsh.model.addPhysicalGroup(2, left, name="left")
        gmsh.model.addPhysicalGroup(2, left, name="clamp")
        gmsh.option.setNumber("Mesh.MeshSizeMax", 0.5)
        gmsh.model.mesh.generate(3)
        gmsh.option.setNumber("Mesh.MshFileVersion", float(version))
        gmsh.option.setNumber("Mesh.Binary", int(binary))
        gmsh.write(str(path))
    finally:
        gmsh.finalize()

    mesh = read_mesh(path)
    assert mesh.volume() == pytest.approx(2.0)
    assert set(mesh.element_groups) == {"solid", "steel"} and set(mesh.face_groups) == {"left", "clamp"}
    everything = np.arange(len(mesh.tetrahedra))
    np.testing.assert_array_equal(mesh.element_groups["solid"], everything)
    np.testing.assert_array_equal(mesh.element_groups["steel"], everything)
    np.testing.assert_array_equal(mesh.face_groups["left"], mesh.face_groups["clamp"])
    assert len(mesh.face_groups["left"]) > 0 and np.allclose(mesh.points[mesh.face_groups["left"]][..., 0], 0.0)


@pytest.mark.parametrize("second", [(0, 1, 2, 3), (3, 1, 0, 2)])
def test_mesh_refuses_a_repeated_tetrahedron(second):
    points = np.vstack([np.eye(4, 3)[[3, 0, 1, 2]], [(1.0, 1.0, 1.0)]])
    with pytest.raises(
        ValueError,
        match=r"tetrahedra 2 repeat earlier .* tetrahedron 2 repeats tetrahedron 0, "
        r"\(0, 1, 2, 3\)",
    ):
        Mesh(points, [(0, 1, 2, 3), (1, 2, 3, 4), second])


def test_mesh_refuses_a_face_repeated_within_a_group():
    box = box_mesh(1, 1, 1)
    side = box.face_groups["xmax"]
    Mesh(box.points, box.tetrahedra, face_groups={"a": side, "b": side})  # one face in two groups is fine
    with pytest.raises(ValueError, match=r"face group 'load' repeats faces 2 .* face 2 repeats face 0"):
        Mesh(box.points, box.tetrahedra, face_groups={"load": np.vstack([side, side[:1, ::-1]])})


@pytest.mark.parametrize("seed", range(5))
def test_first_copies_against_a_direct_search(seed):
    rng = np.random.default_rng(seed)
    cells = rng.integers(0, 5, size=(60, 3 + seed % 2))
    expected = [next(j for j in range(i + 1) if sorted(cells[j]) == sorted(cells[i])) for i in range(len(cells))]
    np.testing.assert_array_equal(first_copies(cells), expected)


# Cells that are not tetrahedra ------------------------------------------------------------


@pytest.mark.parametrize(
    "kind, corners",
    [
        ("hexahedron", 8),
        ("wedge", 6),
        ("pyramid", 5),
        ("hexahedron20", 20),
        ("wedge18", 18),
        ("tetra20", 20),
    ],
)
def test_volume_cells_other_than_tetrahedra_are_refused(tmp_path, kind, corners):
    box = box_mesh(1, 1, 1)
    extra = np.random.default_rng(0).random((corners, 3)) + (2.0, 0.0, 0.0)
    points = np.vstack([box.points, extra])
    other = (len(box.points) + np.arange(corners))[None, :].repeat(2, axis=0)
    path = tmp_path / "mixed.msh"
    meshio.write(path, meshio.Mesh(points, [("tetra", box.tetrahedra), (kind, other)]), file_format="gmsh22")
    with pytest.raises(
        ValueError,
        match=rf"mixed.msh: the file holds volume cells other than 4- and 10-node "
        rf"tetrahedra \(2 {kind}\)",
    ):
        read_mesh(path)


# Files that cannot be read --------------------------------------------------------------

# Node 4 is a construction point; the element's elementary entity is 4 too.
GOOD_MSH = (
    b"$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n5\n1 0 0 0\n2 1 0 0\n3 0 1 0\n4 9 9 9\n5 0 0 1\n$EndNodes\n"
    b"$Elements\n1\n1 4 2 1 4 1 2 3 5\n$EndElements\n"
)
DAMAGED = [  # name, content, what the message says
    ("empty.msh", b"", "the file is empty"),
    ("noise.msh", bytes(range(256)) * 4, "it is not a valid ansys, gmsh file"),
    ("noise.vtu", bytes(range(256)) * 4, "it is not a valid vtu file"),
    ("words.msh", b"hello\n", "it is not a valid ansys, gmsh file"),
    ("bytes.msh", b"$MeshFormat\n\xff\xfe\n", "UnicodeDecodeError"),
    ("version.msh", b"$MeshFormat\n9.9 0 8\n$EndMeshFormat\n", "Need mesh format"),
    ("mesh.unknown", GOOD_MSH, "Could not deduce file format"),
    ("letter.msh", GOOD_MSH.replace(b"2 1 0 0", b"2 1 0 x"), "could not be read to its end"),
    ("node.msh", GOOD_MSH.replace(b"1 2 3 5\n", b"1 2 3 9\n"), "IndexError"),
    ("type.msh", GOOD_MSH.replace(b"1 4 2 1", b"1 99 2 1"), "KeyError: 99"),
    ("in_nodes.msh", GOOD_MSH[:60], r"the file ends inside \$Nodes \(no \$EndNodes\)"),
    # Cut inside its last line, the element would take its entity tag 4 for its first node.
    ("in_elements.msh", GOOD_MSH[:-16], r"the file ends inside \$Elements"),
    (
        "nodes.msh",
        GOOD_MSH.replace(b"$Nodes\n5\n", b"$Nodes\n100000000\n"),
        r"\$Nodes declares 100000000 nodes, more than the file's \d+ bytes can hold",
    ),
    (
        "elements.msh",
        GOOD_MSH.replace(b"$Elements\n1\n", b"$Elements\n100000000\n"),
        r"\$Elements declares 100000000 elements",
    ),
]


@pytest.mark.parametrize("name, content, reason", DAMAGED, ids=[case[0] for case in DAMAGED])
def test_damaged_files_raise_one_clear_error(tmp_path, name, content, reason):
    good = tmp_path / "good.msh"
    good.write_bytes(GOOD_MSH)
    assert len(read_mesh(good).tetrahedra) == 1  # what is refused below is the damage
    path = tmp_path / name
    path.write_bytes(content)
    with pytest.raises(ValueError, match=rf"{name}: cannot read the mesh: .*{reason}") as caught:
        read_mesh(path)
    if name in ("noise.msh", "noise.vtu", "bytes.msh", "letter.msh", "node.msh", "type.msh"):
        assert caught.value.__cause__ is not None, "the reader's own error is chained"


@pytest.mark.parametrize("binary", [False, True])
def test_msh41_declaring_more_nodes_than_it_holds_is_refused_before_reading(tmp_path, binary):
    box = box_mesh(1, 1, 1)
    path = tmp_path / "cube.msh"
    meshio.write(path, meshio.Mesh(box.points, [("tetra", box.tetrahedra)]), file_format="gmsh", binary=binary)
    assert len(read_mesh(path).tetrahedra) == 6
    data = bytearray(path.read_bytes())
    start = data.index(b"\n$Nodes\n") + len(b"\n$Nodes\n")
    if binary:  # numEntityBlocks, numNodes, minNodeTag, maxNodeTag as size_t
        data[start + 8 : start + 16] = np.uint64(10**12).tobytes()
    else:
        line_end = data.index(b"\n", start)
        blocks, _, low, high = data[start:line_end].split()
        data[start:line_end] = b" ".join([blocks, b"1000000000000", low, high])
    path.write_bytes(bytes(data))
    with pytest.raises(ValueError, match=r"cube.msh: cannot read the mesh: \$Nodes declares 1000000000000 nodes in 1 "):
        read_mesh(path)


def test_missing_file_raises_file_not_found(tmp_path):
    with pytest.raises(FileNotFoundError):
        read_mesh(tmp_path / "absent.msh")


# Empty meshes -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "points, tets, message",
    [
        (np.zeros((0, 3)), np.zeros((0, 4), dtype=int), "the mesh has no points"),
        (np.eye(4, 3), np.zeros((0, 4), dtype=int), "the mesh has no tetrahedra"),
        (np.eye(4, 3), [], "the mesh has no tetrahedra"),
    ],
)
def test_empty_meshes_are_refused(points, tets, message):
    with pytest.raises(ValueError, match=message):
        Mesh(points, tets, drop_unused=True)


# Box arguments ------------------------------------------------------------------------


@pytest.mark.parametrize("count", [np.float64(2.0), 2.0, np.int32(2), np.uint8(2)])
def test_box_accepts_integral_counts_of_any_number_type(count):
    mesh = box_mesh(count, 1, 1, size=(2.0, 1.0, 1.0))
    np.testing.assert_array_equal(mesh.tetrahedra, box_mesh(2, 1, 1, size=(2.0, 1.0, 1.0)).tetrahedra)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(nx=2.5), ValueError, r"nx must be a whole number of cells, got 2.5"),
        (dict(ny=0), ValueError, r"ny must be positive, got 0"),
        (dict(nz="2"), TypeError, r"nz must be an integer number of cells, got str"),
        (dict(nx=None), TypeError, r"nx must be an integer"),
        (dict(size=(-1.0, 1.0, 1.0)), ValueError, r"size must hold three positive lengths, got \(-1.0, 1.0, 1.0\)"),
        (dict(size=(1.0, 0.0, 1.0)), ValueError, r"size must hold three positive lengths"),
        (dict(size=(1.0, 1.0)), ValueError, r"size must be three numbers"),
        (dict(size=(1.0, float("inf"), 1.0)), ValueError, r"size must be finite"),
        (dict(origin=(0.0, float("nan"), 0.0)), ValueError, r"origin must be finite"),
        (dict(origin="corner"), TypeError, r"origin must be three numbers"),
    ],
)
def test_box_refuses_bad_arguments(kwargs, error, message):
    arguments = dict(nx=2, ny=1, nz=1) | kwargs
    with pytest.raises(error, match=message):
        box_mesh(**arguments)


@pytest.mark.parametrize(
    "groups, error, message",
    [
        ({"element_groups": {"a": [0.0, 1.0]}}, TypeError, "integer indices"),
        ({"face_groups": {"a": [[0.0, 1.0, 2.0]]}}, TypeError, "integer indices"),
        ({"element_groups": {"a": np.ones(3, dtype=bool)}}, ValueError, "must have shape"),
    ],
)
def test_groups_of_floats_or_masks_of_the_wrong_length_are_refused(groups, error, message):
    box = box_mesh(2, 1, 1)
    with pytest.raises(error, match=message):
        Mesh(box.points, box.tetrahedra, **groups)


def test_a_bool_element_group_is_a_mask():
    box = box_mesh(2, 1, 1)
    mask = np.zeros(len(box.tetrahedra), dtype=bool)
    mask[[2, 5]] = True
    mesh = Mesh(box.points, box.tetrahedra, element_groups={"a": mask})
    np.testing.assert_array_equal(mesh.element_groups["a"], [2, 5])
