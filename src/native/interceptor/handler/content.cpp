// The content step of the worker: a message's text, or its list of content
// parts (text and inline images), embedded by the served model's embedding
// models and stored, each under its own guard, within the limits below.
#include "handler/content.hpp"

#include "core/console.hpp"
#include "core/error.hpp"
#include "core/guard.hpp"
#include "core/names.hpp"
#include "core/object.hpp"
#include "core/process.hpp"
#include "core/ref.hpp"
#include "handler/image_bytes.hpp"

#include <climits>
#include <cstddef>
#include <utility>

namespace interceptor {

namespace {

// Limits: what one message may cost the worker, since the client chooses what
// it embeds. middleware/budget.py charges requests by the same numbers (a test
// reads both).
namespace limits {
// Content parts embedded per message (text and images together); the rest are
// skipped with a notice, so one request cannot fill a model's whole ring.
constexpr int kPartsPerMessage = 4;
// Base64 characters of one image's data, tested before it is decoded.
constexpr Py_ssize_t kImagePayloadChars = Py_ssize_t{8} << 20;
// From the image's header, before its pixels are decoded: the pixel budget,
// the longest side, and the ratio of the long side to the short one (the image
// processor scales the short side up to its input size, so a thin strip grows).
constexpr long long kImagePixels = 2048LL * 2048LL;
constexpr long long kImageSide = 8192;
constexpr long long kImageAspect = 20;
// From the file's structure, before Pillow opens it: costs the pixel count does
// not bound. libjpeg passes over every block once per scan of a progressive
// JPEG; encoders write at most about 18 scans, so 24 passes every ordinary file.
constexpr long long kJpegScans = 24;
// Steps Pillow takes in Python, one at a time, before the first pixel: a JPEG's
// markers, a GIF's data blocks before its first frame, a PNG's chunks.
// Ordinary files have tens to some hundreds.
constexpr long long kImageHeaderSteps = 4096;
// Colour profiles a PNG may carry (the format allows one): Pillow inflates
// each, up to 1 MiB.
constexpr long long kPngProfiles = 1;
// Text is cut once it surely holds this many word pieces (see cap_text below):
// the shipped text model reads 256 with [CLS] and [SEP], so the cut never
// changes what the model reads.
constexpr Py_ssize_t kTextWordPieces = 256;
// And in any case after this many characters: bounds the scan, and the long
// words the tokenizer is slowest on.
constexpr Py_ssize_t kTextChars = Py_ssize_t{8} << 10;
}  // namespace limits

// self.embedding_models.get(name)
Ref lookup_model(PyObject* self, PyObject* model_name) {
    Ref models = getattr(self, names.embedding_models);
    return call_method(models.get(), names.get, model_name);
}

// Where a BERT-style tokenizer (the shipped text model's) always ends a word:
// ASCII whitespace, and every ASCII punctuation character and CJK ideograph,
// each of which is a word of its own.
bool ascii_space(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool ascii_punct(Py_UCS4 c) {
    return (c >= 33 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 96) || (c >= 123 && c <= 126);
}
bool cjk(Py_UCS4 c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x20000 && c <= 0x2A6DF) ||
           (c >= 0x2A700 && c <= 0x2CEAF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

// The text the model would read, without its tail: cut once the text surely
// holds kTextWordPieces word pieces. Every word gives at least one piece (a
// word too long for the vocabulary gives one unknown piece), so a lower bound
// is: one per ASCII punctuation character and CJK ideograph, and one per run
// between those and ASCII whitespace that holds a letter or digit (letters
// and digits survive the tokenizer's cleaning, lower-casing and accent
// stripping; a run may hold more words, never fewer). The cut falls after a
// complete word, so the first kTextWordPieces pieces are the text's own, and
// with the special tokens and any prefix the model keeps fewer than that.
// Whitespace and controls give no piece at all, so a character cap alone could
// not promise this; kTextChars still bounds the scan and the text.
Ref cap_text(Ref text) {
    PyObject* s = text.get();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n <= limits::kTextWordPieces) return text;  // never more pieces than characters
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t end = n < limits::kTextChars ? n : limits::kTextChars;
    Py_ssize_t pieces = 0;
    bool letter_in_run = false;
    for (Py_ssize_t i = 0; i < end; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        const bool own_word = ascii_punct(c) || cjk(c);
        if (own_word || ascii_space(c)) {
            pieces += letter_in_run + own_word;
            letter_in_run = false;
            if (pieces >= limits::kTextWordPieces) return require(PyUnicode_Substring(s, 0, i + 1));
        } else if (!letter_in_run && Py_UNICODE_ISALNUM(c)) {
            letter_in_run = true;
        }
    }
    if (end == n) return text;
    return require(PyUnicode_Substring(s, 0, end));
}

// f"{prefix}{text}", the text cut to what the model can read
Ref prefixed(PyObject* prefix, PyObject* text) {
    Ref a = text_of(prefix);
    Ref b = cap_text(text_of(text));
    return join({a.get(), b.get()});
}

// "<head><name> not found in self.embedding_models[/red]"
template <class Sink>
void model_not_found(Sink& sink, PyObject* head, PyObject* model_name) {
    Ref name_text = shown(model_name);
    sink.line(join({head, name_text.get(), ICPT_LIT(" not found in self.embedding_models[/red]")}).get());
}

// header, b64data = url.split(",", 1)
Ref split_payload(PyObject* url) {
    Ref pieces = call_method(url, names.split, names.comma, ICPT_INT(1));
    auto [header, b64data] = unpack<2>(pieces.get());
    return std::move(b64data);
}

template <class... Args>
[[noreturn]] void refuse_image(const char* format, Args... args) {
    PyErr_Format(PyExc_ValueError, format, args...);
    throw PyErrSet{};
}

// A header value as a number; a value too large for one is over every limit.
long long header_number(PyObject* v) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) throw PyErrSet{};
    return overflow ? (overflow > 0 ? LLONG_MAX : -1) : x;
}

// What an opened image's header says, tested before any pixel is decoded.
// An opener that reports no format or size (not Pillow) is taken at its word.
void check_image_header(PyObject* image) {
    Ref format = lookup_attr(image, names.format);
    if (format && format.get() != Py_None) {
        static const char* const accepted[] = {"PNG", "JPEG", "MPO", "WEBP", "GIF"};  // MPO: a camera's JPEG
        bool ok = false;
        for (const char* name : accepted)
            ok = ok || (PyUnicode_Check(format.get()) && PyUnicode_CompareWithASCIIString(format.get(), name) == 0);
        if (!ok) refuse_image("image format %S is not accepted (PNG, JPEG, WebP or GIF only)", format.get());
    }
    Ref size = lookup_attr(image, names.size);
    if (!size) return;
    Ref seq = require(PySequence_Tuple(size.get()));
    if (PyTuple_GET_SIZE(seq.get()) != 2) {
        PyErr_SetString(PyExc_ValueError, "image size is not a pair");
        throw PyErrSet{};
    }
    const long long w = header_number(PyTuple_GET_ITEM(seq.get(), 0));
    const long long h = header_number(PyTuple_GET_ITEM(seq.get(), 1));
    const long long long_side = w > h ? w : h, short_side = w > h ? h : w;
    if (long_side > limits::kImageSide)
        refuse_image("image side of %lld pixels is over the limit of %lld", long_side, limits::kImageSide);
    if (short_side < 1) refuse_image("image of %lldx%lld pixels is empty", w, h);
    if (w * h > limits::kImagePixels)  // both sides are at most kImageSide here: no overflow
        refuse_image("image of %lldx%lld pixels is over the budget of %lld pixels", w, h, limits::kImagePixels);
    if (long_side > limits::kImageAspect * short_side)
        refuse_image("image of %lldx%lld pixels is longer than %lld:1", w, h, limits::kImageAspect);
}

// What the file's structure would cost Pillow and libjpeg, tested before the
// file is opened. Anything but bytes (a rebound decoder) is taken at its word.
void check_image_structure(PyObject* image_data) {
    if (!PyBytes_Check(image_data)) return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(image_data));
    const ImageStructure s = image_structure(bytes, static_cast<std::size_t>(PyBytes_GET_SIZE(image_data)));
    using Kind = ImageStructure::Kind;
    if (s.kind == Kind::jpeg && s.scans > limits::kJpegScans)
        refuse_image("JPEG image of %lld scans is over the limit of %lld", s.scans, limits::kJpegScans);
    if (s.kind == Kind::jpeg && s.header_steps > limits::kImageHeaderSteps)
        refuse_image("JPEG image with %lld markers before its first scan is over the limit of %lld", s.header_steps,
                     limits::kImageHeaderSteps);
    if (s.kind == Kind::gif && s.header_steps > limits::kImageHeaderSteps)
        refuse_image("GIF image with %lld blocks before its first frame is over the limit of %lld", s.header_steps,
                     limits::kImageHeaderSteps);
    if (s.kind == Kind::png && s.chunks > limits::kImageHeaderSteps)
        refuse_image("PNG image of %lld chunks is over the limit of %lld", s.chunks, limits::kImageHeaderSteps);
    if (s.kind == Kind::png && s.icc_profiles > limits::kPngProfiles)
        refuse_image("PNG image with %lld colour profiles is over the limit of %lld", s.icc_profiles,
                     limits::kPngProfiles);
}

