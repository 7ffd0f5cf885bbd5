// Matching a resource name against a compiled pattern, anchored at both ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "match/rsrc_expr_compiler.h"

namespace zyvisa::match::rsrc {

// 1 when the pattern matches all length characters of name, else 0; kNoMemory
// when the working memory for a long name and a large pattern is refused.
// The empty name never matches. Time and memory are bounded by
// node_count() * (length + 1): no pattern can make a search stall.
int32_t MatchName(const Pattern& pattern, const char* name, size_t length) noexcept;

// True when text (of length characters, or zero-terminated with length
// SIZE_MAX) begins with lower_prefix, letters compared without regard to case.
bool HasPrefixNoCase(const char* text, size_t length, const char* lower_prefix) noexcept;

// MatchExpression's result for an expression refused before compilation: white
// space inside, nothing but white space or an attribute part, parentheses
// nested too deep, or no memory for the work copy.
constexpr int32_t kBadExpression = -1;

// The whole test of one resource expression against one name: cuts off the
// attribute part ('{...}', reported through *has_attribute_part) and trailing
// white space, refuses white space inside, skips a remote prefix ("visa://",
// "visa:/", "/" or "//"), rewrites, compiles and matches. 1 match, 0 no match,
// kBadExpression or a compilation result (all negative) for an invalid
// expression or missing memory. name_length is the length of name.
int32_t MatchExpression(const char* expression, const char* name, size_t name_length,
                        bool* has_attribute_part) noexcept;

}  // namespace zyvisa::match::rsrc
