"""`python -m vesquor ...` runs the command line, as the `vesquor` command does."""

import sys

from vesquor.cli import main

sys.exit(main())
