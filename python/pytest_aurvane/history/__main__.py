"""``python3 -m pytest_aurvane.history``: a package's main module, so that
the command runs the same whatever the package imported first."""

import sys

from . import main

sys.exit(main())
