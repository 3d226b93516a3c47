"""``python -m olvane_sdk.fast.deployment.ood.recipes``: the recipe command."""
import sys

from .command import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m olvane_sdk.fast.deployment.ood.recipes"))
