/* Drivers' operation tables, the names of operation identifiers, and the
 * callbacks through which the core library connects itself to the services. */
#ifndef ZYVISA_OPER_H
#define ZYVISA_OPER_H

#include "zyvisa_types.h"

ZYVISA_EXTERN_C_BEGIN

/* Finds or creates the 992-byte operation table of that name (at most 255
 * characters); number must exceed 0x00200000. */
ZYVISA_EXPORT ViStatus visaRegisterTable(ViConstString name, ViUInt32 number, ViAddr ignored,
                                         ViAddr* table) ZYVISA_NOEXCEPT;
/* Stores function in the slot of the operation name ("viRead", ...). */
ZYVISA_EXPORT ViStatus visaRegisterOper(ViAddr table, ViConstString name,
                                        ViAddr function) ZYVISA_NOEXCEPT;
/* A negative status or VI_SUCCESS_NCHAIN ends the enumeration. */
typedef ViStatus (*ZyvisaEnumTableProc)(ViAddr table, ViAddr context);
ZYVISA_EXPORT ViStatus zyvisaEnumVectorTables(ZyvisaEnumTableProc callback,
                                              ViAddr context) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViStatus zyvisaFreeVectorTables(void) ZYVISA_NOEXCEPT;

/* Longest name written, with its terminator. */
#define ZYVISA_OPER_NAME_SIZE 21
ZYVISA_EXPORT ViStatus zyvisaLookupOperName(ViUInt32 id, ViChar* name) ZYVISA_NOEXCEPT;

/* The core's unload callback; a non-zero result vetoes unloading. */
typedef ViInt32 (*ZyvisaUnloadProc)(ViAddr w, ViAddr x, ViAddr y, ViAddr z);
ZYVISA_EXPORT ViStatus zyvisaSetUnloadCallback(ZyvisaUnloadProc callback) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViInt32 visaLibIsUnloading(ViAddr w, ViAddr x, ViAddr y, ViAddr z) ZYVISA_NOEXCEPT;

/* The core library's functions that the services call back. */
typedef ViStatus (*ZyvisaOpenProc)(ViSession session, ViConstRsrc name, ViUInt32 mode,
                                   ViUInt32 timeout, ViSession* opened);
typedef ViStatus (*ZyvisaGetAttributeProc)(ViAddr session_object, ViAttr attribute,
                                           ViAddr value);
typedef ViStatus (*ZyvisaGetEventAttributeProc)(ViAddr event_node, ViAttr attribute,
                                                ViAddr value);
typedef ViStatus (*ZyvisaCloseProc)(ViSession session);
ZYVISA_EXPORT void zyvisaSetLibraryCallbacks(ZyvisaOpenProc open,
                                             ZyvisaGetAttributeProc get_attribute,
                                             ZyvisaGetEventAttributeProc get_event_attribute,
                                             ZyvisaCloseProc close) ZYVISA_NOEXCEPT;

ZYVISA_EXTERN_C_END

#endif /* ZYVISA_OPER_H */
