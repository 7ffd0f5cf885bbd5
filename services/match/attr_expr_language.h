// The attribute-expression language: a boolean language over the attribute
// values of one resource (VI_ATTR_INTF_NUM==0 && VI_ATTR_RSRC_MANF_ID==0x1234).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zyvisa::match {

// A record's type flags say how its value compares.
constexpr uint32_t kAttrString = 1;
constexpr uint32_t kAttrSigned = 4;
constexpr uint32_t kAttrUnsigned = 8;

// Attribute names and string values both fit 255 characters plus terminator.
constexpr size_t kAttrTextSize = 256;

// One attribute value as the evaluation of a resource's expression collected it.
struct AttrRecord {
  char name[kAttrTextSize];
  union {
    // Integer attributes, widened to 64 bits with sign (kAttrSigned) or with
    // zeros (kAttrUnsigned).
    uint64_t number;
    // String attributes: a zero-terminated buffer of kAttrTextSize bytes that
    // the builder of the list owns.
    const char* text;
  } value;
  uint32_t type_flags;
};

// Letters, digits and '_': what an attribute name is made of after its first
// letter.
inline bool IsAttrNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// True when name equals the zero-terminated text b without regard to case
// (ASCII letters only, as attribute names are).
bool AttrNameEquals(std::string_view name, const char* b) noexcept;

// Values of an evaluation.
constexpr int kAttrExprTrue = 1;
constexpr int kAttrExprFalse = 0;
constexpr int kAttrExprInvalid = -1;

// Evaluates one expression against records[0..count). The text is the
// attribute part of a resource expression with its closing brace replaced by a
// line feed; the line feed ends the expression and only blanks or tabs may
// follow it. Returns kAttrExprTrue, kAttrExprFalse or kAttrExprInvalid (syntax
// error, a string compared with a number or the other way round, nesting too
// deep). Keeps no state between calls; safe to run on several threads at once.
int EvaluateAttrExpr(std::string_view text, const AttrRecord* records, size_t count) noexcept;

}  // namespace zyvisa::match
