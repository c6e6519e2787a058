// The two device-control requests the fax channel's driver answers: wait
// for a received-fax event, and fail every request pending on the channel.
// The library, the simulated device and the tests use these values.
#ifndef TESSALINE_BASE_CONTROL_CODES_H
#define TESSALINE_BASE_CONTROL_CODES_H

#include <cstdint>

inline constexpr std::uint32_t IOCTL_WAIT_FOR_RECEIVED_FAX = 0x22E004;
inline constexpr std::uint32_t IOCTL_CANCEL_IO = 0x22A01C;

#endif
