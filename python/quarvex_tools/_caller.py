"""Where a warning of the package points: at the user's line, however deep in the package it was raised."""

from __future__ import annotations

import os
import sys
from types import FrameType

_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def user_stacklevel() -> int:
    """The `stacklevel` for ``warnings.warn`` called by the caller of this function that names the
    first frame outside the package (the same line whether the user called a solver directly or
    through `Elasticity.solve`).

    Returns
    -------
    int
        At least 2.
    """
    frame: FrameType | None = sys._getframe(1)  # the function about to warn
    level = 1
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(_PACKAGE):
        frame = frame.f_back
        level += 1
    return level
