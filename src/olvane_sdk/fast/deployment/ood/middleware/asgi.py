"""The ASGI middleware vLLM loads with ``--middleware`` and the
``GET /v1/shift`` route it adds to the app."""
from __future__ import annotations

import asyncio
import logging
import os
import time

from .collector import ShiftCollector, get_collector
from .routes import CHAT_PATH, HISTORY_PATH, OUTLIERS_PATH, SAMPLES_PATH, SHIFT_PATH, UI_PATH
from .trace import client_request_id, response_id

log = logging.getLogger(__name__)


def _route_for(collector: ShiftCollector):
    from starlette.concurrency import run_in_threadpool
    from starlette.responses import HTMLResponse, JSONResponse
    from starlette.routing import Route

    inflight: asyncio.Future | None = None

    async def shift_status(request):
        nonlocal inflight
        if request.query_params.get("refresh", "").lower() in ("1", "true", "yes"):
            # Concurrent refreshes await the one in flight instead of each
            # taking a worker thread (the collector shares it too).
            loop = asyncio.get_running_loop()
            if inflight is None or inflight.done() or inflight.get_loop() is not loop:
                inflight = asyncio.ensure_future(run_in_threadpool(collector.reports.refresh_on_request))
            await asyncio.shield(inflight)
        return JSONResponse(collector.status())

    async def shift_outliers(request):
        q = request.query_params
        model, modality = q.get("model"), q.get("modality", "text")
        try:
            limit = int(q.get("limit", "100"))
            if limit < 0:
                raise ValueError
        except ValueError:
            limit = None
        if not model or limit is None:
            return JSONResponse({"error": "expected ?model=M[&modality=text|image][&limit=N >= 0]"},
                                status_code=400)
        doc = collector.reports.outlier_status(model, modality, limit,
                                              excerpts=collector.excerpts(key_guards(request.app)))
        if doc is None:
            return JSONResponse({"error": f"no report row for {model} / {modality}"}, status_code=404)
        return JSONResponse(doc)

    async def shift_history(request):
        from ..samples.store import parse_duration

        q = request.query_params
        model, modality, since = q.get("model"), q.get("modality", "text"), None
        try:
            if q.get("since"):
                since = time.time() - parse_duration(q["since"])
        except ValueError:
            model = None
        if not model:
            return JSONResponse({"error": "expected ?model=M[&modality=text|image][&since=DURATION, e.g. 6h]"},
                                status_code=400)
        rows = await run_in_threadpool(collector.reports.history_rows, model, modality, since)
        return JSONResponse({"model": model, "modality": modality, "rows": rows})

    async def shift_samples(request):
        from ..report.adoption import Refused, select, to_json

        q = request.query_params
        model, modality = q.get("model"), q.get("modality", "text")
        try:
            clusters = [int(c) for c in q["cluster"].split(",")] if q.get("cluster") else None
            since = float(q["since"]) if q.get("since") else None
            until = float(q["until"]) if q.get("until") else None
        except ValueError:
            model = None
        if not model or (clusters is None) == (since is None):
            return JSONResponse({"error": "expected ?model=M[&modality=text|image]&(cluster=ID[,ID...]|since=T"
                                          "[&until=T]), times in Unix seconds"}, status_code=400)
        pool = collector.reports.pool
        if pool is None:
            return JSONResponse({"error": "this server keeps no sample store (OLVANE_SHIFT_STORE): there are no "
                                          "stored samples to adopt"}, status_code=409)
        try:
            sel = await run_in_threadpool(select, pool.store, collector.reports.snapshot, model, modality,
                                          clusters=clusters, since=since, until=until)
        except Refused as e:
            return JSONResponse({"error": str(e)}, status_code=404)
        return JSONResponse(to_json(sel))

    async def shift_ui(request):
        from ..report.page import CSP

        page = await run_in_threadpool(collector.reports.page, excerpts=collector.excerpts(key_guards(request.app)))
        return HTMLResponse(page, headers={"Content-Security-Policy": CSP, "Cache-Control": "no-store",
                                           "X-Content-Type-Options": "nosniff"})

    # Under /v1, so vLLM's --api-key guards them all as it does the API.
    return [Route(path, endpoint, methods=["GET"], name=name, include_in_schema=False) for path, endpoint, name in (
        (SHIFT_PATH, shift_status, "olvane_shift"), (OUTLIERS_PATH, shift_outliers, "olvane_shift_outliers"),
        (HISTORY_PATH, shift_history, "olvane_shift_history"), (UI_PATH, shift_ui, "olvane_shift_ui"),
        (SAMPLES_PATH, shift_samples, "olvane_shift_samples"))]


