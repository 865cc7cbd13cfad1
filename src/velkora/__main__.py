"""``python -m velkora``: the ``velkora`` command."""

import sys

from .cli import main

sys.exit(main())
