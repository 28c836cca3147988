"""``python -m halvorn.orrery_data.light_data_cache``: the ``light-data-cache`` command."""

import sys

from .command_line import main

sys.exit(main())
