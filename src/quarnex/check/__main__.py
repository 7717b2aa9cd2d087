"""python -m quarnex.check: the quarnex-check command."""

import sys

from quarnex.check.command import main

sys.exit(main())
