// The response and time-out handler of each command state.
#include "api/session.h"
#include "commands/application_control.h"
#include "commands/flash_programming.h"
#include "commands/information_queries.h"
#include "commands/link_upkeep.h"
#include "commands/search.h"
#include "commands/serial_number.h"
#include "protocol/connect.h"

namespace velkor {

void install_command_handlers(HandlerTable &table) {
    table[kErase] = {on_erase_answer, on_erase_timeout};
    table[kProgram] = {on_program_answer, on_program_timeout};
    table[kCheckSum] = {on_checksum_answer, on_checksum_timeout};
    table[kPrgData] = {on_program_data_answer, on_program_data_timeout};
    table[kAddress] = {on_address_answer, on_address_timeout};
    table[kWrsn] = {on_write_serial_answer, on_write_serial_timeout};
    table[kFlashInfo] = {on_flash_info_answer, on_flash_info_timeout};
    table[kAutoStart] = {on_auto_start_answer, on_auto_start_timeout};
    table[kAppInfo] = {on_app_info_answer, on_app_info_timeout};
    table[kStartApp] = {on_start_app_answer, on_start_app_timeout};
    table[kConnect] = {protocol::on_connect_answer, protocol::on_connect_timeout};
    table[kDisconnect] = {protocol::on_disconnect_answer, protocol::on_disconnect_timeout};
    table[kSearch] = {on_search_answer, on_search_period_end};
    table[kKeepAlive] = {on_keepalive_answer, on_keepalive_timeout};
    table[kReadInfo] = {on_read_info_answer, on_read_info_timeout};
}

}  // namespace velkor
