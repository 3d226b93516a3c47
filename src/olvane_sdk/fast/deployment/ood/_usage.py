"""What every ``olvane-shift`` subcommand shares: the program name, the exit
statuses and the parser that answers bad input with one line."""
from __future__ import annotations

import argparse
import sys
from typing import NoReturn

PROG = "olvane-shift"
EXIT_OK, EXIT_SHIFT, EXIT_USAGE, EXIT_UNREACHABLE = 0, 1, 2, 3


class UsageParser(argparse.ArgumentParser):
    """Bad input is one line on stderr and exit 2, for every command
    (argparse would print the whole usage first). ``fail`` prints the same
    line for what is found wrong after parsing (a missing file, a model that
    does not load) and returns the exit status."""

    def error(self, message: str) -> NoReturn:
        self.exit(self.fail(f"{message} (see --help)"))

    def fail(self, message: str) -> int:
        # Messages quoting other libraries' errors may span lines.
        sys.stderr.write(f"{self.prog}: error: {' '.join(message.split())}\n")
        return EXIT_USAGE
