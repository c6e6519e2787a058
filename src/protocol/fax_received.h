// Received faxes and the fax log: count, list, download, remove, and read the
// log entry of a fax. Each operation runs one access cycle of its own.
#ifndef TESSALINE_PROTOCOL_FAX_RECEIVED_H
#define TESSALINE_PROTOCOL_FAX_RECEIVED_H

#include <cstdint>
#include <memory>

#include <tessaline/fax_types.h>

#include "protocol/fax_packet.h"

// The names of the device's received faxes: the payload of one list reply,
// and where each name starts in it (at most MAX_RECEIVED_FAXES).
struct ReceivedFaxNames {
    std::unique_ptr<std::uint8_t[]> payload;
    std::uint32_t length = 0;
    std::uint32_t count = 0;
    std::uint32_t offsets[MAX_RECEIVED_FAXES] = {};
};

FAXRESULT FetchReceivedFaxNames(ReceivedFaxNames& names);

// Reads a download announced with `size` bytes into `buffer`: data blocks,
// each a header and its bytes, then a closing header.
FAXRESULT ReceiveFaxData(FAX_DEVICE* device, std::uint8_t* buffer, std::uint32_t size);

// Stores a downloaded fax; a size of 1 or less is refused and writes nothing.
FAXRESULT WriteWholeFile(const char* path, const std::uint8_t* buffer, std::uint32_t size);

FAXRESULT DeviceGetReceivedFaxCount(std::uint32_t* count);
FAXRESULT DeviceGetReceivedFaxList(FAX_FILENAME* entries, std::uint32_t capacity);
FAXRESULT DeviceGetReceivedFax(const FAX_FILENAME* fax, const char* localPath);
FAXRESULT DeviceRemoveReceivedFax(const FAX_FILENAME* fax);
FAXRESULT DeviceGetFaxLogEntry(const FAX_FILENAME* fax, FAX_LOG_ENTRY* entry);

#endif
