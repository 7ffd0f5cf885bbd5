/* Status codes, scalar types and constants used at the library's boundary.
 * Every value here is fixed by the instrument-I/O standard or by the layouts the
 * core library and the drivers share with us; none may change. */
#ifndef ZYVISA_TYPES_H
#define ZYVISA_TYPES_H

#include <stddef.h>
#include <stdint.h>

/* The build of the library defines ZYVISA_EXPORT to mark its exports visible;
 * users of the headers see plain declarations. */
#ifndef ZYVISA_EXPORT
#define ZYVISA_EXPORT
#endif

#ifdef __cplusplus
#define ZYVISA_NOEXCEPT noexcept
#define ZYVISA_EXTERN_C_BEGIN extern "C" {
#define ZYVISA_EXTERN_C_END }
#else
#define ZYVISA_NOEXCEPT
#define ZYVISA_EXTERN_C_BEGIN
#define ZYVISA_EXTERN_C_END
#endif

typedef uint64_t ViUInt64;
typedef int64_t ViInt64;
typedef uint32_t ViUInt32;
typedef int32_t ViInt32;
typedef uint16_t ViUInt16;
typedef int16_t ViInt16;
typedef uint8_t ViUInt8;
typedef int8_t ViInt8;
typedef char ViChar;
typedef unsigned char ViByte;
typedef void* ViAddr;
typedef ViUInt16 ViBoolean;
typedef ViInt32 ViStatus;
typedef ViUInt32 ViObject;
typedef ViObject ViSession;
typedef ViUInt32 ViAttr;
typedef ViUInt32 ViEventType;
typedef ViUInt32 ViJobId;
typedef ViChar* ViString;
typedef const ViChar* ViConstString;
typedef ViChar* ViRsrc;
typedef const ViChar* ViConstRsrc;
typedef ViUInt32* ViPUInt32;
typedef ViUInt16* ViPUInt16;
typedef ViInt32* ViPInt32;
typedef ViInt16* ViPInt16;
typedef ViBoolean* ViPBoolean;
typedef ViChar* ViPChar;
typedef void* ViPAddr;

#define VI_TRUE ((ViBoolean)1)
#define VI_FALSE ((ViBoolean)0)
#define VI_NULL 0

#define VI_TMO_IMMEDIATE 0UL
#define VI_TMO_INFINITE 0xFFFFFFFFUL

/* Completion and warning codes. */
#define VI_SUCCESS ((ViStatus)0)
#define VI_SUCCESS_NCHAIN ((ViStatus)0x3FFF0098L)
#define VI_SUCCESS_NESTED_SHARED ((ViStatus)0x3FFF0099L)
#define VI_SUCCESS_NESTED_EXCLUSIVE ((ViStatus)0x3FFF009AL)
#define VI_SUCCESS_SYNC ((ViStatus)0x3FFF009BL)
#define VI_WARN_NULL_OBJECT ((ViStatus)0x3FFF0082L)
#define VI_WARN_UNKNOWN_STATUS ((ViStatus)0x3FFF0085L)

