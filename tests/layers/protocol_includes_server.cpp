// Must not compile: the protocol layer includes a header of the server.
#include "server/usbfax.h"
