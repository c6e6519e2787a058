// Fax settings and password operations: read and save the device's settings
// record, ask whether a fax password is set, check a password, and read the
// receive-settings value. Each runs in its own access cycle(s) and returns a
// FAXRESULT.
#ifndef TESSALINE_PROTOCOL_FAX_SETTINGS_H
#define TESSALINE_PROTOCOL_FAX_SETTINGS_H

#include <cstddef>
#include <cstdint>

#include <tessaline/fax_types.h>

#include "protocol/fax_packet.h"
#include "protocol/text_field.h"

// The settings record as commands 9 and 10 carry it: the same 308 bytes at
// the same offsets as DEFAULT_FAX_SETTINGS, the five words big-endian.
struct FAX_SETTINGS_WIRE {
    char Password[32];
    char Prefix[32];
    char OutsideLineAccess[32];
    char FaxName[128];
    char FaxNumber[32];
    std::uint8_t RingPattern[4];
    std::uint8_t PulseDialing[4];
    std::uint8_t bThumbFirst[4];
    std::uint8_t bPrintConfigReport[4];
    std::uint8_t AutoAnswer[4];
    char DeviceDateTime[32];
};
static_assert(sizeof(FAX_SETTINGS_WIRE) == 308, "FAX_SETTINGS_WIRE is 308 bytes");
static_assert(offsetof(FAX_SETTINGS_WIRE, FaxName) == offsetof(DEFAULT_FAX_SETTINGS, FaxName));
static_assert(offsetof(FAX_SETTINGS_WIRE, FaxNumber) == offsetof(DEFAULT_FAX_SETTINGS, FaxNumber));
static_assert(offsetof(FAX_SETTINGS_WIRE, RingPattern) == offsetof(DEFAULT_FAX_SETTINGS, RingPattern));
static_assert(offsetof(FAX_SETTINGS_WIRE, PulseDialing) == offsetof(DEFAULT_FAX_SETTINGS, PulseDialing));
static_assert(offsetof(FAX_SETTINGS_WIRE, bThumbFirst) == offsetof(DEFAULT_FAX_SETTINGS, bThumbFirst));
static_assert(offsetof(FAX_SETTINGS_WIRE, bPrintConfigReport) ==
              offsetof(DEFAULT_FAX_SETTINGS, bPrintConfigReport));
static_assert(offsetof(FAX_SETTINGS_WIRE, AutoAnswer) == offsetof(DEFAULT_FAX_SETTINGS, AutoAnswer));
static_assert(offsetof(FAX_SETTINGS_WIRE, DeviceDateTime) == offsetof(DEFAULT_FAX_SETTINGS, DeviceDateTime));

void SettingsToWire(const DEFAULT_FAX_SETTINGS& in, FAX_SETTINGS_WIRE& out);
void SettingsFromWire(const FAX_SETTINGS_WIRE& in, DEFAULT_FAX_SETTINGS& out);

FAXRESULT DeviceReadFaxSettings(DEFAULT_FAX_SETTINGS* settings);
FAXRESULT DeviceSaveFaxSettings(const DEFAULT_FAX_SETTINGS* settings);
// `isSet`, `passed` and `value` must point to valid storage.
FAXRESULT DeviceCheckFaxPasswordSet(std::uint8_t* isSet);
FAXRESULT DeviceCheckFaxPassword(const char* password, std::uint8_t* passed);
FAXRESULT DeviceGetFaxReceiveSettings(std::uint32_t* value);

#endif
