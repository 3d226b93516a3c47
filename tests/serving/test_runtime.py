"""The ONNX Runtime model factory: installed in the module's namespace, it
reaches the real SentenceTransformer with the session options in force, and
the embeddings stay those of the default session."""
import numpy as np
from sentence_transformers import SentenceTransformer

from support import QuietProgress, write_recipe
from olvane_sdk.fast.deployment.ood.demo import models as local_models
from olvane_sdk.fast.deployment.ood.host import OnnxModelFactory, install_model_factory


def session_options(model):
    return model[0].auto_model.session.get_session_options()  # optimum keeps the InferenceSession here


def test_init_models_builds_models_with_the_session_options(mod, handler, console, recipe_root, monkeypatch):
    path, rng = local_models.text_model_dir(), np.random.default_rng(0)
    monkeypatch.setattr(mod, "SentenceTransformer", mod.SentenceTransformer)  # restored afterwards
    monkeypatch.setattr(mod, "Progress", lambda *a, **k: QuietProgress())
    install_model_factory(mod, intra_op_threads=3, allow_spinning=True)
    install_model_factory(mod, inter_op_threads=2)  # replaces the first, never wraps it
    assert mod.SentenceTransformer.model_class is SentenceTransformer
    recipe = write_recipe(recipe_root, "m", config={"embeddings": {"text_model_name": path, "image_model_name": None}},
                          train={"text_embeddings": rng.random((4, 384)), "text_roles": np.array(["user"] * 4)},
                          test={"text_embeddings": rng.random((2, 384))})
    handler.init_models({"m": str(recipe)})
    assert not console.tracebacks, console.lines
    model = handler.embedding_models[path]
    so = session_options(model)
    assert (so.intra_op_num_threads, so.inter_op_num_threads) == (1, 2)
    assert so.get_session_config_entry("session.intra_op.allow_spinning") == "0"
    default = SentenceTransformer(path, backend="onnx")
    assert session_options(default).intra_op_num_threads == 0  # ORT's own choice
    texts = ["How long should I rest a steak?", "Quel temps fait-il à Lyon ?", "def f(x): return x"]
    np.testing.assert_allclose(model.encode(texts), default.encode(texts), rtol=1e-5, atol=1e-6)


def test_other_arguments_and_model_kwargs_are_passed_on():
    record = OnnxModelFactory(lambda *a, **k: (a, k))
    args, kw = record("n", backend="onnx", device="cpu", model_kwargs={"file_name": "f.onnx"})
    assert args == ("n",) and kw["device"] == "cpu" and kw["model_kwargs"].pop("file_name") == "f.onnx"
    assert kw["model_kwargs"].popitem()[1].intra_op_num_threads == 1 and not kw["model_kwargs"]
    # An explicit choice wins; another backend has no use for the options.
    assert record("n", backend="onnx", model_kwargs={"session_options": 7})[1]["model_kwargs"] == {"session_options": 7}
    assert record("n", backend="torch") == (("n",), {"backend": "torch"})
