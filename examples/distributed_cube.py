"""Solve the unit cube on several MPI ranks through PETSc and write a PVTU for ParaView.

The cube [0, 1]^3 of N^3 cells (six quadratic tetrahedra each) is clamped at x = 0 and loaded
by its own weight. Every rank builds only its block of the cube (distributed.box_part), numbers
the nodes its elements touch, assembles them with quarvex and adds its rows into one PETSc
matrix; PETSc's conjugate gradients solve it, preconditioned by the package's multigrid on
every rank's subdomain (on up to 2 ranks, by default) or by GAMG (on more), and every rank
writes its piece of cube.pvtu.

Usage (Debian's MPI stack and Python, see README "Running on several machines with MPI"):
    mpirun -n 2 python3 -m mpi4py examples/distributed_cube.py [N] [auto|multigrid|gamg|hypre]
(as root add --allow-run-as-root; with more ranks than cores add --oversubscribe)
"""

import sys

from mpi4py import MPI

from quarvex_tools import distributed, isotropic


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 8
    method = sys.argv[2] if len(sys.argv) > 2 else "auto"
    comm = MPI.COMM_WORLD
    part = distributed.box_part(comm, n, n, n)
    numbering, solution = distributed.solve_part(
        comm,
        part,
        isotropic(E=1.0, nu=0.3),
        fixed=lambda x: x[:, 0] == 0.0,
        body_force=(0.0, 0.0, -1.0),
        method=method,
        rtol=1e-8,
    )
    distributed.write_pvtu(comm, "cube.pvtu", numbering, solution.displacement)

    deflection = comm.allreduce(solution.displacement[:, 2].min(), op=MPI.MIN)
    phases = {name: comm.allreduce(seconds, op=MPI.MAX) for name, seconds in solution.seconds.items()}
    elements = comm.gather(len(part.tetrahedra), root=0)
    if comm.rank == 0:
        print(
            f"unit cube, N = {n}, {comm.size} ranks: {3 * numbering.n_global_nodes} unknowns, "
            f"elements per rank {elements}"
        )
        print(
            f"{solution.report.method} + CG: {solution.iterations} iterations, relative residual "
            f"{solution.residual_norm / solution.rhs_norm:.1e} ({solution.report.reason})"
        )
        print(f"largest downward displacement {-deflection:.6f}; wrote cube.pvtu")
        print("seconds (slowest rank): " + ", ".join(f"{name} {value:.3f}" for name, value in phases.items()))


if __name__ == "__main__":
    main()
