// Recipe loading: read each recipe's configuration and reference embeddings,
// load every embedding model they need (ONNX backend, once per name and call),
// then publish the model maps whole and print a summary per served model.
#include "core/console.hpp"
#include "core/error.hpp"
#include "core/guard.hpp"
#include "core/names.hpp"
#include "core/object.hpp"
#include "core/process.hpp"
#include "core/ref.hpp"
#include "core/with.hpp"
#include "handler/bodies.hpp"

#include <sys/stat.h>

#include <utility>

namespace interceptor {

namespace {

// The four maps a call builds privately before publishing them.
struct Maps {
    Ref embedding_models = new_dict();
    Ref train_test_embeddings = new_dict();
    Ref vllm_to_embedding_model_map = new_dict();
    Ref text_prefixes = new_dict();
};

// One recipe's configuration, as read by the config stage.
struct RecipeConfig {
    Ref text_model_name;
    Ref image_model_name;
};

// A recipe stage: `except Exception as e` reports "<head><k>:[/red] <e>".
template <class Body>
bool stage(PyObject* head, PyObject* k, Body&& body) {
    if (attempt(body)) return true;
    report_exception([&] {
        Ref k_text = shown(k);
        return join({head, k_text.get(), ICPT_LIT(":[/red] ")});
    });
    return false;
}

// os.path.join(path, *components)
template <class... Components>
Ref recipe_file(PyObject* path, Components... components) {
    Ref os = global(names.os);
    Ref os_path = getattr(os.get(), names.path);
    return call_method(os_path.get(), names.join, path, components...);
}

// What one recipe may cost to load: each array of its embeddings archives, as
// the archive says it inflates, before anything is inflated. 1 GiB holds
// 700,000 embeddings of 384 floats, while a few megabytes of archive can
// inflate to gigabytes, which a loaded recipe would hold for the process's life.
constexpr long long kRecipeArrayBytes = 1LL << 30;

// A FIFO or a device in place of a recipe file would block the load or never
// end it; a path that does not exist is left to the open that reports it.
void require_regular_file(PyObject* path) {
    PyObject* raw = nullptr;
    check(PyUnicode_FSConverter(path, &raw) ? 0 : -1);
    Ref encoded = Ref::steal(raw);
    struct stat st;
    if (::stat(PyBytes_AS_STRING(encoded.get()), &st) == 0 && !S_ISREG(st.st_mode)) {
        PyErr_Format(PyExc_ValueError, "%R is not a regular file", path);
        throw PyErrSet{};
    }
}

// np.load of an archive reads nothing yet; each member's inflated size is in
// the archive's directory, and zipfile never yields more than that.
void check_archive(PyObject* loaded, PyObject* path) {
    Ref zip = lookup_attr(loaded, names.zip);
    if (!zip || zip.get() == Py_None) return;  // not an archive: np.load has read it already
    Ref members = call_method(zip.get(), names.infolist);
    for_each(members.get(), [&](PyObject* info) {
        Ref size_obj = getattr(info, names.file_size);
        const long long size = PyLong_AsLongLong(size_obj.get());
        if (size == -1 && PyErr_Occurred()) throw PyErrSet{};
        if (size > kRecipeArrayBytes) {
            Ref member = getattr(info, names.filename);
            PyErr_Format(PyExc_ValueError, "%S in %R inflates to %lld bytes, over the limit of %lld", member.get(),
                         path, size, kRecipeArrayBytes);
            throw PyErrSet{};
        }
    });
}

// np.load(path), a regular file whose arrays are within the limit.
Ref load_embeddings(PyObject* path) {
    require_regular_file(path);
    Ref np = global(names.np);
    Ref loaded = call_method(np.get(), names.load, path);
    check_archive(loaded.get(), path);
    return loaded;
}

void load_config(PyObject* config_path, PyObject* k, Maps& maps, RecipeConfig& out) {
    require_regular_file(config_path);
    Ref open = global(names.open);
    Ref file = call(open.get(), config_path);
    with(file.get(), [&](PyObject* f) {
        Ref json = global(names.json);
        Ref cfg = call_method(json.get(), names.load, f);
        Ref text_model_name = getitem(getitem(cfg.get(), names.embeddings).get(), names.text_model_name);
        Ref image_model_name = getitem(getitem(cfg.get(), names.embeddings).get(), names.image_model_name);
        Ref text_prefix =
            call_method(getitem(cfg.get(), names.embeddings).get(), names.get, names.text_prefix, names.query_prefix);
        // It goes in front of every live text: null or a number there would be
        // embedded as "None..." or "12345...", unlike the recipe's own texts.
        if (!PyUnicode_Check(text_prefix.get())) {
            PyErr_Format(PyExc_TypeError, "text_prefix must be a string, not %.200s", Py_TYPE(text_prefix.get())->tp_name);
            throw PyErrSet{};
        }
        Ref mapping = new_dict();
        setitem(mapping.get(), names.text, text_model_name.get());
        setitem(mapping.get(), names.image, image_model_name.get());
        setitem(maps.vllm_to_embedding_model_map.get(), k, mapping.get());
        setitem(maps.text_prefixes.get(), k, text_prefix.get());
        out.text_model_name = std::move(text_model_name);
        out.image_model_name = std::move(image_model_name);
    });
}

// embedding_models[name] = SentenceTransformer(name, backend="onnx"), once per name.
void ensure_model(Maps& maps, PyObject* model_name) {
    if (contains(maps.embedding_models.get(), model_name)) return;
    Ref factory = global(names.SentenceTransformer);
    Ref model = call_kw(factory.get(), names.kw_backend, model_name, names.onnx);
    setitem(maps.embedding_models.get(), model_name, model.get());
}

// {"train": X, "train_roles": roles, "test": test}
Ref modality_entry(PyObject* train, PyObject* roles, PyObject* test) {
    Ref entry = new_dict();
    setitem(entry.get(), names.train, train);
    setitem(entry.get(), names.train_roles, roles);
    setitem(entry.get(), names.test, test);
    return entry;
}

void load_recipe(PyObject* recipe_paths, PyObject* k, Maps& maps, PyObject* progress, PyObject* task) {
    Ref path = getitem(recipe_paths, k);
    Ref embedding_path = recipe_file(path.get(), names.data, names.distribution, names.train, names.npz_name);
    Ref embedding_path_test = recipe_file(path.get(), names.data, names.distribution, names.test, names.npz_name);
    Ref config_path = recipe_file(path.get(), names.data, names.distribution, names.config_name);

    RecipeConfig cfg;
    if (!stage(ICPT_LIT("[red]Error loading config for "), k,
               [&] { load_config(config_path.get(), k, maps, cfg); }))
        return;

    Ref arr, arr_test;
    if (!stage(ICPT_LIT("[red]Error loading embeddings for "), k, [&] {
            arr = load_embeddings(embedding_path.get());
            arr_test = load_embeddings(embedding_path_test.get());
        }))
        return;

    setitem(maps.train_test_embeddings.get(), k, new_dict().get());

    if (contains(arr.get(), names.text_embeddings)) {
        stage(ICPT_LIT("[red]Error processing text embeddings for "), k, [&] {
            Ref X = getitem(arr.get(), names.text_embeddings);
            Ref X_roles = getitem(arr.get(), names.text_roles);
            ensure_model(maps, cfg.text_model_name.get());
            Ref test = getitem(arr_test.get(), names.text_embeddings);
            Ref entry = modality_entry(X.get(), X_roles.get(), test.get());
            setitem(getitem(maps.train_test_embeddings.get(), k).get(), names.text, entry.get());
        });
    }
    if (contains(arr.get(), names.image_embeddings)) {
        stage(ICPT_LIT("[red]Error processing image embeddings for "), k, [&] {
            Ref X = getitem(arr.get(), names.image_embeddings);
            ensure_model(maps, cfg.image_model_name.get());
            Ref roles = getitem(arr.get(), names.image_roles);
            Ref test = getitem(arr_test.get(), names.image_embeddings);
            Ref entry = modality_entry(X.get(), roles.get(), test.get());
            setitem(getitem(maps.train_test_embeddings.get(), k).get(), names.image, entry.get());
        });
    }
    call_method_kw(progress, names.update, names.kw_advance, task, ICPT_INT(1));
}

void print_summary(PyObject* self) {
    Ref model_map = getattr(self, names.vllm_to_embedding_model_map);
    Ref items = call_method(model_map.get(), names.items);
    for_each(items.get(), [&](PyObject* pair) {
        auto [vllm_model_ref, mapping_ref] = unpack<2>(pair);
        PyObject* vllm_model = vllm_model_ref.get();
        PyObject* mapping = mapping_ref.get();

        Ref model_text = shown(vllm_model);
        console(join({ICPT_LIT("  [green]"), model_text.get(), ICPT_LIT(":[/green]")}).get());
        Ref text_name = shown(call_method(mapping, names.get, names.text, names.none_text).get());
        console(join({ICPT_LIT("    [yellow]Text:[/yellow] "), text_name.get()}).get());
        Ref image_name = shown(call_method(mapping, names.get, names.image, names.none_text).get());
        console(join({ICPT_LIT("    [yellow]Image:[/yellow] "), image_name.get()}).get());
        Ref prefixes = getattr(self, names.text_prefixes);
        Ref prefix = shown(call_method(prefixes.get(), names.get, vllm_model, names.query_prefix).get());
        console(join({ICPT_LIT("    [yellow]Text Prefix:[/yellow] "), prefix.get()}).get());
    });
}

void init_models(PyObject* self, PyObject* recipe_paths) {
    Maps maps;
    Ref progress_cls = global(names.Progress);
    Ref display = call(progress_cls.get());
    with(display.get(), [&](PyObject* progress) {
        Ref keys = call_method(recipe_paths, names.keys);
        Ref total = require(PyLong_FromSsize_t(length(keys.get())));
        Ref task = call_method_kw(progress, names.add_task, names.kw_total, ICPT_LIT("[green]Configuring shift detection..."), total.get());
        for_each(recipe_paths, [&](PyObject* k) { load_recipe(recipe_paths, k, maps, progress, task.get()); });
    });

    setattr(self, names.embedding_models, maps.embedding_models.get());
    setattr(self, names.train_test_embeddings, maps.train_test_embeddings.get());
    setattr(self, names.vllm_to_embedding_model_map, maps.vllm_to_embedding_model_map.get());
    setattr(self, names.text_prefixes, maps.text_prefixes.get());

    print_summary(self);

    // Swap the write indices under the store's lock, so that an add running at
    // this moment never finds its model's entry missing and loses an embedding.
    Ref lock = getattr(self, names.embedding_lock);
    with(lock.get(), [&](PyObject*) { setattr(self, names.embedding_indices, new_dict().get()); });
}

}  // namespace

void handler_init_models(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* recipe_paths = args[1];
    guarded(ICPT_LIT("[red]Error initializing models:[/red] "), [&] { init_models(self, recipe_paths); });
}

}  // namespace interceptor
