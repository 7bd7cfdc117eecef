import sys

from tessaly.cli import main

sys.exit(main())
