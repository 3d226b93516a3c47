import sys

from ..cli.recipe import main

if __name__ == "__main__":
    sys.exit(main())
