def scan(body: bytes, /) -> tuple[int, int, bytes] | None:
    """Reads a chat-completion body as strict JSON with the GIL released: None
    when it is not strict JSON or not an object whose messages are arrays;
    else (model_start, model_end, spans), model_start -1 when there is no
    model key, spans four native uint32 per message: its span and its role's
    (0xFFFFFFFF: no role, 0xFFFFFFFE: not an object). The last duplicate key
    wins. Deeper nesting than the interpreter allows raises RecursionError."""
