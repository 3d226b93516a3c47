"""The sample store: live embeddings pooled across the processes of a server
and across replicas, kept over time (docs/operating.md, "Sample store").

``OLVANE_SHIFT_STORE`` chooses the backend: unset, a local directory under the
user's state directory (:func:`.directory.default_base`); a path or
``file://`` URL, a directory there (a shared volume serves several replicas);
``redis://`` / ``rediss://``, Redis (the ``redis`` extra); ``off``, none.
Either way the deployment (``OLVANE_SHIFT_DEPLOYMENT``, as the caller reads
it, else a name derived from the recipes: :func:`.store.deployment_name`)
namespaces what is stored.
"""
from __future__ import annotations

from collections.abc import Mapping

from .directory import DirectoryStore, default_base
from .feeder import RingFeeder, StoreFeeder
from .store import (DEFAULT_MAX_AGE, DEFAULT_MAX_COUNT, LAYOUT_NAME, LAYOUT_VERSION, WINDOW_LATEST, MemoryHistory,
                    Record, Retention, SampleStore, StoreError, Window, deployment_name, origin_name, parse_duration)
from .redis_store import RedisStore, is_redis_url

__all__ = ["open_store", "SampleStore", "MemoryHistory", "DirectoryStore", "RedisStore", "Record", "Retention",
           "Window", "StoreError", "store_off", "RingFeeder", "StoreFeeder", "deployment_name", "origin_name",
           "parse_duration", "default_base", "LAYOUT_NAME", "LAYOUT_VERSION", "WINDOW_LATEST", "DEFAULT_MAX_AGE",
           "DEFAULT_MAX_COUNT"]


def store_off(spec: str | None) -> bool:
    """Whether the OLVANE_SHIFT_STORE value ``spec`` turns the store off."""
    return (spec or "").strip().lower() in ("off", "none", "0", "false")


def open_store(spec: str | None, deployment: str, retention: Retention | None = None,
               environ: Mapping[str, str] | None = None) -> SampleStore | None:
    """The store ``spec`` names (an OLVANE_SHIFT_STORE value); None for ``off``.
    Opening never touches the store: faults show at the first operation."""
    if store_off(spec):
        return None
    spec = (spec or "").strip()
    if is_redis_url(spec):
        return RedisStore(spec, deployment, retention)
    if spec.startswith("file://"):
        spec = spec[len("file://"):]
    if "://" in spec:
        raise StoreError(f"OLVANE_SHIFT_STORE={spec!r}: expected a directory, file://, redis:// or rediss:// URL, "
                         "or off")
    return DirectoryStore(spec or default_base(environ), deployment, retention)
