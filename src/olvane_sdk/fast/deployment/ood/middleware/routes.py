"""The paths the middleware watches and serves; the commands, the demo and
the tests take them from here."""
from __future__ import annotations

CHAT_PATH = "/v1/chat/completions"
SHIFT_PATH = "/v1/shift"
OUTLIERS_PATH = "/v1/shift/outliers"
HISTORY_PATH = "/v1/shift/history"
UI_PATH = "/v1/shift/ui"
SAMPLES_PATH = "/v1/shift/samples"
