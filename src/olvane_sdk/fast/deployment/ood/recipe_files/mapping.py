"""Which recipe serves which model: the value of ``OLVANE_SHIFT_RECIPES``
read into served model name -> recipe directory, and the check that a named
recipe can be loaded at all."""
from __future__ import annotations

import json
from pathlib import Path

from .layout import CONFIG_FILE

ENV_RECIPES = "OLVANE_SHIFT_RECIPES"


class ConfigError(ValueError):
    """A bad OLVANE_SHIFT_* value."""


def parse_recipes(value: str) -> dict[str, str]:
    """``OLVANE_SHIFT_RECIPES``: a JSON object ``{"served-model": "/path"}``,
    ``name=path,name=path``, or a directory whose subdirectories are recipes
    named by served model. A named recipe whose directory or configuration
    file is missing is not an error here: the collector reports that recipe
    as failed and collects the others."""
    value = value.strip()
    if not value:
        raise ConfigError(f"{ENV_RECIPES} is empty")
    if value.startswith("{"):
        try:
            recipes = json.loads(value)
        except json.JSONDecodeError as e:
            raise ConfigError(f"{ENV_RECIPES} is not valid JSON: {e}") from None
        if not isinstance(recipes, dict) or not all(isinstance(k, str) and isinstance(v, str)
                                                    for k, v in recipes.items()):
            raise ConfigError(f"{ENV_RECIPES} as JSON must be an object of served model name -> path")
    elif "=" in value:
        recipes = {}
        for item in filter(None, (s.strip() for s in value.split(","))):
            name, sep, path = item.partition("=")
            if not sep or not name.strip() or not path.strip():
                raise ConfigError(f"{ENV_RECIPES}: {item!r} is not name=path")
            recipes[name.strip()] = path.strip()
    else:
        root = Path(value)
        if not root.is_dir():
            raise ConfigError(f"{ENV_RECIPES}: {value!r} is neither JSON, name=path pairs nor a directory")
        recipes = {p.name: str(p) for p in sorted(root.iterdir()) if (p / CONFIG_FILE).is_file()}
        if not recipes:
            raise ConfigError(f"{ENV_RECIPES}: no recipe (*/{CONFIG_FILE}) under {value!r}")
    if not recipes:
        raise ConfigError(f"{ENV_RECIPES} names no recipe")
    return recipes


def recipe_problem(path: str) -> str | None:
    """Why the recipe at ``path`` cannot be loaded at all, or None."""
    p = Path(path)
    if not p.is_dir():
        return "no recipe directory"
    if not (p / CONFIG_FILE).is_file():
        return f"no {CONFIG_FILE}"
    return None
