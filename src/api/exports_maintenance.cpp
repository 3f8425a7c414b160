// Exports that maintain the connected device: information queries, flash
// programming, application control and the serial number.
#include <new>

#include "Vevara_Rovo_dar.h"
#include "session/session.h"
#include "commands/application_control.h"
#include "model/bin_list.h"
#include "commands/flash_programming.h"
#include "commands/information_queries.h"
#include "commands/serial_number.h"

using velkor::Session;

extern "C" {

VELKOR_API int VELKOR_CALL _ReadInfo(void) { return velkor::read_info(Session::instance()); }

VELKOR_API int VELKOR_CALL _FlashInfo(void) { return velkor::flash_info(Session::instance()); }

VELKOR_API int VELKOR_CALL _AppInfo(u32 id) { return velkor::app_info(Session::instance(), id); }

VELKOR_API int VELKOR_CALL _GetFlashSectors(void *dst, int max) {
    return velkor::copy_flash_sectors(Session::instance(), dst, max);
}

VELKOR_API int VELKOR_CALL _IsFlashTableComplete(void) { return velkor::flash_table_complete(Session::instance()); }

VELKOR_API TBinList *VELKOR_CALL _BinListCreate(void) { return new (std::nothrow) TBinList; }

VELKOR_API int VELKOR_CALL _BinListAdd(TBinList *list, const BinBlock *block) {
    if (list == nullptr || !velkor::readable(block)) return 1;
    try {
        list->blocks.push_back(velkor::copy_block(*block));
    } catch (const std::bad_alloc &) {
        return 1;
    }
    return 0;
}

VELKOR_API void VELKOR_CALL _BinListFree(TBinList *list) { delete list; }

VELKOR_API int VELKOR_CALL _Erase(u8 sector) { return velkor::erase(Session::instance(), sector); }

VELKOR_API int VELKOR_CALL _Download(int target, TBinList *blocks) {
    return velkor::download(Session::instance(), target, blocks);
}

VELKOR_API int VELKOR_CALL _StopDownload(void) { return velkor::stop_download(Session::instance()); }

VELKOR_API int VELKOR_CALL _PrgData(BinBlock *block) { return velkor::prg_data(Session::instance(), block); }

VELKOR_API int VELKOR_CALL _Program(u64 address, int area) {
    return velkor::program(Session::instance(), address, area);
}

VELKOR_API int VELKOR_CALL _CheckSum(u64 address, u32 length, u8 checksum, int area) {
    return velkor::check_sum(Session::instance(), address, length, checksum, area);
}

VELKOR_API int VELKOR_CALL _StartApp(u32 id) { return velkor::start_app(Session::instance(), id); }

VELKOR_API int VELKOR_CALL _AutoStart(u32 id) { return velkor::auto_start(Session::instance(), id); }

VELKOR_API int VELKOR_CALL _Reset(void) { return velkor::reset_device(Session::instance()); }

VELKOR_API int VELKOR_CALL _Wrsn(u32 sn) { return velkor::write_serial_number(Session::instance(), sn); }

}  // extern "C"