def key_guards(app) -> bool:
    """Whether vLLM checks an API key on ``/v1`` in front of ``app``: its
    key-check middleware is on the app (``--api-key`` or ``VLLM_API_KEY``);
    on an app without a middleware list, the arguments vLLM left on it."""
    stack = getattr(app, "user_middleware", None)
    if stack is not None:
        return any(getattr(m.cls, "__name__", "") == "AuthenticationMiddleware" for m in stack)
    args = getattr(getattr(app, "state", None), "args", None)
    return bool(getattr(args, "api_key", None) or os.environ.get("VLLM_API_KEY"))


class ShiftDetectionMiddleware:
    """Pure ASGI middleware: collects chat-completion requests that vLLM
    answers with 2xx and serves ``GET /v1/shift`` through a route it adds to
    the app. ``collector`` is for tests; vLLM builds it as ``cls(app)``."""

    def __init__(self, app, collector: ShiftCollector | None = None):
        self.app = app
        self.collector = collector if collector is not None else get_collector()
        self._routed: set[int] = set()

    def _add_route(self, app) -> None:
        # scope["app"] is the Starlette/FastAPI application on every scope
        # (lifespan included); the middleware itself only sees the inner stack.
        self._routed.add(id(app))
        try:
            # vLLM's served model names, once its app state is set.
            paths = app.state.openai_serving_models.base_model_paths
            self.collector.handover.note_served([p.name for p in paths])
        except Exception:
            pass  # not vLLM's app, or not set yet: the first request of a name tells
        try:
            router = getattr(app, "router", None)
            if router is None or any(getattr(r, "path", None) == SHIFT_PATH for r in router.routes):
                return
            router.routes.extend(_route_for(self.collector))
            if not key_guards(app):
                log.warning("olvane shift: no API key guards %s and %s: anyone who reaches this server reads the "
                            "configuration, recipe paths and the processes' host:pid there; start vLLM with "
                            "--api-key (or VLLM_API_KEY), or keep the port behind a network rule",
                            SHIFT_PATH, OUTLIERS_PATH)
        except Exception as e:
            log.error("olvane shift: could not add %s: %s", SHIFT_PATH, e)

    async def __call__(self, scope, receive, send):
        app = scope.get("app")
        if app is not None and id(app) not in self._routed:
            self._add_route(app)
        if scope["type"] != "http" or scope["method"] != "POST":
            return await self.app(scope, receive, send)
        path = scope["path"]
        root = scope.get("root_path")
        if root and path.startswith(root):
            path = path[len(root):]
        # The request path talks to the collector's hand-over part directly.
        c = self.collector.handover
        if path != CHAT_PATH:
            return await self.app(scope, receive, send)
        try:
            admitted = c.admit(scope)
        except Exception:
            admitted = False
        if not admitted:
            return await self.app(scope, receive, send)

        max_body = c.cfg.max_body
        chunks: list[bytes] = []
        size = 0
        # None while the body is being read, True once complete, False when given up.
        complete: bool | None = None
        started = False
        disconnected = False
        # A 2xx answer is handed over at its first body bytes, with the id vLLM gave it.
        answered = False
        client_id = client_request_id(scope)

        async def tee():
            nonlocal size, complete, disconnected
            message = await receive()
            try:
                disconnected = disconnected or (not started and message["type"] == "http.disconnect")
            except Exception:
                pass
            if complete is None:
                try:
                    if message["type"] == "http.request":
                        body = message.get("body", b"")
                        size += len(body)
                        if size > max_body:
                            complete = False
                            chunks.clear()
                            c.turn_away("too_large")
                        else:
                            if body:
                                chunks.append(body)
                            if not message.get("more_body", False):
                                complete = True
                    else:  # disconnected before the whole body
                        complete = False
                        c.turn_away("disconnected")
                except Exception:  # whatever the message holds, vLLM gets it as it came
                    complete = False
                    c.turn_away("error")
            return message

        async def gate(message):
            nonlocal started, complete, answered
            if not started and message["type"] == "http.response.start":
                started = True
                try:
                    if complete:
                        if 200 <= message["status"] < 300:
                            answered = True
                        else:
                            c.turn_away("rejected_by_vllm")
                    elif complete is None:  # answered without reading the body
                        c.turn_away("rejected_by_vllm")
                    complete = False
                except Exception:
                    pass
            elif answered and message["type"] == "http.response.body":
                body = message.get("body", b"")
                if body or not message.get("more_body", False):
                    answered = False
                    try:
                        c.submit(chunks, (response_id(body), client_id))
                    except Exception:
                        pass
            await send(message)

        try:
            await self.app(scope, tee, gate)
        finally:
            if answered:  # the app ended without a body
                c.submit(chunks, (None, client_id))
            if not started and complete is not False:
                # No response at all: the client left, or the app raised.
                c.turn_away("disconnected" if disconnected else "rejected_by_vllm")