template <class Sink>
void embed_image_part(Sink& sink, PyObject* self, PyObject* url, PyObject* vllm_model_name, PyObject* image_model_name) {
    Ref b64data = split_payload(url);
    if (PyUnicode_Check(b64data.get()) && PyUnicode_GET_LENGTH(b64data.get()) > limits::kImagePayloadChars) {
        PyErr_Format(PyExc_ValueError, "image data of %zd Base64 characters is over the limit of %zd",
                     PyUnicode_GET_LENGTH(b64data.get()), limits::kImagePayloadChars);
        throw PyErrSet{};
    }
    Ref base64 = global(names.base64);
    Ref image_data = call_method(base64.get(), names.b64decode, b64data.get());
    check_image_structure(image_data.get());
    Ref image_module = global(names.Image);
    Ref bytes_io = global(names.BytesIO);
    Ref stream = call(bytes_io.get(), image_data.get());
    Ref image = call_method(image_module.get(), names.open, stream.get());
    check_image_header(image.get());
    Ref image_model = lookup_model(self, image_model_name);
    if (truthy(image_model.get())) {
        sink.embed(self, ICPT_LIT("[red]Error computing image embedding:[/red] "), image_model.get(), image.get(),
                   vllm_model_name, names.image);
    } else {
        model_not_found(sink, ICPT_LIT("[red]Image embedding model "), image_model_name);
    }
}

