"""ONNX Runtime session options for the handler's embedding models.

The extension loads every embedding model as ``SentenceTransformer(name,
backend="onnx")``, looking ``SentenceTransformer`` up in its own namespace at
call time. With ONNX Runtime's defaults each model's intra-op pool takes every
core and spin-waits between runs, so a busy worker keeps all cores of the
serving process at 100%. :func:`install_model_factory` rebinds that name, once
at start-up and before ``init_models``, to an :class:`OnnxModelFactory`, which
builds the same model through the real class with ``model_kwargs=
{"session_options": ...}`` added::

    from olvane_sdk.fast.deployment.ood.host import install_model_factory
    install_model_factory()                 # 1 intra-op thread, 1 inter-op thread, no spinning
    ood.init_models({...})

Models already loaded keep their sessions: install before ``init_models``.
"""
from __future__ import annotations

import importlib
from types import ModuleType
from typing import Any

MODULE_NAME = f"{__package__}.interceptor"
_SPINNING_KEY = "session.intra_op.allow_spinning"


def _thread_count(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must be >= 0 (0 lets ONNX Runtime choose), got {value}")
    return value


class OnnxModelFactory:
    """Stands in for ``SentenceTransformer`` and builds models with set
    ONNX Runtime session options.

    ``factory(name, backend="onnx", **kwargs)`` returns
    ``model_class(name, backend="onnx", model_kwargs={..., "session_options":
    so}, **kwargs)``: the name, every other argument and any ``model_kwargs``
    the caller gave are passed on, and a new ``onnxruntime.SessionOptions`` is
    added to ``model_kwargs`` unless the caller put one there (an explicit
    choice wins). Calls for another backend are passed on unchanged, since the
    options mean nothing to it.

    ``intra_op_threads`` and ``inter_op_threads`` are ONNX Runtime's
    ``intra_op_num_threads`` and ``inter_op_num_threads`` (0: its default, one
    per core); ``allow_spinning`` sets the session entry
    ``session.intra_op.allow_spinning`` ("1" or "0"): whether idle pool
    threads spin-wait for work instead of sleeping.
    """

    def __init__(self, model_class: Any, *, intra_op_threads: int = 1, inter_op_threads: int = 1,
                 allow_spinning: bool = False) -> None:
        if isinstance(model_class, OnnxModelFactory):  # replace, never stack
            model_class = model_class.model_class
        if not callable(model_class):
            raise TypeError(f"model_class must be callable, not {type(model_class).__name__}")
        if not isinstance(allow_spinning, bool):
            raise TypeError(f"allow_spinning must be a bool, not {type(allow_spinning).__name__}")
        self.model_class = model_class
        self.intra_op_threads = _thread_count("intra_op_threads", intra_op_threads)
        self.inter_op_threads = _thread_count("inter_op_threads", inter_op_threads)
        self.allow_spinning = allow_spinning

    def session_options(self) -> Any:
        """A new ``onnxruntime.SessionOptions`` with this factory's settings
        (one per model, so that no two sessions share a mutable object)."""
        import onnxruntime

        so = onnxruntime.SessionOptions()
        so.intra_op_num_threads = self.intra_op_threads
        so.inter_op_num_threads = self.inter_op_threads
        so.add_session_config_entry(_SPINNING_KEY, "1" if self.allow_spinning else "0")
        return so

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        if kwargs.get("backend") == "onnx":
            model_kwargs = dict(kwargs.get("model_kwargs") or {})
            if "session_options" not in model_kwargs:
                model_kwargs["session_options"] = self.session_options()
            kwargs["model_kwargs"] = model_kwargs
        return self.model_class(*args, **kwargs)

    def __repr__(self) -> str:
        cls = self.model_class
        target = f"{getattr(cls, '__module__', '?')}.{getattr(cls, '__qualname__', type(cls).__qualname__)}"
        return (f"{type(self).__name__}({target}, intra_op_threads={self.intra_op_threads}, "
                f"inter_op_threads={self.inter_op_threads}, allow_spinning={self.allow_spinning})")


def install_model_factory(module: ModuleType | None = None, *, intra_op_threads: int = 1,
                          inter_op_threads: int = 1, allow_spinning: bool = False) -> None:
    """Rebinds ``module.SentenceTransformer`` (default: the extension module)
    to an :class:`OnnxModelFactory` with these settings.

    The factory builds through the class bound there before: the real
    ``SentenceTransformer`` on a fresh module, or, when a factory is already
    installed, the class that factory builds through, so calling this again
    replaces the settings instead of wrapping one factory in another. Bad
    settings raise ``TypeError`` or ``ValueError`` and leave the binding as it
    was."""
    if module is None:
        module = importlib.import_module(MODULE_NAME)
    factory = OnnxModelFactory(getattr(module, "SentenceTransformer"), intra_op_threads=intra_op_threads,
                               inter_op_threads=inter_op_threads, allow_spinning=allow_spinning)
    setattr(module, "SentenceTransformer", factory)
