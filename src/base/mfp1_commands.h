// The command numbers and the reply status words of the MFP1 packet protocol,
// as carried in a header's Command and Status words. The library's protocol
// layer, the simulated firmware, its control channel and the benchmarks use
// these values.
#ifndef TESSALINE_BASE_MFP1_COMMANDS_H
#define TESSALINE_BASE_MFP1_COMMANDS_H

#include <cstdint>

enum FAXCMD : std::uint32_t {
    FAXCMD_SEND_BEGIN = 0,
    FAXCMD_SEND_END = 1,
    FAXCMD_RECIPIENTS = 2,
    FAXCMD_LIST_RECEIVED = 3,
    FAXCMD_GET_RECEIVED = 4,
    FAXCMD_GET_LOG_ENTRY = 5,
    FAXCMD_REMOVE_RECEIVED = 6,
    FAXCMD_PASSWORD_SET = 7,
    FAXCMD_CHECK_PASSWORD = 8,
    FAXCMD_READ_SETTINGS = 9,
    FAXCMD_SAVE_SETTINGS = 10,
    FAXCMD_DATA = 13,
    FAXCMD_RECEIVE_SETTINGS = 14,
};

// The status words a reply carries that the library tells apart; any other
// value is a failure of the operation at hand.
enum DEVSTATUS : std::uint32_t {
    DEVSTATUS_OK = 0,
    DEVSTATUS_NO = 1,
    DEVSTATUS_BUSY = 2,
    DEVSTATUS_FULL = 6,
};

#endif
