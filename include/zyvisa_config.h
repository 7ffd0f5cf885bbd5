/* Configuration: cached lookups in configuration files, change detection, and
 * the paths of the configuration and framework folders. */
#ifndef ZYVISA_CONFIG_H
#define ZYVISA_CONFIG_H

#include "zyvisa_types.h"

ZYVISA_EXTERN_C_BEGIN

/* Lookups: a missing file, section or key delivers the default. No text
 * pointer may be null. An empty file, section and key empties the cache. */
ZYVISA_EXPORT void visaGetIniStringIntoBuffer(ViConstString file, ViConstString section,
                                              ViConstString key, ViConstString def,
                                              ViChar* buffer, ViInt32 size) ZYVISA_NOEXCEPT;
/* result holds at least 256 bytes; values are cut at 255 characters. */
ZYVISA_EXPORT void visaGetIniString(ViConstString file, ViConstString section, ViConstString key,
                                    ViConstString def, ViChar* result) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT void visaGetIniLong(ViConstString file, ViConstString section, ViConstString key,
                                  ViInt32 def, ViInt32* value) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT void visaGetIniShort(ViConstString file, ViConstString section, ViConstString key,
                                   ViInt16 def, ViInt16* value) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT void visaGetIniIndexLong(ViConstString file, ViConstString section,
                                       ViConstString stem, ViUInt16 index, ViInt32 def,
                                       ViInt32* value) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT void visaGetIniIndexShort(ViConstString file, ViConstString section,
                                        ViConstString stem, ViUInt16 index, ViInt16 def,
                                        ViInt16* value) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT void visaGetIniIndexString(ViConstString file, ViConstString section,
                                         ViConstString stem, ViUInt16 index, ViConstString def,
                                         ViChar* result) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT void visaGetIniIndexStringIntoBuffer(ViConstString file, ViConstString section,
                                                   ViConstString stem, ViUInt16 index,
                                                   ViConstString def, ViChar* buffer,
                                                   ViInt32 size) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT void visaRefreshIniFiles(void) ZYVISA_NOEXCEPT;
/* enable 0 suspends change detection, non-zero resumes it (counted). */
ZYVISA_EXPORT void zyvisaConfigFileCheckUpdates(ViBoolean enable) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViBoolean zyvisaConfigFileUpdated(ViConstString file, ViBoolean update,
                                                ViBoolean honour_suspension,
                                                ViUInt64* stamp) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViStatus visaGetIniTimestamp(ViConstString file, ViUInt64* stamp) ZYVISA_NOEXCEPT;

/* Paths. The configuration paths need a buffer of at least 280 bytes, the
 * framework path one of at least 256. */
ZYVISA_EXPORT ViStatus visaConfigIniPath(ViChar* path) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViStatus visaResourceIdPath(ViChar* path) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViStatus visaFrameworkPath(ViChar* path) ZYVISA_NOEXCEPT;

ZYVISA_EXTERN_C_END

#endif /* ZYVISA_CONFIG_H */
