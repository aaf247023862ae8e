// Stand-ins for the handlers of UBSan's vptr and function checks, preloaded
// by the atheris run (make fuzz-python) beside atheris's runtime, which has
// ASan, libFuzzer and UBSan's C part but not these.  The checked module links
// the library that the libFuzzer targets are built from, compiled once with
// every check those targets want; its vptr and function checks call these
// handlers.  Here they check nothing, as the checked module's own layers
// (built without those two checks) do; the libFuzzer targets and the
// sanitizer run, whose runtimes have the real handlers, check them.
//
// A vptr check first looks its type up in __ubsan_vptr_type_cache and calls
// the handler on a miss; the real handler fills the cache, this one leaves
// it empty and returns.  Not instrumented itself (no sanitizer options).
#include <cstdint>

#define STAND_IN __attribute__((visibility("default")))

extern "C" {

STAND_IN std::uintptr_t __ubsan_vptr_type_cache[128];

STAND_IN void __ubsan_handle_dynamic_type_cache_miss_abort(void*, std::uintptr_t, std::uintptr_t) {}

STAND_IN void __ubsan_handle_function_type_mismatch_v1_abort(void*, std::uintptr_t, std::uintptr_t,
                                                              std::uintptr_t) {}

}  // extern "C"
