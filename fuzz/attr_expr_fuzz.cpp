// Random attribute-expression text against a fixed attribute list: the
// evaluation must end with 1, 0 or -1, never crash or read outside the text,
// and agree with itself when the expression is negated as a group.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "match/attr_expr_language.h"

namespace {

using zyvisa::match::AttrRecord;

AttrRecord Number(const char* name, uint64_t value, uint32_t flags) {
  AttrRecord r{};
  std::strncpy(r.name, name, sizeof(r.name) - 1);
  r.value.number = value;
  r.type_flags = flags;
  return r;
}

AttrRecord Text(const char* name, const char* value) {
  AttrRecord r{};
  std::strncpy(r.name, name, sizeof(r.name) - 1);
  r.value.text = value;
  r.type_flags = zyvisa::match::kAttrString;
  return r;
}

// Short names as well as real ones, so that mutations hit known attributes.
const AttrRecord kRecords[] = {
    Number("VI_ATTR_INTF_NUM", 0xFFFF, zyvisa::match::kAttrUnsigned),
    Number("VI_ATTR_INTF_TYPE", 1, zyvisa::match::kAttrUnsigned),
    Text("VI_ATTR_RSRC_NAME", "GPIB0::1::INSTR"),
    Number("A", static_cast<uint64_t>(-1), zyvisa::match::kAttrSigned),
    Number("B", 0x80000000u, zyvisa::match::kAttrUnsigned),
    Text("S", ""),
    Number("a", 7, zyvisa::match::kAttrSigned),
};
constexpr size_t kCount = sizeof(kRecords) / sizeof(kRecords[0]);

int Eval(std::string_view text) {
  const int value = zyvisa::match::EvaluateAttrExpr(text, kRecords, kCount);
  if (value < -1 || value > 1) std::abort();
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the bytes given, with no terminator: nothing may be read past them.
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  Eval(raw);

  // One line as the caller forms it; when it is valid, "!(" line ")" must be
  // valid too and give the opposite value. Parentheses and the line feed
  // never join a neighbouring token, so the wrapped text scans the same.
  const std::string_view body = raw.substr(0, raw.find('\n'));
  const int value = Eval(std::string(body) + "\n");
  size_t groups = 0;
  for (char c : body) groups += c == '(';
  if (value >= 0 && groups < 900) {
    if (Eval("!(" + std::string(body) + ")\n") != 1 - value) std::abort();
  }
  return 0;
}
