// Texts for error codes, and the device's last reason for refusing to start an
// application (error 17).
#pragma once

namespace velkor {

// The text of error `code`; for unknown codes a text valid until this thread
// asks again.
const char *error_text(int code);

// The device refused to start an application with `status` 0..7: makes that
// status's text the text of error 17. Other statuses change nothing.
void set_application_start_error(int status);

}  // namespace velkor
