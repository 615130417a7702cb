"""`python -m tidewell`: the same command line as the `tidewell` script."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
