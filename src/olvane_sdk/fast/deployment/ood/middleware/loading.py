"""The collector's start-up: the handler's ONNX Runtime session options,
console, recipes and models, and the count of what it stores afterwards."""
from __future__ import annotations

import importlib
import logging
import time
from typing import TYPE_CHECKING, Any

from .._logconsole import LOGGER_NAME
from .config import ShiftConfig, recipe_problem

if TYPE_CHECKING:
    from ..host import LoggingConsole

log = logging.getLogger(__name__)

# The module's own handler embeds the messages that wait, or arrive within
# ENCODE_GATHER_SECONDS of the first, together: one encode call per model for
# up to OLVANE_SHIFT_ENCODE_BATCH of them (default ENCODE_BATCH_SIZE, in
# config.py). Its sentence-transformers models take lists and give a row per
# input; a batch of 16 costs the text model about half and the image tower a
# third of 16 single calls per input (benchmarks/README.md, "Batched
# embedding"). The second bounds how long a message waits; a batch of 1 is the
# module's own one-at-a-time path, with no gathering.
ENCODE_GATHER_SECONDS = 1.0


def set_batching(handler: Any, batch: int) -> None:
    """Has ``handler``'s worker embed up to ``batch`` messages per encode
    call, gathering them for up to ENCODE_GATHER_SECONDS; 1 is the module's
    one-at-a-time path."""
    handler.encode_batch_size = batch
    handler.encode_gather_seconds = ENCODE_GATHER_SECONDS if batch > 1 else 0.0


class _ErrorLines(logging.Filter):
    """Keeps the error lines logged while the recipes load (the handler
    prints a failed recipe's reason and returns nothing). A filter, not a
    handler: the records still go where they went."""

    def __init__(self):
        super().__init__()
        self.lines: list[str] = []

    def filter(self, record):
        if record.levelno >= logging.ERROR:
            try:
                self.lines.append(record.getMessage())
            except Exception:
                pass
        return True


def _rows(a: Any) -> int:
    try:
        return len(a) if a is not None else 0
    except TypeError:
        return 0


