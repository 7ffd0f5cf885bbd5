/* Resource search: matching resource names against resource expressions
 * ('?*INSTR', 'ASRL[0-9]*::?*INSTR{VI_ATTR_INTF_NUM==0}') and splitting off a
 * remote prefix ('visa://host/'). No call keeps state; every one may run on
 * several threads at once. */
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

ZYVISA_EXTERN_C_END

#endif /* ZYVISA_MATCH_H */
