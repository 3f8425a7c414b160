// Exports that find devices, claim them and keep the link to them.
#include "Vevara_Rovo_dar.h"
#include "session/session.h"
#include "commands/link_upkeep.h"
#include "commands/search.h"
#include "protocol/connect.h"

using velkor::Session;

extern "C" {

VELKOR_API int VELKOR_CALL _Connect(int serialNumber, int listIndex, u8 mode) {
    return velkor::protocol::connect(Session::instance(), serialNumber, listIndex, mode);
}

VELKOR_API int VELKOR_CALL _Disconnect(void) { return velkor::protocol::disconnect(Session::instance()); }

VELKOR_API int VELKOR_CALL _FindDROVAs(int connectAfterSearch, int, int unitMs) {
    return velkor::find_drovas(Session::instance(), connectAfterSearch, unitMs);
}

VELKOR_API int VELKOR_CALL _GetFoundDevices(TDROVAInfo *dst, int max) {
    return velkor::copy_found_devices(Session::instance(), dst, max);
}

VELKOR_API int VELKOR_CALL _StartNetworkScanning(TStrings *list) {
    return velkor::start_network_scanning(Session::instance(), list);
}

VELKOR_API int VELKOR_CALL _StopNetworkScanning(void) { return velkor::stop_network_scanning(Session::instance()); }

VELKOR_API int VELKOR_CALL _Address(TAddress address) { return velkor::address(Session::instance(), address); }

VELKOR_API int VELKOR_CALL _CommRefresh(void) { return velkor::comm_refresh(Session::instance()); }

VELKOR_API void VELKOR_CALL _DeviceClose(void) { velkor::device_close(Session::instance()); }

VELKOR_API char *VELKOR_CALL _GetDeviceName(void) { return velkor::device_name(); }

}  // extern "C"
