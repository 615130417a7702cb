"""`python -m tidewell`: the same command line as the `tidewell` script."""
import sys

from .cli import main

sys.exit(main())
