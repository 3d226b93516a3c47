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

import re
import urllib.parse
from collections.abc import Mapping

from .directory import DirectoryStore, default_base
from .feeder import RingFeeder, StoreFeeder
from .store import (DEFAULT_MAX_AGE, DEFAULT_MAX_COUNT, LAYOUT_NAME, LAYOUT_VERSION, WINDOW_LATEST, MemoryHistory,
                    Record, Retention, SampleStore, StoreError, Window, deployment_name, mask_url, origin_name,
                    parse_duration)
from .redis_store import RedisStore, is_redis_url

__all__ = ["open_store", "SampleStore", "MemoryHistory", "DirectoryStore", "RedisStore", "Record", "Retention",
           "Window", "StoreError", "mask_url", "store_off", "store_problem", "RingFeeder", "StoreFeeder",
           "deployment_name", "origin_name", "parse_duration", "default_base", "LAYOUT_NAME", "LAYOUT_VERSION",
           "WINDOW_LATEST", "DEFAULT_MAX_AGE", "DEFAULT_MAX_COUNT"]


def store_off(spec: str | None) -> bool:
    """Whether the OLVANE_SHIFT_STORE value ``spec`` turns the store off."""
    return (spec or "").strip().lower() in ("off", "none", "0", "false")


# A path that is a mistyped URL: a scheme and a colon ("redis:/x", "http://h"),
# or a store scheme without its colon ("redis//h:6379/0").
_SCHEME_LIKE = re.compile(r"[A-Za-z][A-Za-z0-9+.-]+:|(redis|rediss|file|unix)//", re.IGNORECASE)


def store_problem(spec: str | None) -> str | None:
    """Why the OLVANE_SHIFT_STORE value ``spec`` is unusable, or None: it must
    be off, empty (the default directory), a path, a ``file://`` URL, or a
    ``redis://`` / ``rediss://`` / ``unix://`` URL that parses (a port in range,
    an integer db). Checks the text only; nothing is opened."""
    spec = (spec or "").strip()
    if not spec or store_off(spec):
        return None
    if is_redis_url(spec):
        try:
            u = urllib.parse.urlsplit(spec)
            u.port  # noqa: B018  (raises ValueError out of 0-65535)
        except ValueError as e:
            return f"not a Redis URL ({e})"
        if u.scheme != "unix" and not u.hostname:
            return "not a Redis URL (no host)"
        db = urllib.parse.parse_qs(u.query).get("db", [""])[0] or (u.path.strip("/") if u.scheme != "unix" else "")
        if db and not db.isdigit():
            return f"not a Redis URL (db {db!r} is not an integer)"
        return None
    path = spec[len("file://"):] if spec.startswith("file://") else spec
    if not path:
        return "file:// names no directory"
    if "://" in path or _SCHEME_LIKE.match(path):
        return "looks like a mistyped URL; expected a directory, file://, redis:// or rediss:// URL, or off"
    return None


def open_store(spec: str | None, deployment: str, retention: Retention | None = None,
               environ: Mapping[str, str] | None = None) -> SampleStore | None:
    """The store ``spec`` names (an OLVANE_SHIFT_STORE value); None for ``off``.
    A value :func:`store_problem` refuses raises :class:`StoreError`. Opening
    never touches the store: faults show at the first operation."""
    if store_off(spec):
        return None
    spec = (spec or "").strip()
    if (why := store_problem(spec)) is not None:
        raise StoreError(f"OLVANE_SHIFT_STORE={mask_url(spec)!r}: {why}")
    if is_redis_url(spec):
        return RedisStore(spec, deployment, retention)
    if spec.startswith("file://"):
        spec = spec[len("file://"):]
    if spec:
        return DirectoryStore(spec, deployment, retention)
    base = default_base(environ)
    # The default's own directory (olvane-shift, or olvane-shift-UID in the
    # temporary directory) down must be this user's: another could create it first.
    return DirectoryStore(base, deployment, retention, own_from=base.parent)
