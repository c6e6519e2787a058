// Must not compile: the platform layer includes a header of the transport.
#include "transport/fax_device.h"
