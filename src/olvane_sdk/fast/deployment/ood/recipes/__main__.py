"""``python -m olvane_sdk.fast.deployment.ood.recipes``: a launcher of the
``olvane-shift recipe`` command (nothing imports it)."""
import sys

from ..cli.recipe import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m olvane_sdk.fast.deployment.ood.recipes"))