// One text, behind the prefix, embedded by the text model and stored, under
// its own guard. False when the model is not loaded (after its red line).
template <class Sink>
bool embed_text(Sink& sink, PyObject* self, PyObject* text, PyObject* vllm_model_name, PyObject* text_model_name,
                PyObject* text_prefix, PyObject* guard_line) {
    Ref prefixed_text = prefixed(text_prefix, text);
    Ref text_model = lookup_model(self, text_model_name);
    if (!truthy(text_model.get())) {
        model_not_found(sink, ICPT_LIT("[red]Text embedding model "), text_model_name);
        return false;
    }
    sink.embed(self, guard_line, text_model.get(), prefixed_text.get(), vllm_model_name, names.text);
    return true;
}

bool is_text_part(PyObject* part, PyObject* wanted) {
    Ref type = call_method(part, names.get, names.type);
    int eq = PyObject_RichCompareBool(type.get(), wanted, Py_EQ);
    check(eq);
    return eq == 1;
}

template <class Sink>
void embed_parts(Sink& sink, PyObject* self, PyObject* content, PyObject* vllm_model_name, PyObject* text_model_name,
                 PyObject* image_model_name, PyObject* text_prefix) {
    int embedded = 0;  // parts given to a model so far
    auto within_bound = [&] {
        if (embedded++ < limits::kPartsPerMessage) return true;
        Ref name_text = shown_before_tag(vllm_model_name);
        Ref bound = require(PyUnicode_FromFormat("%d", limits::kPartsPerMessage));
        sink.line(join({ICPT_LIT("[yellow]Content parts after the first "), bound.get(),
                        ICPT_LIT(" of a message skipped for model "), name_text.get(), ICPT_LIT("[/yellow]")})
                      .get());
        return false;
    };
    for_each(content, [&](PyObject* part) {
        if (is_text_part(part, names.text) && truthy(text_model_name)) {
            if (!within_bound()) return false;
            Ref text = call_method(part, names.get, names.text, names.empty);
            embed_text(sink, self, text.get(), vllm_model_name, text_model_name, text_prefix,
                       ICPT_LIT("[red]Error computing text embedding in list:[/red] "));
        } else if (is_text_part(part, names.image_url) && truthy(image_model_name)) {
            Ref empty = new_dict();
            Ref image_url_dict = call_method(part, names.get, names.image_url, empty.get());
            Ref url = call_method(image_url_dict.get(), names.get, names.url, names.empty);
            Ref is_data = call_method(url.get(), names.startswith, names.data_image);
            if (truthy(is_data.get())) {
                if (!within_bound()) return false;
                sink.image_guard(ICPT_LIT("[red]Error processing image:[/red] "), [&] {
                    embed_image_part(sink, self, url.get(), vllm_model_name, image_model_name);
                });
            }
        }
        return true;
    });
}

}  // namespace

