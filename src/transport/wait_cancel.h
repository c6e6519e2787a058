// The two requests that leave the packet protocol and go to the fax
// channel's driver: wait for a received-fax event, and cancel pending I/O.
#ifndef TESSALINE_TRANSPORT_WAIT_CANCEL_H
#define TESSALINE_TRANSPORT_WAIT_CANCEL_H

#include <cstdint>

#include <tessaline/fax_types.h>

#include "base/control_codes.h"


// Blocks until the device reports a fax event and stores it through
// `pReceivedStatus`. Returns the status for the caller: 0; 5 for a null
// `pReceivedStatus` or no memory; 7 when the lock or the channel cannot be
// had; 2 when the driver fails the request (a cancel does that).
FAXSTATUS WaitForReceivedFax(FAX_STATUS_ENUM* pReceivedStatus);

// Asks the driver to fail every request pending on the fax channel, on a
// handle of its own and without the access lock. 0, 5 when the channel cannot
// be opened, 2 when the driver fails the request.
FAXSTATUS CancelIO();

#endif
