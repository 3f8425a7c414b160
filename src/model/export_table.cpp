#include "model/export_table.h"

#include <array>
#include <atomic>
#include <string>
#include <string_view>

#include "Vevara_Rovo_dar.h"
#include "model/caller_text.h"
#include "platform/platform.h"

namespace velkor {
namespace {

struct Entry {
    const char *name;
    int slot;
};

// In lookup order, with the slot each address goes to.
constexpr std::array<Entry, 36> kEntries{{
    {"_Address", 2},          {"_AutoStart", 3},        {"_CheckSum", 4},
    {"_Download", 5},         {"_Erase", 6},            {"_PrgData", 7},
    {"_Program", 8},          {"_Wrsn", 9},             {"_SnConvertUint2Agt", 10},
    {"_AppInfo", 11},         {"_CommRefresh", 12},     {"_Connect", 13},
    {"_Disconnect", 14},      {"_FlashInfo", 15},       {"_FindDROVAs", 16},
    {"_ReadInfo", 17},        {"_Reset", 18},           {"_StartApp", 19},
    {"_Initialize", 0},       {"_Close", 1},            {"_GetRandomId", 20},
    {"_GetConnectErrorInfo", 25}, {"_GetErrorString", 28}, {"_GetConnectInfo", 26},
    {"_IsInSubnet", 22},      {"_IsConnected", 21},     {"_GetUdpPortFromRegistry", 29},
    {"_SetUdpPortToRegistry", 30}, {"_GetHintAboutDROVA", 27}, {"_IsCompatibleFOSIfcVersion", 23},
    {"_HasCompatibleFWVersion", 24}, {"_GetCompatibleFOSVersions", 31}, {"_ConsistencyCheck", 32},
    {"_IsSupportedFwFeature", 33}, {"_GetDeviceName", 38}, {"_DeviceClose", 39},
}};

constexpr int kFlashSectorListSlot = 36;
constexpr int kFoundDeviceListSlot = 37;

// Hosts read it as a structure of pointers, so it is a plain array.
void *export_table[kExportTableSlots] = {};

}  // namespace

void **check_export_table(SymbolLookup lookup, void *module, char *dst, int max) {
    for (const Entry &entry : kEntries) {
        void *address = lookup(module, entry.name);
        export_table[entry.slot] = address;
        if (address == nullptr) {
            // The library has always named its module this way, whatever was passed.
            const std::string message =
                "Unable to locate " + std::string(entry.name + 1) + " method in doduzerez.eza.";
            copy_to_caller(message, dst, max);
            return nullptr;
        }
    }
    return export_table;
}

void record_session_lists(void *flash_sectors, void *found_devices) {
    export_table[kFlashSectorListSlot] = flash_sectors;
    export_table[kFoundDeviceListSlot] = found_devices;
}

}  // namespace velkor

extern "C" VELKOR_API void **VELKOR_CALL _Test_Version_Compatibility(VelkorModule module, char *dst, int max) {
    return velkor::check_export_table(velkor::platform::find_symbol, module, dst, max);
}
