/* The records, enumerations and the device's identities must be usable
 * from C hosts: this file only has to compile, as C, with the same layout
 * checks as C++ sees. */
#include <tessaline/fax_device.h>
#include <tessaline/fax_types.h>

DEFAULT_FAX_SETTINGS c_settings_record;
FAX_LOG_ENTRY c_log_record;
const TSL_DEVICE_CLASS* c_fax_channel = &GUID_DEVINTERFACE_FAX_CHANNEL;
const char c_lock_name[] = FAX_DEVICE_ACCESS_LOCK_NAME;
