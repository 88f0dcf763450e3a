// Built into ThreadSanitizer builds only, into every program that links the host's library.
//
// cpp-httplib comes as a shared library compiled without the sanitizer. Its request-line parser
// keeps the accepted methods in a function-local static set. A worker thread that finds the set
// already built reads it behind the compiler's inline guard check, an acquire the sanitizer
// cannot see, so that worker's first lookup is reported as a race with the worker that built the
// set. The sanitizer therefore leaves unchecked the memory the library touches through the calls
// it intercepts (memcpy, memcmp); the library's locks are still followed, and all of this
// project's code is still checked.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\n";
}
