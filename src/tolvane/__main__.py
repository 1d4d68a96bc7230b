"""``python -m tolvane``: the ``tolvane`` command."""

import sys

from tolvane.cli import main

sys.exit(main())
