"""`python -m velk`: the same command as `velk`."""
import sys

from velk.cli import main

sys.exit(main())
