// The table of entry points that _Test_Version_Compatibility hands a host that
// loaded the library at run time.
#pragma once

namespace velkor {

inline constexpr int kExportTableSlots = 40;

using SymbolLookup = void *(*)(void *module, const char *name);

// Looks the entry points up in `module` in their fixed order, filling the
// table as it goes. Null, with the missing name in `dst`, when one is missing.
void **check_export_table(SymbolLookup lookup, void *module, char *dst, int max);

// Slots 36 and 37: the lists of the running session, or null when none runs.
void record_session_lists(void *flash_sectors, void *found_devices);

}  // namespace velkor
