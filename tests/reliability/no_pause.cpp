// Stands in for the C library's usleep in the reliability tests: the composite device's 20 ms
// pause before each reply would make thousands of cycles take minutes. Exported from the test
// executable, it also stands in for the call inside a plug-in loaded with dlopen.
#include <sys/types.h>

extern "C" int usleep(useconds_t) { return 0; }
