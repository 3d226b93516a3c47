"""The package's records inside vLLM's logging: its handlers, level and
format (``use_vllm_logging``), and the process id on the package's lines
where several API-server processes write one log."""
from __future__ import annotations

import logging
import os

from ._logconsole import LOGGER_NAME


class ProcessTag(logging.Filter):
    """Puts ``pid N`` in front of the message of the records it passes, for a
    log that several API-server processes write. Set on the package's
    logger's own handlers: it tags only the package's records."""

    def __init__(self, pid: int | None = None):
        super().__init__()
        self.prefix = f"pid {os.getpid() if pid is None else pid}: "

    def filter(self, record: logging.LogRecord) -> bool:
        if not getattr(record, "olvane_pid", False):
            record.olvane_pid = True
            record.msg = self.prefix + str(record.msg)
        return True


def shares_log() -> bool:
    """Whether this process is one of several API servers writing one log:
    vLLM's ``--api-server-count`` > 1 runs each in a child process (the
    main process serves alone otherwise)."""
    import multiprocessing

    return multiprocessing.parent_process() is not None


def use_vllm_logging(logger: logging.Logger | str = LOGGER_NAME) -> bool:
    """Sends ``logger``'s records where vLLM sends its own: the ``vllm``
    logger's handlers (its format and stream), level and propagation, as
    vLLM's logging set-up left them (``VLLM_LOGGING_LEVEL``,
    ``VLLM_LOGGING_CONFIG_PATH``). Returns True if it did.

    Left alone: a logger that has a level or handlers of its own (configured
    by the operator, for example in ``VLLM_LOGGING_CONFIG_PATH``'s file), and
    every logger when ``VLLM_CONFIGURE_LOGGING=0`` (logging is the host's).
    Call it in each process after vLLM is imported (spawned API servers
    configure their logging afresh).
    """
    if isinstance(logger, str):
        logger = logging.getLogger(logger)
    if logger.handlers or logger.level != logging.NOTSET:
        return False
    try:
        import vllm.logger  # noqa: F401  (vLLM's logging set-up runs at its import)
        from vllm import envs
    except Exception:
        return False
    if not envs.VLLM_CONFIGURE_LOGGING:
        return False
    source = logging.getLogger("vllm")
    tag = ProcessTag() if shares_log() else None
    for h in source.handlers:
        # vLLM prefixes its processes' streams with "(name pid=N)"; elsewhere say it here.
        if tag is not None and getattr(getattr(h, "stream", None), "start_new_line", None) is None:
            h = _Tagged(h, tag)
        logger.addHandler(h)
    logger.setLevel(source.getEffectiveLevel())
    logger.propagate = source.propagate
    return True


class _Tagged(logging.Handler):
    """Another handler's output with the process tag (the handler itself is
    vLLM's and also writes vLLM's records, which stay as they are)."""

    def __init__(self, inner: logging.Handler, tag: ProcessTag):
        super().__init__(inner.level)
        self.inner = inner
        self.addFilter(tag)

    def emit(self, record: logging.LogRecord) -> None:
        self.inner.handle(record)
