// Console lines: escaping what a value may not put on the console as it is,
// joining pieces, and printing with the module's current `print`.
#include "core/console.hpp"

#include "core/compat.hpp"
#include "core/names.hpp"
#include "core/object.hpp"
#include "core/process.hpp"

#include <vector>

namespace interceptor {

Ref text_of(PyObject* value) { return require(PyObject_Format(value, names.empty)); }

namespace {

bool tag_start(Py_UCS4 c) { return (c >= 'a' && c <= 'z') || c == '#' || c == '/' || c == '@'; }

// Escapes console markup in text the way rich's markup.escape does: every
// `[` that opens something tag-shaped (`[` + one of a-z # / @ + anything up to
// the next `]`, no `[` between) gets a backslash, and the backslashes right
// before it are doubled. When the text is followed by a tag in its line, its
// trailing backslashes are doubled too, so that they neither escape that tag
// nor lose half their number to it.
Ref escape_markup(Ref text, bool before_tag) {
    PyObject* s = text.get();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
    const bool trailing_backslash = before_tag && n > 0 && at(n - 1) == '\\';
    if (PyUnicode_FindChar(s, '[', 0, n, 1) == -1 && !trailing_backslash) return text;

    std::vector<Py_UCS4> out;
    out.reserve(static_cast<size_t>(n) + 8);
    Py_ssize_t copied = 0;  // text before this index is already in `out`
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (at(j) != '[' || j + 1 >= n || !tag_start(at(j + 1))) continue;
        Py_ssize_t k = j + 2;
        while (k < n && at(k) != ']' && at(k) != '[') ++k;
        if (k >= n || at(k) != ']') continue;
        Py_ssize_t run = j;  // backslashes right before `[`, not already copied
        while (run > copied && at(run - 1) == '\\') --run;
        for (Py_ssize_t i = copied; i < j; ++i) out.push_back(at(i));
        for (Py_ssize_t i = run; i < j; ++i) out.push_back('\\');
        out.push_back('\\');
        for (Py_ssize_t i = j; i <= k; ++i) out.push_back(at(i));
        copied = k + 1;
        j = k;
    }
    Py_ssize_t tail = n;  // start of the trailing run of backslashes
    if (trailing_backslash)
        while (tail > copied && at(tail - 1) == '\\') --tail;
    for (Py_ssize_t i = copied; i < n; ++i) {
        out.push_back(at(i));
        if (i >= tail) out.push_back('\\');
    }
    return require(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

// Characters a value may not put on the console as they are: C0 and C1
// controls and DEL (a newline forges a line, ESC starts a terminal sequence),
// lone surrogates (no encoding can write them: rich fails on them and keeps
// them in its buffer), the line and paragraph separators and the bidi
// overrides and isolates (they reorder what the rest of the line shows).
bool unprintable(Py_UCS4 c) {
    return c < 0x20 || (c >= 0x7f && c < 0xa0) || (c >= 0xd800 && c <= 0xdfff) || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

// Shows those characters as Python's backslash escapes (\n, \x1b, \ud800);
// everything else, accents and CJK included, stays as it is.
Ref printable(Ref text) {
    PyObject* s = text.get();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t first = 0;
    while (first < n && !unprintable(PyUnicode_READ(kind, data, first))) ++first;
    if (first == n) return text;

    static const char hex[] = "0123456789abcdef";
    std::vector<Py_UCS4> out;
    out.reserve(static_cast<size_t>(n) + 16);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (i < first || !unprintable(c)) {
            out.push_back(c);
            continue;
        }
        out.push_back('\\');
        if (c == '\n' || c == '\r' || c == '\t') {
            out.push_back(c == '\n' ? 'n' : c == '\r' ? 'r' : 't');
            continue;
        }
        const int digits = c < 0x100 ? 2 : 4;
        out.push_back(c < 0x100 ? 'x' : 'u');
        for (int d = digits - 1; d >= 0; --d) out.push_back(static_cast<Py_UCS4>(hex[(c >> (4 * d)) & 0xf]));
    }
    return require(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

}  // namespace

Ref shown(PyObject* value) { return escape_markup(printable(text_of(value)), false); }
Ref shown_before_tag(PyObject* value) { return escape_markup(printable(text_of(value)), true); }

Ref join(std::initializer_list<PyObject*> pieces) {
    return require(compat::unicode_join(names.empty, pieces.begin(), static_cast<Py_ssize_t>(pieces.size())));
}

void console(PyObject* line) {
    Ref print = global(names.print);
    call(print.get(), line);
}

void report(PyObject* line) {
    console(line);
    Ref tb = global(names.traceback);
    call_method(tb.get(), names.print_exc);
}

}  // namespace interceptor
