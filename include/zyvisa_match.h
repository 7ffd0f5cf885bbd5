/* Resource search: matching resource names against resource expressions
 * ('?*INSTR', 'ASRL[0-9]*::?*INSTR{VI_ATTR_INTF_NUM==0}'), splitting off a
 * remote prefix ('visa://host/'), and testing a resource's attributes against
 * the attribute part in braces. No call keeps state between calls. */
#ifndef ZYVISA_MATCH_H
#define ZYVISA_MATCH_H

#include "zyvisa_types.h"

ZYVISA_EXTERN_C_BEGIN

/* Tests whether resourceName (at most 255 characters) matches the pattern part
 * of expression, the whole name from its first character to its last, letters
 * compared without regard to case. *hasAttributePart receives 1 when the
 * expression contains a '{' (an attribute part, which this call does not
 * evaluate), else 0; it is written whenever the match runs, also for an invalid
 * expression. session only has to be non-zero.
 * VI_SUCCESS match; VI_ERROR_RSRC_NFOUND no match; VI_ERROR_INV_EXPR invalid
 * expression; VI_ERROR_INV_OBJECT session 0; VI_ERROR_USER_BUF a null argument;
 * VI_ERROR_INV_RSRC_NAME a name of 256 characters or more. */
ZYVISA_EXPORT ViStatus visaMatchRsrcExpr(ViSession session, ViConstString expression,
                                         ViConstRsrc resourceName,
                                         ViPBoolean hasAttributePart) ZYVISA_NOEXCEPT;

/* 1 when expression begins with "visa://host/" or "//host/" (either case of
 * "visa"): hostBuffer, if not null, receives host (the caller sizes it for the
 * host and a terminator) and *rest, if rest is not null, where the expression
 * continues after that '/'. Otherwise 0, with hostBuffer empty and *rest the
 * text after a "visa://" or "//" that no further '/' follows, or else the whole
 * expression. */
ZYVISA_EXPORT ViBoolean visaIsRsrcExprRemote(ViConstString expression, ViChar* hostBuffer,
                                             ViConstString* rest) ZYVISA_NOEXCEPT;

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
