/* Uses a few exports that need no device, to prove the package links and loads. */
#include <stdio.h>
#include <string.h>

#include "Vevara_Rovo_dar.h"

int main(void) {
    char text[16];
    if (_SnConvertUint2Agt(0x8D0123, text, sizeof text) != 0 || strcmp(text, "KV47D00291") != 0) return 1;
    printf("%s, PC-FOS interface %08X, error 5: %s\n", text, (unsigned)_GetCompatibleFOSVersions(),
           _GetErrorString(VELKOR_ERR_NOT_CONNECTED));
    return 0;
}
