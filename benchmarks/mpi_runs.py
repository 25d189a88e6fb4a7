"""A distributed benchmark's own worker run under mpirun, and the record it prints.

The scripts that time distributed solves (distributed_bench.py, distributed_solvers.py,
weak_scaling.py) run themselves under mpirun with worker arguments; rank 0 of the worker
prints one line "RESULT <json>", which the parent reads back.
"""

import json
import os
import subprocess
import sys


def mpirun(ranks: int) -> list[str]:
    """The mpirun command for `ranks` ranks on this machine (more ranks than cores allowed; as root too)."""
    command = ["mpirun", "-n", str(ranks), "--oversubscribe", "-x", "OMP_NUM_THREADS=1"]
    if os.geteuid() == 0:
        command.insert(1, "--allow-run-as-root")
    return command


def run_worker(script: str, ranks: int, *arguments: str) -> dict:
    """Runs `script` with `arguments` on `ranks` ranks and returns the record its rank 0 printed, with
    "load", the 1-minute load at the start. Each rank gets one core's share of the worker threads."""
    load = os.getloadavg()[0]
    environment = dict(os.environ, QUARVEX_NUM_THREADS=str(max(1, (os.cpu_count() or 1) // ranks)))
    done = subprocess.run(
        mpirun(ranks) + [sys.executable, "-m", "mpi4py", os.path.abspath(script), *arguments],
        capture_output=True,
        text=True,
        env=environment,
    )
    lines = [line for line in done.stdout.splitlines() if line.startswith("RESULT ")]
    if done.returncode != 0 or not lines:
        raise RuntimeError(
            f"{' '.join(arguments)} on {ranks} ranks failed:\n{done.stdout[-2000:]}\n{done.stderr[-4000:]}"
        )
    record = json.loads(lines[0][len("RESULT ") :])
    record["load"] = load
    return record
