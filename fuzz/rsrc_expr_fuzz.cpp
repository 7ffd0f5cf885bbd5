// Fuzzes resource-expression matching with (expression, name) pairs: the input
// is the expression, a zero byte, then the name. Besides crashes, leaks and
// hangs it checks what must hold for every input: the attribute flag follows
// the first '{', and flipping the case of the name's letters never changes the
// answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zyvisa_match.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const char* split = static_cast<const char*>(std::memchr(bytes, 0, size));
  const std::string expression(bytes, split ? static_cast<size_t>(split - bytes) : size);
  std::string name = split ? std::string(split + 1, static_cast<size_t>(bytes + size - split - 1))
                           : std::string("GPIB0::1::INSTR");
  name.resize(std::strlen(name.c_str()));  // the name ends at its first zero byte

  ViBoolean has_attribute = 7;
  const ViStatus status = visaMatchRsrcExpr(1, expression.c_str(), name.c_str(), &has_attribute);
  if (status == VI_ERROR_INV_RSRC_NAME) {
    if (name.size() < 256 || has_attribute != 7) std::abort();
    return 0;
  }
  if (status != VI_SUCCESS && status != VI_ERROR_RSRC_NFOUND && status != VI_ERROR_INV_EXPR) {
    std::abort();
  }
  if (has_attribute != (expression.find('{') != std::string::npos ? 1 : 0)) std::abort();

  std::string flipped = name;
  for (char& c : flipped) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) c = static_cast<char>(c ^ 0x20);
  }
  if (visaMatchRsrcExpr(1, expression.c_str(), flipped.c_str(), &has_attribute) != status) {
    std::abort();
  }

  std::string host(expression.size() + 1, '\0');
  ViConstString rest = nullptr;
  const ViBoolean remote = visaIsRsrcExprRemote(expression.c_str(), &host[0], &rest);
  const char* begin = expression.c_str();
  if (remote > 1 || rest < begin || rest > begin + expression.size()) std::abort();
  return 0;
}
