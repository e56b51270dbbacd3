"""``python -m quillmark``: the ``quillmark`` command."""

import sys

from .cli import main

sys.exit(main())
