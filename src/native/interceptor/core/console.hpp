// Console lines: values made safe to show, lines joined from pieces, and
// printed with the module's current `print`.
#pragma once

#include "core/ref.hpp"

#include <initializer_list>

namespace interceptor {

// format(value, ""): what an f-string replacement field with no spec gives.
Ref text_of(PyObject* value);
// text_of(value) made safe to place in a console line: characters that no
// console should receive as they are (controls, escape sequences, lone
// surrogates) are shown as backslash escapes, and console markup in it (a
// model name from a request, an exception's text) is escaped, so that it
// shows as written instead of forging a line, restyling it or failing to render.
Ref shown(PyObject* value);
// The same, for a value that a markup tag follows directly in its line.
Ref shown_before_tag(PyObject* value);
// Joins str pieces into one line.
Ref join(std::initializer_list<PyObject*> pieces);
// print(line) with the module's current `print`.
void console(PyObject* line);
// print(line) followed by traceback.print_exc().
void report(PyObject* line);

}  // namespace interceptor
