# SPDX-License-Identifier: MIT
"""Runs the korvi_sci tests with pytest, or reports them skipped when pytest is missing.

CTest runs this with the environment conftest.py describes; the arguments
are passed on to pytest.
"""

import os
import sys

SKIPPED = 77  # CTest's SKIP_RETURN_CODE for this test

try:
    import pytest
except ImportError:
    print("skipped: pytest is missing for", sys.executable, "(Debian: python3-pytest)")
    sys.exit(SKIPPED)

here = os.path.dirname(os.path.abspath(__file__))
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "--rootdir", here, here] + sys.argv[1:]))
