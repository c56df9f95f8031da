"""python -m korvex: the command line, korvex.cli (python -m korvex --help lists its options)."""

import sys

from korvex.cli import main
from korvex.cli.options import parser  # noqa: F401  (the options, for those who read them from here)

if __name__ == "__main__":
    sys.exit(main())
