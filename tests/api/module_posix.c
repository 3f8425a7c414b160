/* The host's handle of the library it loaded, and a pause. */
#include <dlfcn.h>
#include <unistd.h>

#include "Vevara_Rovo_dar.h"

VelkorModule load_library_module(const char *path) { return dlopen(path, RTLD_NOW); }

void pause_ms(unsigned ms) { usleep(ms * 1000u); }
