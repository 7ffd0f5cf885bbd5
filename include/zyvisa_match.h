/* The search languages of resource expressions: matching a resource's
 * attributes against the attribute part ('?*INSTR{VI_ATTR_INTF_NUM==0}'). */
#ifndef ZYVISA_MATCH_H
#define ZYVISA_MATCH_H

#include "zyvisa_types.h"

ZYVISA_EXTERN_C_BEGIN

/* Kinds of attribute value that an attribute expression can test. */
#define ZYVISA_ATTR_KIND_INT8 ((ViUInt16)1)
#define ZYVISA_ATTR_KIND_UINT8 ((ViUInt16)2)
#define ZYVISA_ATTR_KIND_INT16 ((ViUInt16)3)
#define ZYVISA_ATTR_KIND_UINT16 ((ViUInt16)4)
#define ZYVISA_ATTR_KIND_INT32 ((ViUInt16)5)
#define ZYVISA_ATTR_KIND_UINT32 ((ViUInt16)6)
#define ZYVISA_ATTR_KIND_STRING ((ViUInt16)11) /* up to 255 characters */

/* Resolves an attribute name that the library does not know itself, for the
 * session opened on the resource under test. On success it always writes
 * found (0 when it does not know the name) and, when found, kind and
 * attribute. A negative status, like found 0, leaves the name out. */
typedef ViStatus (*ZyvisaAttrLookupProc)(ViSession opened, ViConstString name, ViUInt16* found,
                                         ViUInt16* kind, ViAttr* attribute, ViAddr user_data);

/* Tests resource_name against the attribute part of expression, reading the
 * attributes through the core library's open, get-attribute and close
 * callbacks (session is passed on to open). VI_SUCCESS when the expression has
 * no attribute part or it holds; VI_ERROR_RSRC_NFOUND when it does not, the
 * resource cannot be opened or none of its names can be read;
 * VI_ERROR_INV_EXPR for a malformed attribute part. */
ZYVISA_EXPORT ViStatus visaMatchAttrExpr(ViSession session, ViConstString expression,
                                         ViConstRsrc resource_name, ZyvisaAttrLookupProc lookup,
                                         ViAddr user_data) ZYVISA_NOEXCEPT;

ZYVISA_EXTERN_C_END

#endif /* ZYVISA_MATCH_H */