void NowSink::line(PyObject* line) { console(line); }

void NowSink::embed(PyObject* self, PyObject* head, PyObject* model, PyObject* input, PyObject* vllm_model_name,
                    PyObject* modality) {
    guarded(head, [&] {
        Ref embedding = call_method(model, names.encode, input);
        call_method(self, names.add_embedding, vllm_model_name, modality, embedding.get());
    });
}

ContentOp& PlanSink::push(ContentOp::Kind kind, PyObject* head) {
    ContentOp& op = ops_.emplace_back();
    op.kind = kind;
    op.head = Ref::borrow(head);
    op.outer = Ref::borrow(outer_);
    return op;
}

void PlanSink::line(PyObject* line) { push(ContentOp::Kind::line, line); }

void PlanSink::embed(PyObject*, PyObject* head, PyObject* model, PyObject* input, PyObject* vllm_model_name,
                     PyObject* modality) {
    ContentOp& op = push(ContentOp::Kind::embed, head);
    op.model = Ref::borrow(model);
    op.input = Ref::borrow(input);
    op.vllm_model_name = Ref::borrow(vllm_model_name);
    op.modality = Ref::borrow(modality);
}

void PlanSink::keep_error(ContentOp::Kind kind, PyObject* head) {
    if (kind == ContentOp::Kind::report && !PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrSet{};
    // The plan grows first, so that nothing fetched is held bare should it fail to grow.
    ContentOp& op = push(kind, head);
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    op.type = Ref::steal(type);
    op.value = Ref::steal(value);
    op.traceback = Ref::steal(tb);
}

template <class Sink>
void embed_message_content(Sink& sink, PyObject* self, PyObject* message, PyObject* vllm_model_name,
                           PyObject* text_model_name, PyObject* image_model_name, PyObject* text_prefix) {
    Ref content = call_method(message, names.get, names.content);
    if (PyUnicode_Check(content.get()) && truthy(text_model_name)) {
        if (!embed_text(sink, self, content.get(), vllm_model_name, text_model_name, text_prefix,
                        ICPT_LIT("[red]Error computing text embedding:[/red] "))) {
            Ref models = getattr(self, names.embedding_models);
            Ref keys = call_method(models.get(), names.keys);
            Ref keys_text = shown_before_tag(keys.get());
            sink.line(join({ICPT_LIT("[red]Available models: "), keys_text.get(), ICPT_LIT("[/red]")}).get());
        }
    } else if (PyList_Check(content.get())) {
        embed_parts(sink, self, content.get(), vllm_model_name, text_model_name, image_model_name, text_prefix);
    }
}

template void embed_message_content<NowSink>(NowSink&, PyObject*, PyObject*, PyObject*, PyObject*, PyObject*,
                                             PyObject*);
template void embed_message_content<PlanSink>(PlanSink&, PyObject*, PyObject*, PyObject*, PyObject*, PyObject*,
                                              PyObject*);

}  // namespace interceptor
