// Runs one fax operation in a process of its own and prints how it ended, for
// tests that need a second process on the device (a cancel from elsewhere, an
// operation while a wait is pending). The device directory and the lock name
// come from the environment, as for any other process.
//
//   op_helper wait                 -> "<status> <event>" ("<status>" on failure)
//   op_helper cancel               -> "<status>"
//   op_helper read-settings        -> "<status> <FaxName>"
//   op_helper password-set         -> "<status> <flag>"
//   op_helper check-password PW    -> "<status> <flag>"
//   op_helper receive-settings     -> "<status> <value>"
//   op_helper send NUMBER FILE     -> "<status>" (FILE sent to one recipient)
//
// <status> is the FAXSTATUS the automation method would report. Exit code 0
// when the operation ran (whatever its status), 64 for a usage error.
#include <cstdio>
#include <cstring>

#include "protocol/fax_packet.h"
#include "protocol/fax_send.h"
#include "protocol/fax_settings.h"
#include "transport/wait_cancel.h"

namespace {

int Print(FAXSTATUS status) {
    std::printf("%d\n", static_cast<int>(status));
    return 0;
}

int Print(FAXRESULT result, unsigned long value) {
    std::printf("%d %lu\n", static_cast<int>(MapFaxResult(result, FAXSTATUS_CMD_FAIL)), value);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 64;
    const char* op = argv[1];
    int rc = 64;
    if (std::strcmp(op, "wait") == 0) {
        FAX_STATUS_ENUM event = e_NoFaxesAvailable;
        const FAXSTATUS status = WaitForReceivedFax(&event);
        if (status == FAXSTATUS_OK) {
            std::printf("%d %lu\n", static_cast<int>(status),
                        static_cast<unsigned long>(static_cast<std::uint32_t>(event)));
            rc = 0;
        } else {
            rc = Print(status);
        }
    } else if (std::strcmp(op, "cancel") == 0) {
        rc = Print(CancelIO());
    } else if (std::strcmp(op, "read-settings") == 0) {
        DEFAULT_FAX_SETTINGS settings;
        std::memset(&settings, 0, sizeof(settings));
        const FAXRESULT r = DeviceReadFaxSettings(&settings);
        std::printf("%d %s\n", static_cast<int>(MapFaxResult(r, FAXSTATUS_CMD_FAIL)), settings.FaxName);
        rc = 0;
    } else if (std::strcmp(op, "password-set") == 0) {
        std::uint8_t flag = 0;
        rc = Print(DeviceCheckFaxPasswordSet(&flag), flag);
    } else if (std::strcmp(op, "check-password") == 0 && argc > 2) {
        std::uint8_t flag = 0;
        rc = Print(DeviceCheckFaxPassword(argv[2], &flag), flag);
    } else if (std::strcmp(op, "send") == 0 && argc > 3) {
        FAX_RECIPIENT to;
        std::memset(&to, 0, sizeof(to));
        std::strncpy(to.PhoneNumber, argv[2], sizeof(to.PhoneNumber) - 1);
        rc = Print(MapFaxResult(DeviceSendFax(&to, 1, argv[3]), FAXSTATUS_CMD_FAIL));
    } else if (std::strcmp(op, "receive-settings") == 0) {
        std::uint32_t value = 0;
        rc = Print(DeviceGetFaxReceiveSettings(&value), value);
    }
    std::fflush(stdout);
    return rc;
}