class RecipeLoader:
    """Loads the configured recipes into the handler and keeps each one's
    state (loading, loaded with its modalities, failed with the reason), then
    counts the embeddings the handler stores per served model and modality.

    ``handler`` None means the process's own module handler, whose console
    and model factory are set here; a handler passed in is the caller's and
    keeps its own. With ``init_models=False`` the handler's recipes are taken
    as they are."""

    def __init__(self, cfg: ShiftConfig, handler: Any = None, *, init_models: bool = True):
        self.cfg = cfg
        self.handler = handler
        self.init_models = init_models
        self.console: LoggingConsole | None = None
        self.recipe_models: frozenset[str] = frozenset()
        self.recipe_states: dict[str, dict[str, Any]] = {name: {"state": "loading"} for name in cfg.recipes}
        # (model, modality) -> embeddings stored; (the report's cache key, the metrics' counter).
        self.embeddings: dict[tuple[str, str], int] = {}
        # model -> modality -> live embeddings held by the handler's rings.
        self.live_counts: dict[str, dict[str, int]] = {}
        self.seconds: float | None = None

    def install(self) -> Any:
        """The handler to load into, with the console and session options set
        when it is the module's own."""
        if self.handler is None:
            from ..host import install_logging_console, install_model_factory

            interceptor = importlib.import_module("..interceptor", __package__)
            self.handler = interceptor.olvane_shift_detection_handler
            if self.cfg.console == "logging":
                self.console = install_logging_console(interceptor)
            # sentence-transformers logs every model load at INFO and draws a
            # tqdm bar on stderr for every encode when its logger is at INFO or
            # DEBUG (a root logger at INFO is enough; some library imported
            # with vLLM sets one): one bar per live message. Unless configured
            # otherwise, quiet it.
            st_logger = logging.getLogger("sentence_transformers")
            if st_logger.level == logging.NOTSET:
                st_logger.setLevel(logging.WARNING)
            install_model_factory(interceptor, intra_op_threads=self.cfg.ort_threads, inter_op_threads=1,
                                  allow_spinning=self.cfg.ort_spinning)
            set_batching(self.handler, self.cfg.encode_batch)
        return self.handler

    def load(self) -> None:
        """Loads the recipes (with ``init_models``) and settles every recipe's
        state; a recipe the handler holds no reference for is failed."""
        cfg, h = self.cfg, self.handler
        # (A handler loaded by the caller has its own recipes: nothing to check.)
        failed = {k: p for k, v in cfg.recipes.items() if self.init_models and (p := recipe_problem(v))}
        for k, why in failed.items():
            log.error("olvane shift: recipe for %s: %s (%s); its requests are not collected", k, why,
                      cfg.recipes[k])
        errors = _ErrorLines()
        if self.init_models:
            t0 = time.perf_counter()
            # The console's records go to the package logger itself, where a filter sees them.
            package_log = logging.getLogger(LOGGER_NAME)
            package_log.addFilter(errors)
            try:
                h.init_models({k: v for k, v in cfg.recipes.items() if k not in failed})
            finally:
                package_log.removeFilter(errors)
            self.seconds = time.perf_counter() - t0
        ref = getattr(h, "train_test_embeddings", {}) or {}
        model_map = getattr(h, "vllm_to_embedding_model_map", {}) or {}
        # A recipe that fails part-way keeps an empty entry in
        # train_test_embeddings: without a reference it is failed, not loaded.
        self.recipe_models = frozenset(m for m in model_map if isinstance(ref.get(m), dict) and ref[m])
        for k in cfg.recipes:
            if k in self.recipe_models:
                self.recipe_states[k] = {"state": "loaded", "modalities": sorted(ref[k])}
                for modality in ref[k]:
                    self.embeddings.setdefault((k, modality), 0)
            else:
                why = failed.get(k) or next((ln for ln in errors.lines if k in ln), None) or next(
                    iter(errors.lines), "did not load (see the server log)")
                self.recipe_states[k] = {"state": "failed", "reason": why[:500]}
        self.warn_weak_recipes(ref)

    def warn_weak_recipes(self, ref: dict) -> None:
        """One warning per loaded recipe whose calibration is too small for
        the share test to see a newcomer at the required share."""
        from ..report.power import REQUIRED_SHARE, WINDOW_LATEST, recipe_power
        from ..report.settings import ReportSettings, SettingsError

        try:
            settings = ReportSettings.from_env()
        except SettingsError:  # reported by the configuration already
            settings = ReportSettings()
        for k in sorted(self.recipe_models & set(self.cfg.recipes)):
            weak = []
            for modality, entry in sorted(ref[k].items()):
                try:
                    n_train, n_test = _rows(entry.get("train")), _rows(entry.get("test"))
                    power = recipe_power((n_train if n_train > 1 else 0) + n_test, settings.tail,
                                         settings.alpha_novel, settings.bound_confidence)
                except Exception:  # an unusable reference is the report's to explain
                    continue
                if not power.enough:
                    weak.append(f"{modality}: {power.summary()}")
            if weak:
                log.warning("olvane shift: recipe for %s is too small to detect a newcomer at %.0f%% of %s messages "
                            "(tail %g, alpha %g): %s; add texts to the recipe", k, REQUIRED_SHARE * 100,
                            f"{WINDOW_LATEST:,}", settings.tail, settings.alpha_novel, "; ".join(weak))

    def fail_loading(self, reason: str) -> None:
        """Marks every recipe still loading as failed (start-up broke off)."""
        for k, st in self.recipe_states.items():
            if st["state"] == "loading":
                self.recipe_states[k] = {"state": "failed", "reason": reason}

    def count_embeddings(self) -> None:
        """Wraps the handler's ``add_embedding`` to count what it stores."""
        # Count embeddings per model and modality where they are stored: the
        # worker calls add_embedding through the instance, so a wrapper there
        # sees every store without reading the store back.
        h = self.handler
        inner = getattr(h, "add_embedding")
        if getattr(inner, "_olvane_collector", None) is not None:
            inner = inner._olvane_inner
        counts, live = self.embeddings, self.live_counts

        def add_embedding(vllm_model_name, modal_type, embedding):
            inner(vllm_model_name, modal_type, embedding)
            key = (vllm_model_name, modal_type)
            counts[key] = counts.get(key, 0) + 1
            try:
                live.setdefault(vllm_model_name, {"text": 0, "image": 0})[modal_type] = len(
                    h.live_embeddings[vllm_model_name][modal_type]["live"])
            except Exception:
                pass

        add_embedding._olvane_collector = self  # type: ignore[attr-defined]
        add_embedding._olvane_inner = inner  # type: ignore[attr-defined]
        try:
            h.add_embedding = add_embedding
        except (AttributeError, TypeError):
            log.warning("olvane shift: cannot count embeddings on this handler")
