"""Smoke test of the installed wheel (run by scripts/wheel_check.sh from
outside the checkout): a tiny recipe made on the spot with the installed
`olvane-shift recipe` command, init_models, one real ChatCompletionRequest, and
its embedding waited for and compared with the model's own encoding of the
same text."""
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
from sentence_transformers import SentenceTransformer
from vllm.entrypoints.openai.protocol import ChatCompletionRequest

from olvane_sdk.fast.deployment.ood.interceptor import olvane_shift_detection_handler as ood
from olvane_sdk.fast.deployment.ood.recipe_files.layout import DEFAULT_TEXT_PREFIX

# The tests' tiny text model, built with the installed package's helpers
# (tests/ holds no package source, so the wheel's modules are the ones in use).
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
import tiny_models  # noqa: E402

work = Path(sys.argv[1])
model = tiny_models.tiny_text_model_dir(work / "tiny-text")
texts = [f"what is the {w} of the {v}" for w in ("colour", "size", "name", "age") for v in ("cat", "car", "sky")]
(work / "texts.txt").write_text("\n".join(texts) + "\n")
subprocess.run([Path(sys.executable).with_name("olvane-shift"), "recipe", work / "recipe", "--text-model", model,
                "--texts", work / "texts.txt"], check=True, timeout=300)
ood.init_models({"smoke-chat": str(work / "recipe")})

text = "how big is the house"
ood.handle_chat_completion_request(
    ChatCompletionRequest(model="smoke-chat", messages=[{"role": "user", "content": text}]))

deadline = time.monotonic() + 60
while True:
    with ood.embedding_lock:
        live = list(ood.live_embeddings.get("smoke-chat", {}).get("text", {}).get("live", []))
    if live or time.monotonic() > deadline:
        break
    time.sleep(0.05)
assert len(live) == 1, f"expected one live embedding within 60 s, found {len(live)}"
expected = SentenceTransformer(model, backend="onnx").encode(DEFAULT_TEXT_PREFIX + text)
assert np.allclose(np.asarray(live[0], dtype=np.float32), expected, atol=1e-5), "live embedding differs"
print(f"wheel_smoke.py: one request embedded by the installed wheel ({len(live[0])} floats, matches the model)")
