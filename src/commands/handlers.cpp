// The response and time-out handler of each command state.
#include "session/session.h"
#include "commands/application_control.h"
#include "commands/flash_programming.h"
#include "commands/information_queries.h"
#include "commands/link_upkeep.h"
#include "commands/search.h"
#include "commands/serial_number.h"
#include "protocol/connect.h"

namespace velkor {

void install_command_handlers(HandlerTable &table) {
    table[kErase] = {on_erase_answer, on_erase_timeout, VELKOR_EV_ERASE};
    table[kProgram] = {on_program_answer, on_program_timeout, VELKOR_EV_PROGRAM};
    table[kCheckSum] = {on_checksum_answer, on_checksum_timeout, VELKOR_EV_CHECKSUM};
    table[kPrgData] = {on_program_data_answer, on_program_data_timeout, VELKOR_EV_PRGDATA};
    table[kAddress] = {on_address_answer, on_address_timeout, VELKOR_EV_ADDRESS};
    table[kWrsn] = {on_write_serial_answer, on_write_serial_timeout, VELKOR_EV_WRSN};
    table[kFlashInfo] = {on_flash_info_answer, on_flash_info_timeout, VELKOR_EV_FLASHINFO};
    table[kAutoStart] = {on_auto_start_answer, on_auto_start_timeout, VELKOR_EV_AUTOSTART};
    table[kAppInfo] = {on_app_info_answer, on_app_info_timeout, VELKOR_EV_APPINFO};
    table[kStartApp] = {on_start_app_answer, on_start_app_timeout, VELKOR_EV_STARTAPP};
    table[kConnect] = {protocol::on_connect_answer, protocol::on_connect_timeout, VELKOR_EV_CONNECT};
    // The end of the connection is the disconnect's outcome, and a lost
    // connection is the keep-alive's.
    table[kDisconnect] = {protocol::on_disconnect_answer, protocol::on_disconnect_timeout};
    table[kSearch] = {on_search_answer, on_search_period_end};
    table[kKeepAlive] = {on_keepalive_answer, on_keepalive_timeout};
    table[kReadInfo] = {on_read_info_answer, on_read_info_timeout, VELKOR_EV_READINFO};
}

}  // namespace velkor
