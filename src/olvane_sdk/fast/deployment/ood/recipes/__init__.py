"""Recipes: the reference material of one served model, in the directory
layout of :mod:`..recipe_files.layout`, built by :mod:`.builder`.

Python use::

    from olvane_sdk.fast.deployment.ood.recipes import build_recipe
    build_recipe("recipes/my-model", text_model="/models/all-MiniLM-L6-v2",
                 texts=["How do I ...", ...], image_model=None)

Command line (``python -m olvane_sdk.fast.deployment.ood.recipes --help``, or
``olvane-shift recipe``; :mod:`.command`)::

    python -m olvane_sdk.fast.deployment.ood.recipes recipes/my-model \\
        --text-model /models/all-MiniLM-L6-v2 --texts questions.txt \\
        [--test-texts held_out.txt] [--image-model /models/clip --images imgs/]
"""
from __future__ import annotations

from ..recipe_files.layout import CONFIG_PARTS, DEFAULT_TEXT_PREFIX, TEST_PARTS, TRAIN_PARTS
from .builder import RecipeSummary, build_recipe, load_onnx_model
from .inputs import DEFAULT_ROLE, IMAGE_SUFFIXES, RecipeError, list_images, read_texts

__all__ = ["build_recipe", "RecipeError", "RecipeSummary", "load_onnx_model", "read_texts", "list_images",
           "DEFAULT_TEXT_PREFIX", "DEFAULT_ROLE", "IMAGE_SUFFIXES", "CONFIG_PARTS", "TRAIN_PARTS", "TEST_PARTS"]

