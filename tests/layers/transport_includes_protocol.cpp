// Must not compile: the transport layer includes a header of the protocol.
#include "protocol/fax_packet.h"