/* Error codes: the 0xBFFF.... range, negative as 32-bit signed values. */
#define VI_ERROR ((ViStatus)(-2147483647L - 1))
#define VI_ERROR_SYSTEM_ERROR ((ViStatus)(VI_ERROR + 0x3FFF0000L))
#define VI_ERROR_INV_OBJECT ((ViStatus)(VI_ERROR + 0x3FFF000EL))
#define VI_ERROR_RSRC_LOCKED ((ViStatus)(VI_ERROR + 0x3FFF000FL))
#define VI_ERROR_INV_EXPR ((ViStatus)(VI_ERROR + 0x3FFF0010L))
#define VI_ERROR_RSRC_NFOUND ((ViStatus)(VI_ERROR + 0x3FFF0011L))
#define VI_ERROR_INV_RSRC_NAME ((ViStatus)(VI_ERROR + 0x3FFF0012L))
#define VI_ERROR_TMO ((ViStatus)(VI_ERROR + 0x3FFF0015L))
#define VI_ERROR_CLOSING_FAILED ((ViStatus)(VI_ERROR + 0x3FFF0016L))
#define VI_ERROR_INV_LOCK_TYPE ((ViStatus)(VI_ERROR + 0x3FFF0020L))
#define VI_ERROR_INV_ACCESS_KEY ((ViStatus)(VI_ERROR + 0x3FFF0021L))
#define VI_ERROR_INV_EVENT ((ViStatus)(VI_ERROR + 0x3FFF0026L))
#define VI_ERROR_INV_HNDLR_REF ((ViStatus)(VI_ERROR + 0x3FFF0029L))
#define VI_ERROR_INV_CONTEXT ((ViStatus)(VI_ERROR + 0x3FFF002AL))
#define VI_ERROR_NENABLED ((ViStatus)(VI_ERROR + 0x3FFF002FL))
#define VI_ERROR_ABORT ((ViStatus)(VI_ERROR + 0x3FFF0030L))
#define VI_ERROR_IN_PROGRESS ((ViStatus)(VI_ERROR + 0x3FFF0039L))
#define VI_ERROR_INV_SETUP ((ViStatus)(VI_ERROR + 0x3FFF003AL))
#define VI_ERROR_QUEUE_ERROR ((ViStatus)(VI_ERROR + 0x3FFF003BL))
#define VI_ERROR_ALLOC ((ViStatus)(VI_ERROR + 0x3FFF003CL))
#define VI_ERROR_NSUP_OPER ((ViStatus)(VI_ERROR + 0x3FFF0067L))
#define VI_ERROR_USER_BUF ((ViStatus)(VI_ERROR + 0x3FFF0071L))
#define VI_ERROR_RSRC_BUSY ((ViStatus)(VI_ERROR + 0x3FFF0072L))
#define VI_ERROR_INV_PARAMETER ((ViStatus)(VI_ERROR + 0x3FFF0078L))
#define VI_ERROR_SESN_NLOCKED ((ViStatus)(VI_ERROR + 0x3FFF009CL))
#define VI_ERROR_LIBRARY_NFOUND ((ViStatus)(VI_ERROR + 0x3FFF009EL))
#define VI_ERROR_FILE_ACCESS ((ViStatus)(VI_ERROR + 0x3FFF00A1L))
#define VI_ERROR_NPERMISSION ((ViStatus)(VI_ERROR + 0x3FFF00A8L))

/* Events and event mechanisms. */
#define VI_EVENT_IO_COMPLETION ((ViEventType)0x3FFF2009UL)
#define VI_EVENT_EXCEPTION ((ViEventType)0xBFFF200EUL)
#define VI_ALL_ENABLED_EVENTS ((ViEventType)0x3FFF7FFFUL)
#define VI_QUEUE ((ViUInt16)1)
#define VI_HNDLR ((ViUInt16)2)
#define VI_SUSPEND_HNDLR ((ViUInt16)4)

/* Lock types. */
#define VI_NO_LOCK 0UL
#define VI_EXCLUSIVE_LOCK 1UL
#define VI_SHARED_LOCK 2UL

#define VI_LOCAL_SPACE ((ViUInt16)0)

/* Attributes the library itself reads or knows by name. */
#define VI_ATTR_RSRC_NAME ((ViAttr)0xBFFF0002UL)
#define VI_ATTR_RSRC_IMPL_VERSION ((ViAttr)0x3FFF0003UL)
#define VI_ATTR_RSRC_LOCK_STATE ((ViAttr)0x3FFF0004UL)
#define VI_ATTR_INTF_INST_NAME ((ViAttr)0xBFFF00E9UL)
#define VI_ATTR_RSRC_SPEC_VERSION ((ViAttr)0x3FFF0170UL)
#define VI_ATTR_INTF_TYPE ((ViAttr)0x3FFF0171UL)
#define VI_ATTR_RSRC_MANF_NAME ((ViAttr)0xBFFF0174UL)
#define VI_ATTR_RSRC_MANF_ID ((ViAttr)0x3FFF0175UL)
#define VI_ATTR_INTF_NUM ((ViAttr)0x3FFF0176UL)
#define VI_ATTR_SRC_INCREMENT ((ViAttr)0x3FFF0040UL)
#define VI_ATTR_DEST_INCREMENT ((ViAttr)0x3FFF0041UL)
#define VI_ATTR_JOB_ID ((ViAttr)0x3FFF4006UL)
#define VI_ATTR_STATUS ((ViAttr)0x3FFF4025UL)
#define VI_ATTR_BUFFER ((ViAttr)0x3FFF4027UL)
#define VI_ATTR_RET_COUNT_64 ((ViAttr)0x3FFF4028UL)

#endif /* ZYVISA_TYPES_H */
