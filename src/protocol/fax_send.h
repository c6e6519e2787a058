// Sending a fax: one TIFF file, read whole, to a list of recipients, in one
// begin / recipients / data / end transaction under one access cycle.
#ifndef TESSALINE_PROTOCOL_FAX_SEND_H
#define TESSALINE_PROTOCOL_FAX_SEND_H

#include <cstdint>

#include <tessaline/fax_types.h>

#include "platform/file_buffer.h"
#include "protocol/fax_packet.h"

inline constexpr std::uint32_t FAX_DATA_BLOCK_SIZE = 4096;
// The largest recipient count whose list length, 4 + 64 x count, fits the
// header's 32-bit DataLength.
inline constexpr std::uint32_t kMaxRecipients = 67108863;

// FAX_RECIPIENTS_WIRE: RecipientCount (big-endian), then one 64-byte slot per
// record of the caller's array; carried recipients fill the slots from the
// first, and every byte not written by a string is zero.
inline constexpr std::uint32_t RecipientListSize(std::uint32_t numbers) { return 4 + 64 * numbers; }
// Fills `list` (RecipientListSize(numbers) bytes) and returns the count.
std::uint32_t BuildRecipientList(const FAX_RECIPIENT* phoneList, std::uint32_t numbers, std::uint8_t* list);

// Loads a whole local file: a copy of its bytes as they were when read.
// FAXRESULT_READ: it cannot be opened, or fewer bytes arrived than its size;
// FAXRESULT_MEMALLOC; FAXRESULT_FILE: the read call failed. On FAXRESULT_OK
// `data` holds the bytes and their count; on a failure it is empty.
FAXRESULT ReadWholeFile(const char* path, plat::FileBuffer& data);

// Streams `size` bytes as FAXCMD_DATA blocks of at most 4096 bytes and ends
// with the end-of-data header, whose Status reports a failed block. True when
// the end-of-data header went out, so that the device owes a reply to it;
// false when it did not (its write failed, or there was nothing to send).
bool SendFaxData(FAX_DEVICE* device, const std::uint8_t* buffer, std::uint32_t size);

FAXRESULT DeviceSendFax(const FAX_RECIPIENT* phoneList, std::uint32_t ulNumbers, const char* pszFaxTiffFileName);

#endif
