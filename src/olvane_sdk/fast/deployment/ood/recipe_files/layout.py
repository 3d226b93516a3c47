"""Where a recipe keeps its parts, and the text prefix a recipe defaults to::

    RECIPE/
      data/distribution/test_config.json   {"embeddings": {"text_model_name": ...,
                                             "image_model_name": ... or null,
                                             "text_prefix": ...}}
      data/distribution/train/embeddings.npz  text_embeddings, text_roles
                                              [, image_embeddings, image_roles]
      data/distribution/test/embeddings.npz   text_embeddings [, image_embeddings]

The one definition of the recipe layout in Python: the builder writes it, the
middleware looks for the configuration file, the demo and the benchmarks use
it. The extension reads the same paths and falls back to the same prefix.
"""
from __future__ import annotations

from pathlib import Path

#: The prefix the interceptor puts before live text when a recipe names none.
DEFAULT_TEXT_PREFIX = "query: "

CONFIG_PARTS = ("data", "distribution", "test_config.json")
TRAIN_PARTS = ("data", "distribution", "train", "embeddings.npz")
TEST_PARTS = ("data", "distribution", "test", "embeddings.npz")

#: The same, relative to the recipe directory.
CONFIG_FILE = Path(*CONFIG_PARTS)
TRAIN_FILE = Path(*TRAIN_PARTS)
TEST_FILE = Path(*TEST_PARTS)

#: The reference texts' term profile (optional; the extension ignores it):
#: {"documents": n, "terms": {word: texts holding it}}, written and read by terms.py.
TERMS_PARTS = ("data", "distribution", "terms.json")
TERMS_FILE = Path(*TERMS_PARTS)

#: The recipe's own cutoffs for the report's novelty statistics (optional; the
#: extension ignores it): {modality: calibration}, written by the builder when
#: given a calibrator, read by report/window.py; a recipe without it gets them
#: computed on its first report.
CALIBRATION_PARTS = ("data", "distribution", "calibration.json")
CALIBRATION_FILE = Path(*CALIBRATION_PARTS)
