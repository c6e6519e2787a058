// The settings, password and receive-settings operations, and the settings
// record's conversion to and from its wire form.
#include "protocol/fax_settings.h"

#include <cstring>

#include "protocol/access_cycle.h"

void SettingsToWire(const DEFAULT_FAX_SETTINGS& in, FAX_SETTINGS_WIRE& out) {
    CopyTextField(out.Password, in.Password, sizeof(out.Password));
    CopyTextField(out.Prefix, in.Prefix, sizeof(out.Prefix));
    CopyTextField(out.OutsideLineAccess, in.OutsideLineAccess, sizeof(out.OutsideLineAccess));
    CopyTextField(out.FaxName, in.FaxName, sizeof(out.FaxName));
    CopyTextField(out.FaxNumber, in.FaxNumber, sizeof(out.FaxNumber));
    // The words travel as the caller stored them: no value is checked or
    // given a default, so an enumerator out of range reaches the device.
    wire::StoreBE32(out.RingPattern, static_cast<std::uint32_t>(in.RingPattern));
    wire::StoreBE32(out.PulseDialing, in.PulseDialing);
    wire::StoreBE32(out.bThumbFirst, in.bThumbFirst);
    wire::StoreBE32(out.bPrintConfigReport, in.bPrintConfigReport);
    wire::StoreBE32(out.AutoAnswer, static_cast<std::uint32_t>(in.AutoAnswer));
    CopyTextField(out.DeviceDateTime, in.DeviceDateTime, sizeof(out.DeviceDateTime));
}

void SettingsFromWire(const FAX_SETTINGS_WIRE& in, DEFAULT_FAX_SETTINGS& out) {
    CopyTextField(out.Password, in.Password, sizeof(out.Password));
    CopyTextField(out.Prefix, in.Prefix, sizeof(out.Prefix));
    CopyTextField(out.OutsideLineAccess, in.OutsideLineAccess, sizeof(out.OutsideLineAccess));
    CopyTextField(out.FaxName, in.FaxName, sizeof(out.FaxName));
    CopyTextField(out.FaxNumber, in.FaxNumber, sizeof(out.FaxNumber));
    // Whatever the device reports is handed back unchanged.
    out.RingPattern = static_cast<FAX_RING_PATTERN>(wire::LoadBE32(in.RingPattern));
    out.PulseDialing = wire::LoadBE32(in.PulseDialing);
    out.bThumbFirst = wire::LoadBE32(in.bThumbFirst);
    out.bPrintConfigReport = wire::LoadBE32(in.bPrintConfigReport);
    out.AutoAnswer = static_cast<FAX_ANSWER_MODE>(wire::LoadBE32(in.AutoAnswer));
    CopyTextField(out.DeviceDateTime, in.DeviceDateTime, sizeof(out.DeviceDateTime));
}

FAXRESULT DeviceReadFaxSettings(DEFAULT_FAX_SETTINGS* settings) {
    if (!settings) return FAXRESULT_NULLPOINTER;
    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;  // the caller's record is untouched

    FAX_PACKET_HEADER header;
    BuildFaxHeader(&header, FAXCMD_READ_SETTINGS, 0, 0);
    // Cleared first, so that fields a short reply does not reach come out
    // empty and zero rather than as stack garbage.
    FAX_SETTINGS_WIRE staging;
    std::memset(&staging, 0, sizeof(staging));
    const FAXRESULT r = ReadReplyData(cycle.device(), &header, &staging, sizeof(staging));
    // Converted whatever the exchange gave: after BADREPLY the record holds
    // the first 308 bytes of the longer reply.
    SettingsFromWire(staging, *settings);
    return r;
}

FAXRESULT DeviceSaveFaxSettings(const DEFAULT_FAX_SETTINGS* settings) {
    if (!settings) return FAXRESULT_NULLPOINTER;

    // A full read first, in an access cycle of its own: the device must
    // answer it cleanly before anything is saved. What it read is not kept.
    DEFAULT_FAX_SETTINGS current;
    if (FAXRESULT r = DeviceReadFaxSettings(&current); r != FAXRESULT_OK) return r;

    // Every field of the record sent comes from the caller; the bytes after
    // each text's terminator are zero, so nothing of an earlier value (an old
    // password's tail, say) travels with it.
    FAX_SETTINGS_WIRE staging;
    std::memset(&staging, 0, sizeof(staging));
    SettingsToWire(*settings, staging);

    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;
    FAX_PACKET_HEADER header;
    BuildFaxHeader(&header, FAXCMD_SAVE_SETTINGS, 0, 0);
    SetHeaderDataLength(header, sizeof(staging));
    return SendCommandWithData(cycle.device(), &header, &staging, sizeof(staging));
}

FAXRESULT DeviceCheckFaxPasswordSet(std::uint8_t* isSet) {
    if (!isSet) return FAXRESULT_NULLPOINTER;
    FAX_PACKET_HEADER header;
    const FAXRESULT r = QueryDevice(&header, FAXCMD_PASSWORD_SET);
    *isSet = 0;
    if (r == FAXRESULT_OK) {
        *isSet = 1;
        return FAXRESULT_OK;
    }
    // Status 1 with Command 7: the device has no password. That is an
    // answer, not a failure.
    if (r == FAXRESULT_FALSE) return FAXRESULT_OK;
    return r;
}

FAXRESULT DeviceCheckFaxPassword(const char* password, std::uint8_t* passed) {
    if (!passed) return FAXRESULT_NULLPOINTER;
    *passed = 0;
    if (!password) return FAXRESULT_NULLPOINTER;

    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;
    FAX_PACKET_HEADER header;
    BuildFaxHeader(&header, FAXCMD_CHECK_PASSWORD, 0, 0);
    // At most 31 characters and the zero, which the length counts.
    char buffer[32];
    CopyTextField(buffer, password, sizeof(buffer));
    const auto length = static_cast<std::uint32_t>(std::strlen(buffer) + 1);
    SetHeaderDataLength(header, length);

    FAXRESULT r = SendCommandWithData(cycle.device(), &header, buffer, length);
    if (r == FAXRESULT_FALSE) {
        r = FAXRESULT_OK;  // Status 1 with Command 8: a wrong password, answered
    } else if (r == FAXRESULT_OK) {
        *passed = 1;
    }
    return r;
}

FAXRESULT DeviceGetFaxReceiveSettings(std::uint32_t* value) {
    if (!value) return FAXRESULT_NULLPOINTER;
    // Zeroed, so that the value read below is defined even when no exchange
    // took place.
    FAX_PACKET_HEADER header;
    std::memset(&header, 0, sizeof(header));
    const FAXRESULT r = QueryDevice(&header, FAXCMD_RECEIVE_SETTINGS);
    *value = HeaderParam1(header);  // meaningful only when r is FAXRESULT_OK
    return r;
}
