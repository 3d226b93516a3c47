/* Starts and stops callgrind's instrumentation from Python (ctypes), so that
 * `valgrind --tool=callgrind --instr-atstart=no` counts the instructions of
 * the measured loop alone, not those of the interpreter's start and imports.
 * Built by benchmarks/run.py (gcc -shared -fPIC); a no-op outside valgrind. */
#include <valgrind/callgrind.h>

void cg_start(void) { CALLGRIND_ZERO_STATS; CALLGRIND_START_INSTRUMENTATION; }
void cg_stop(void) { CALLGRIND_STOP_INSTRUMENTATION; CALLGRIND_DUMP_STATS_AT("measured"); }
