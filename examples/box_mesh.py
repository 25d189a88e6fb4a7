"""Structured tetrahedral meshes of a box and a P2 numbering of their degrees of freedom.

Every cell of an nx x ny x nz grid is cut into six tetrahedra along its main diagonal;
the cut is the same in every cell, so neighbouring tetrahedra share whole faces. Each
tetrahedron lists its vertices along a path from the cell's lowest to its highest corner,
so vertex indices increase within a tetrahedron.
"""
from itertools import permutations

EDGES = [(0, 1), (1, 2), (0, 2), (0, 3), (1, 3), (2, 3)]


def box_mesh(nx, ny, nz, lx=1.0, ly=1.0, lz=1.0):
    """Points and tetrahedra of the box [0, lx] x [0, ly] x [0, lz]."""
    def index(i, j, k):
        return i + (nx + 1) * (j + (ny + 1) * k)

    pts = [
        (lx * i / nx, ly * j / ny, lz * k / nz)
        for k in range(nz + 1)
        for j in range(ny + 1)
        for i in range(nx + 1)
    ]
    steps = {0: (1, 0, 0), 1: (0, 1, 0), 2: (0, 0, 1)}
    paths = []
    for order in permutations(range(3)):
        corner = (0, 0, 0)
        path = [corner]
        for axis in order:
            corner = tuple(c + s for c, s in zip(corner, steps[axis]))
            path.append(corner)
        paths.append(path)
    tets = []
    for k in range(nz):
        for j in range(ny):
            for i in range(nx):
                for path in paths:
                    tets.append(tuple(index(i + a, j + b, k + c) for a, b, c in path))
    return pts, tets


def p2_numbering(pts, tets, prescribed=None):
    """Numbers the vertices and edges of a mesh with three consecutive numbers per node.

    `prescribed(point)` returns the displacement (ux, uy, uz) of a node whose values are
    given, or None for a free node. Returns (ver_dof, edge_dof, pos_dof, bc): the two
    dictionaries for set_dof (edges under both vertex orders), the number of free degrees
    of freedom and the prescribed values for set_solver (entry 0 unused).
    """
    free = 0
    bc = [0.0]

    def number(point):
        nonlocal free
        values = prescribed(point) if prescribed is not None else None
        if values is None:
            free += 3
            return (free - 3, 3)
        bc.extend(float(v) for v in values)
        return (-(len(bc) - 3), 3)

    ver_dof = {}
    edge_dof = {}
    for tet in tets:
        for v in tet:
            if v not in ver_dof:
                ver_dof[v] = number(pts[v])
        for a, b in EDGES:
            i, j = tet[a], tet[b]
            if (i, j) not in edge_dof:
                midpoint = tuple((p + q) * 0.5 for p, q in zip(pts[i], pts[j]))
                edge_dof[(i, j)] = edge_dof[(j, i)] = number(midpoint)
    return ver_dof, edge_dof, free, bc


def isotropic_cmat(young, poisson):
    """The 9 x 9 material matrix D[3c + j][3d + l] of an isotropic solid."""
    lam = young * poisson / ((1 + poisson) * (1 - 2 * poisson))
    mu = young / (2 * (1 + poisson))

    def delta(a, b):
        return 1.0 if a == b else 0.0

    return [
        [
            lam * delta(c, j) * delta(d, l) + mu * (delta(c, d) * delta(j, l) + delta(c, l) * delta(j, d))
            for d in range(3)
            for l in range(3)
        ]
        for c in range(3)
        for j in range(3)
    ]
