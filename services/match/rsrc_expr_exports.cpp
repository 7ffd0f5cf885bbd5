// The exported face of resource expressions: argument checks in the order
// callers rely on, and the translation of internal results into statuses.
#include "zyvisa_match.h"

#include <cstdint>

#include "match/rsrc_expr_matcher.h"

namespace {

// Resource names are at most 255 characters; longer ones are refused before
// any work, and the length is counted no further than that.
constexpr size_t kMaxRsrcName = 255;

}  // namespace

extern "C" ZYVISA_EXPORT ViStatus visaMatchRsrcExpr(ViSession session, ViConstString expression,
                                                    ViConstRsrc resourceName,
                                                    ViPBoolean hasAttributePart) noexcept {
  if (session == 0) return VI_ERROR_INV_OBJECT;
  if (!expression || !resourceName || !hasAttributePart) return VI_ERROR_USER_BUF;
  size_t length = 0;
  while (length <= kMaxRsrcName && resourceName[length]) ++length;
  if (length > kMaxRsrcName) return VI_ERROR_INV_RSRC_NAME;
  bool has_attribute_part = false;
  const int32_t result = zyvisa::match::rsrc::MatchExpression(expression, resourceName, length,
                                                              &has_attribute_part);
  *hasAttributePart = has_attribute_part ? 1 : 0;
  if (result < 0) return VI_ERROR_INV_EXPR;
  return result == 1 ? VI_SUCCESS : VI_ERROR_RSRC_NFOUND;
}

extern "C" ZYVISA_EXPORT ViBoolean visaIsRsrcExprRemote(ViConstString expression,
                                                        ViChar* hostBuffer,
                                                        ViConstString* rest) noexcept {
  if (hostBuffer) hostBuffer[0] = '\0';
  // Without an expression there is nothing remote; rest gets what was given.
  if (!expression) {
    if (rest) *rest = expression;
    return 0;
  }
  size_t prefix = 0;
  if (zyvisa::match::rsrc::HasPrefixNoCase(expression, SIZE_MAX, "visa://")) {
    prefix = 7;
  } else if (expression[0] == '/' && expression[1] == '/') {
    prefix = 2;
  } else {
    if (rest) *rest = expression;
    return 0;
  }
  const char* host = expression + prefix;
  const char* slash = host;
  while (*slash && *slash != '/') ++slash;
  if (!*slash) {
    if (rest) *rest = host;
    return 0;
  }
  if (hostBuffer) {
    const size_t host_length = static_cast<size_t>(slash - host);
    for (size_t k = 0; k < host_length; ++k) hostBuffer[k] = host[k];
    hostBuffer[host_length] = '\0';
  }
  if (rest) *rest = slash + 1;
  return 1;
}
