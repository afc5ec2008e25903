"""`python -m lumarq ...` is the same as the `lumarq` command."""
import sys

from lumarq.cli import main

sys.exit(main())
