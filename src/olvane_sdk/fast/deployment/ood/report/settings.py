"""The report's settings: their defaults, their ranges and the
``OLVANE_SHIFT_REPORT_*`` variables that override them."""
from __future__ import annotations

import math
import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any


class SettingsError(ValueError):
    """A bad report setting (from the environment or a keyword); ``fields``
    names the settings at fault."""

    def __init__(self, message: str, fields: tuple[str, ...] = ()):
        super().__init__(message)
        self.fields = fields


@dataclass(frozen=True)
class ReportSettings:
    """The report's settings; :meth:`from_env` reads them from
    ``OLVANE_SHIFT_REPORT_*`` (see :data:`ENV`)."""

    seed: int = 0
    n_permutations: int = 500
    alpha: float = 0.005         # MMD permutation test, for shift and drift
    auc_threshold: float = 0.75  # the AUC gate of shift
    alpha_novel: float = 0.005   # share test, for novel
    knn_k: int = 5               # the score: cosine distance to the k-th nearest train row
    tail: float = 0.01           # the calibration's tail that flags a message
    bound_confidence: float = 0.99
    cv_folds: int = 5
    min_samples: int = 8         # fewer live (or train) embeddings: n/a
    max_samples: int = 1000      # per side, for the AUC and the MMD (the share test scores every live row)

    def __post_init__(self):
        checks = {"alpha": 0 < self.alpha < 1, "alpha_novel": 0 < self.alpha_novel < 1,
                  "tail": 0 < self.tail < 0.5, "bound_confidence": 0.5 <= self.bound_confidence < 1,
                  "auc_threshold": 0.5 <= self.auc_threshold <= 1, "knn_k": self.knn_k >= 1,
                  "min_samples": self.min_samples >= 2, "max_samples": self.max_samples >= self.min_samples,
                  "n_permutations": self.n_permutations >= 1, "cv_folds": self.cv_folds >= 2}
        bad = [k for k, ok in checks.items() if not ok]
        if not bad and 1.0 / (self.n_permutations + 1) >= self.alpha:
            bad = ["n_permutations", "alpha"]  # the smallest p-value could never pass alpha
        if bad:
            raise SettingsError("out of range: " + ", ".join(
                f"{k}={getattr(self, k)!r} (expected {_RANGES[k]})" for k in bad), tuple(bad))

    @classmethod
    def from_env(cls, environ: Mapping[str, str] | None = None) -> ReportSettings:
        """Defaults overridden by the ``OLVANE_SHIFT_REPORT_*`` variables
        that are set; a bad value raises :class:`SettingsError` naming it."""
        environ = os.environ if environ is None else environ
        kw: dict[str, Any] = {}
        given: dict[str, str] = {}
        bad: list[str] = []
        for var, (name, kind) in ENV.items():
            text = environ.get(var, "").strip()
            if not text:
                continue
            try:
                v = kind(text)
                if isinstance(v, float) and not math.isfinite(v):
                    raise ValueError
            except ValueError:
                bad.append(f"{var}={text!r}: not {'an integer' if kind is int else 'a finite number'}")
                continue
            kw[name] = v
            given[name] = f"{var}={text!r}"
        if bad:  # every unreadable value at once
            raise SettingsError("; ".join(bad), tuple(ENV[b.split("=", 1)[0]][0] for b in bad))
        try:
            return cls(**kw)
        except SettingsError as e:
            at_fault = [given[f] for f in e.fields if f in given] or list(given.values())
            raise SettingsError(f"{', '.join(at_fault)}: {e}", e.fields) from None


_RANGES = {"alpha": "0 < alpha < 1", "alpha_novel": "0 < alpha < 1", "tail": "0 < tail < 0.5",
           "bound_confidence": "0.5 <= confidence < 1", "auc_threshold": "0.5 <= AUC <= 1",
           "knn_k": "an integer >= 1", "min_samples": "an integer >= 2",
           "max_samples": "an integer >= min_samples", "n_permutations": "an integer with 1 / (n_permutations + 1) < alpha, "
                               "or the MMD test could never be significant",
           "cv_folds": "an integer >= 2"}

#: environment variable -> (ReportSettings field, type)
ENV: dict[str, tuple[str, type]] = {
    "OLVANE_SHIFT_REPORT_ALPHA": ("alpha", float),
    "OLVANE_SHIFT_REPORT_ALPHA_NOVEL": ("alpha_novel", float),
    "OLVANE_SHIFT_REPORT_AUC": ("auc_threshold", float),
    "OLVANE_SHIFT_REPORT_K": ("knn_k", int),
    "OLVANE_SHIFT_REPORT_TAIL": ("tail", float),
    "OLVANE_SHIFT_REPORT_MIN_LIVE": ("min_samples", int),
    "OLVANE_SHIFT_REPORT_MAX_SAMPLES": ("max_samples", int),
    "OLVANE_SHIFT_REPORT_PERMUTATIONS": ("n_permutations", int),
}
