// Exports that explain errors.
#include "Vevara_Rovo_dar.h"
#include "session/error_text.h"
#include "session/session.h"

extern "C" {

VELKOR_API const char *VELKOR_CALL _GetErrorString(int code) { return velkor::error_text(code); }

VELKOR_API u32 *VELKOR_CALL _GetConnectErrorInfo(void) { return velkor::Session::instance().connect_error.data(); }

}  // extern "C"
