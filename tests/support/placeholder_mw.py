"""A stand-in for the integration's middleware while it is being written:
collects 2xx chat completions into the module's handler and answers
/v1/shift itself (no key check)."""
import json
import os
import threading

from olvane_sdk.fast.deployment.ood.interceptor import olvane_shift_detection_handler as H

_ready = threading.Event()


def _init():
    d = os.environ["OLVANE_SHIFT_RECIPES"]
    H.init_models({n: os.path.join(d, n) for n in os.listdir(d)})
    _ready.set()


class Placeholder:
    def __init__(self, app):
        self.app = app
        threading.Thread(target=_init, daemon=True).start()

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        if scope["path"] == "/v1/shift":
            from olvane_sdk.fast.deployment.ood.report import shift_report
            with H.embedding_lock:
                counts = {m: {k: len(v.get("live", [])) for k, v in e.items()} for m, e in H.live_embeddings.items()}
            rep = shift_report(H).to_dict() if _ready.is_set() else None
            body = json.dumps({"ready": _ready.is_set(), "live_counts": counts, "intake": {}, "report": rep,
                               "report_seconds": 0.0}).encode()
            await send({"type": "http.response.start", "status": 200,
                        "headers": [(b"content-type", b"application/json")]})
            return await send({"type": "http.response.body", "body": body})
        if scope["path"] != "/v1/chat/completions" or scope["method"] != "POST":
            return await self.app(scope, receive, send)
        chunks, more = [], True
        while more:
            m = await receive()
            chunks.append(m.get("body", b""))
            more = m.get("more_body", False)
        body = b"".join(chunks)
        sent = False

        async def replay():
            nonlocal sent
            if not sent:
                sent = True
                return {"type": "http.request", "body": body, "more_body": False}
            return await receive()

        async def send2(msg):
            if msg["type"] == "http.response.start" and 200 <= msg["status"] < 300:
                from vllm.entrypoints.openai.protocol import ChatCompletionRequest
                H.handle_chat_completion_request(ChatCompletionRequest.model_validate_json(body))
            await send(msg)

        await self.app(scope, replay, send2)
