// Exports that start and end the session and report its values.
#include "Vevara_Rovo_dar.h"
#include "session/session.h"

using velkor::Session;

extern "C" {

VELKOR_API int VELKOR_CALL _Initialize(VelkorCallback callback, VelkorWindow window, unsigned message) {
    return Session::instance().initialize(callback, window, message);
}

VELKOR_API int VELKOR_CALL _Close(void) { return Session::instance().close(); }

VELKOR_API int VELKOR_CALL _IsConnected(void) {
    return Session::instance().connection_state() == velkor::kConnected ? 1 : 0;
}

VELKOR_API int VELKOR_CALL _GetRandomId(void) { return static_cast<int>(Session::instance().random_id.load()); }

VELKOR_API TDROVAInfo *VELKOR_CALL _GetConnectInfo(void) { return &Session::instance().connected_device; }

VELKOR_API bool8 VELKOR_CALL _IsInSubnet(const TDROVAInfo *) { return 1; }

VELKOR_API void VELKOR_CALL _SetUdpPortToRegistry(void) {}

VELKOR_API int VELKOR_CALL _GetUdpPortFromRegistry(void) { return 0; }

}  // extern "C"
