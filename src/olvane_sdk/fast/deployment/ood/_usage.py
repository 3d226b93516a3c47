"""What every command line of the package shares (``olvane-shift`` and its
subcommands in :mod:`.cli`, ``python -m ...recipes``, ``python -m ...demo``):
the program name, the exit statuses (one table, which ``--help`` prints) and
the parser that answers bad input with one line. It sits at the package's
top so that the recipes and the demo use it without importing the commands."""
from __future__ import annotations

import argparse
import sys
from typing import NoReturn

PROG = "olvane-shift"
EXIT_OK, EXIT_SHIFT, EXIT_USAGE, EXIT_UNREACHABLE, EXIT_NOVEL = 0, 1, 2, 3, 4

#: ``olvane-shift report``'s exit statuses, in the order its --help lists them.
EXIT_STATUSES: tuple[tuple[int, str], ...] = (
    (EXIT_OK, "no SHIFT or NOVEL and every server read"),
    (EXIT_SHIFT, "any row says SHIFT"),
    (EXIT_NOVEL, "no SHIFT but a row says NOVEL"),
    (EXIT_UNREACHABLE, "no SHIFT or NOVEL but a server could not be read"),
    (EXIT_USAGE, "bad command-line input"),
)


def exit_status_help() -> str:
    """The exit statuses as --help states them."""
    return "Exit status: " + "; ".join(f"{code} {text}" for code, text in EXIT_STATUSES) + "."


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
