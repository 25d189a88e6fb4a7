"""Starting MPI runs from the tests: mpirun is looked up once, and every run is bounded in time.

A run that outlives its time limit (a rank waiting forever for the others) is ended, mpirun
and its ranks with it, and fails the test instead of hanging the suite.
"""

import os
import shutil
import signal
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


def mpi_missing():
    """Why MPI runs cannot start here, or None."""
    if shutil.which("mpirun") is None:
        return "mpirun is not installed"
    probe = subprocess.run([sys.executable, "-c", "import mpi4py, petsc4py"], capture_output=True)
    if probe.returncode != 0:
        return f"{sys.executable} cannot import mpi4py and petsc4py"
    return None


def run_bounded(command, timeout, env):
    """Runs command in a session of its own; on timeout ends the session and fails the test."""
    process = subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env, start_new_session=True
    )
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGTERM)  # mpirun passes it on to the ranks it started
        try:
            out, err = process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            out, err = process.communicate()
        pytest.fail(f"{' '.join(command)} did not end within {timeout} s (ranks waiting for each other?)\n{out}{err}")
    return subprocess.CompletedProcess(command, process.returncode, out, err)


@pytest.fixture(scope="session")
def mpirun():
    """run(ranks, script, *arguments, timeout=120, python_m_mpi4py=True): the finished mpirun of `script` in
    tests/mpi, started as ``python -m mpi4py script`` or, with python_m_mpi4py=False, as a plain script."""
    reason = mpi_missing()
    if reason is not None:
        if os.environ.get("QUARVEX_REQUIRE_MPI") == "1":
            pytest.fail(reason)
        pytest.skip(reason)
    launcher = ["mpirun", "--oversubscribe"]
    if os.geteuid() == 0:
        launcher.append("--allow-run-as-root")
    environment = dict(os.environ, OMP_NUM_THREADS="1", QUARVEX_NUM_THREADS="1")

    def run(ranks, script, *arguments, timeout=120, python_m_mpi4py=True):
        interpreter = [sys.executable, "-m", "mpi4py"] if python_m_mpi4py else [sys.executable]
        command = launcher + ["-n", str(ranks), *interpreter, os.path.join(HERE, script)]
        return run_bounded(command + [str(argument) for argument in arguments], timeout, environment)

    return run
