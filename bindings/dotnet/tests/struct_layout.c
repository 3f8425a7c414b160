/* Writes the size of each structure of the header and the offset of each of
 * its fields, one per line ("TAddress 5", "TAddress.area 4"), into the file
 * named by the argument: the layouts the .NET declarations must match. */
#include <stddef.h>
#include <stdio.h>

#include "Vevara_Rovo_dar.h"

#define SIZE(type) fprintf(out, "%s %zu\n", #type, sizeof(type))
#define OFFSET(type, field) fprintf(out, "%s.%s %zu\n", #type, #field, offsetof(type, field))

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
        return 2;
    }
    FILE *out = fopen(argv[1], "w");
    if (out == NULL) {
        perror(argv[1]);
        return 1;
    }
    SIZE(TDROVAInfo);
    OFFSET(TDROVAInfo, fosIfcVersion);
    OFFSET(TDROVAInfo, deviceName);
    OFFSET(TDROVAInfo, status);
    OFFSET(TDROVAInfo, serialNumber);
    OFFSET(TDROVAInfo, hwVersion);
    OFFSET(TDROVAInfo, autostartAppId);
    OFFSET(TDROVAInfo, reserved);
    OFFSET(TDROVAInfo, devicePath);
    SIZE(TAddress);
    OFFSET(TAddress, address);
    OFFSET(TAddress, area);
    SIZE(BinBlock);
    OFFSET(BinBlock, Address);
    OFFSET(BinBlock, Length);
    OFFSET(BinBlock, Data);
    SIZE(TStrings);
    OFFSET(TStrings, context);
    OFFSET(TStrings, clear);
    OFFSET(TStrings, add);
    SIZE(TDCTree);
    OFFSET(TDCTree, context);
    OFFSET(TDCTree, getFirstNode);
    OFFSET(TDCTree, getFirstChild);
    OFFSET(TDCTree, getNextSibling);
    OFFSET(TDCTree, getParent);
    OFFSET(TDCTree, getData);
    OFFSET(TDCTree, setStateIndex);
    return fclose(out) == 0 ? 0 : 1;
}
