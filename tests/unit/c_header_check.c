/* The records and enumerations must be usable from C hosts: this file only
 * has to compile, as C, with the same layout checks as C++ sees. */
#include <tessaline/fax_types.h>

DEFAULT_FAX_SETTINGS c_settings_record;
FAX_LOG_ENTRY c_log_record;
