/* The host's handle of the library it loaded, and a pause. */
#include <windows.h>

#include "Vevara_Rovo_dar.h"

VelkorModule load_library_module(const char *path) { return (VelkorModule)LoadLibraryA(path); }

void pause_ms(unsigned ms) { Sleep(ms); }
