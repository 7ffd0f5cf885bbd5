// visaMatchAttrExpr: opens the resource under test through the core library's
// own callbacks, reads every attribute that the expression names and
// evaluates the attribute part against those values.
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "match/attr_expr_language.h"
#include "match/scratch_buffer.h"
#include "objects/library_callbacks.h"
#include "objects/object_table.h"
#include "zyvisa_match.h"

namespace zyvisa::match {
namespace {

struct BuiltinAttr {
  const char* name;
  ViAttr attribute;
  ViUInt16 kind;
};

// Standard resource attributes known by name; any other name goes to the
// caller's lookup callback.
constexpr BuiltinAttr kBuiltinAttrs[] = {
    {"VI_ATTR_RSRC_SPEC_VERSION", VI_ATTR_RSRC_SPEC_VERSION, ZYVISA_ATTR_KIND_UINT32},
    {"VI_ATTR_RSRC_IMPL_VERSION", VI_ATTR_RSRC_IMPL_VERSION, ZYVISA_ATTR_KIND_UINT32},
    {"VI_ATTR_RSRC_MANF_NAME", VI_ATTR_RSRC_MANF_NAME, ZYVISA_ATTR_KIND_STRING},
    {"VI_ATTR_RSRC_MANF_ID", VI_ATTR_RSRC_MANF_ID, ZYVISA_ATTR_KIND_UINT16},
    {"VI_ATTR_RSRC_NAME", VI_ATTR_RSRC_NAME, ZYVISA_ATTR_KIND_STRING},
    {"VI_ATTR_INTF_INST_NAME", VI_ATTR_INTF_INST_NAME, ZYVISA_ATTR_KIND_STRING},
    {"VI_ATTR_INTF_TYPE", VI_ATTR_INTF_TYPE, ZYVISA_ATTR_KIND_UINT16},
    {"VI_ATTR_INTF_NUM", VI_ATTR_INTF_NUM, ZYVISA_ATTR_KIND_UINT16},
    {"VI_ATTR_RSRC_LOCK_STATE", VI_ATTR_RSRC_LOCK_STATE, ZYVISA_ATTR_KIND_UINT32},
};

constexpr std::string_view kAttrPrefix = "VI_ATTR";

// Where get-attribute writes a value. It is as large as the largest kind (a
// string of 255 characters) whatever the kind asked for, so a core that
// writes more than the kind promised cannot overrun it.
union ValueBuffer {
  int8_t i8;
  uint8_t u8;
  int16_t i16;
  uint16_t u16;
  int32_t i32;
  uint32_t u32;
  char text[kAttrTextSize];
};

// The opened session, closed on every way out of the evaluation.
class OpenedSession {
 public:
  OpenedSession(const objects::LibraryCallbacks& core, ViSession session, ViConstRsrc name)
      : core_(core) {
    // Without an open callback no resource can be opened: the expression
    // then matches nothing, as for any resource that fails to open.
    status_ = core_.open != nullptr ? core_.open(session, name, 0, 0, &handle_)
                                    : VI_ERROR_RSRC_NFOUND;
  }
  // A failed open that still handed out a handle is closed too.
  ~OpenedSession() {
    if (handle_ != 0 && core_.close != nullptr) core_.close(handle_);
  }
  OpenedSession(const OpenedSession&) = delete;
  OpenedSession& operator=(const OpenedSession&) = delete;

  bool opened() const { return status_ >= 0; }
  ViSession handle() const { return handle_; }

 private:
  const objects::LibraryCallbacks& core_;
  ViSession handle_ = 0;
  ViStatus status_;
};

// The attribute list of one evaluation; owns the string buffers of its records.
class AttrCollection {
 public:
  AttrCollection() = default;
  ~AttrCollection() {
    for (const AttrRecord& r : records_) {
      if (r.type_flags == kAttrString) ScratchFree(const_cast<char*>(r.value.text));
    }
  }
  AttrCollection(const AttrCollection&) = delete;
  AttrCollection& operator=(const AttrCollection&) = delete;

  const AttrRecord* data() const { return records_.data(); }
  size_t size() const { return records_.size(); }
  // True when collecting stopped early because a string value could not be
  // copied: the records so far are then evaluated even if there are none.
  bool cut_short() const { return cut_short_; }

  // Reads every attribute named in the text from `from` on. A name that
  // cannot be resolved or read is left out without a report. Returns
  // VI_ERROR_ALLOC when the list cannot grow, else VI_SUCCESS.
  ViStatus Collect(const objects::LibraryCallbacks& core, std::string_view text, size_t from,
                   ViSession opened, ZyvisaAttrLookupProc lookup, ViAddr user_data) {
    // Every occurrence of the exact text counts, inside quoted strings too:
    // the parser decides later which names it actually compares.
    for (size_t at = text.find(kAttrPrefix, from); at != std::string_view::npos;
         at = text.find(kAttrPrefix, from)) {
      size_t end = at + kAttrPrefix.size();
      while (end < text.size() && IsAttrNameChar(text[end])) ++end;
      from = end;
      // A name longer than a record can hold is left out rather than cut:
      // the parser compares whole names, so a cut one could never be used,
      // and it must not be read as some other, shorter attribute.
      if (end - at >= kAttrTextSize) continue;
      char name[kAttrTextSize];
      std::memcpy(name, text.data() + at, end - at);
      name[end - at] = '\0';

      ViAttr attribute = 0;
      ViUInt16 kind = 0;
      if (!Resolve(name, opened, lookup, user_data, &attribute, &kind)) continue;
      uint32_t flags = 0;
      ValueBuffer value;
      if (!Read(core, opened, attribute, kind, &value, &flags)) continue;

      try {
        records_.emplace_back();
      } catch (const std::bad_alloc&) {
        return VI_ERROR_ALLOC;
      }
      AttrRecord& record = records_.back();
      std::memcpy(record.name, name, sizeof(name));
      record.type_flags = flags;
      if (flags != kAttrString) {
        record.value.number = Widen(kind, value);
        continue;
      }
      auto* copy = static_cast<char*>(ScratchAlloc(kAttrTextSize));
      if (copy == nullptr) {
        // Out of memory for the value: stop collecting and evaluate what was
        // complete so far, without this record.
        records_.pop_back();
        cut_short_ = true;
        return VI_SUCCESS;
      }
      std::memcpy(copy, value.text, kAttrTextSize - 1);
      copy[kAttrTextSize - 1] = '\0';
      record.value.text = copy;
    }
    return VI_SUCCESS;
  }

 private:
  static bool Resolve(const char* name, ViSession opened, ZyvisaAttrLookupProc lookup,
                      ViAddr user_data, ViAttr* attribute, ViUInt16* kind) {
    for (const BuiltinAttr& builtin : kBuiltinAttrs) {
      if (AttrNameEquals(builtin.name, name)) {
        *attribute = builtin.attribute;
        *kind = builtin.kind;
        return true;
      }
    }
    if (lookup == nullptr) return false;
    ViUInt16 found = 0;
    return lookup(opened, name, &found, kind, attribute, user_data) >= 0 && found != 0;
  }

  // Reads the attribute into value as its kind asks; false leaves the name out.
  static bool Read(const objects::LibraryCallbacks& core, ViSession opened, ViAttr attribute,
                   ViUInt16 kind, ValueBuffer* value, uint32_t* flags) {
    switch (kind) {
      case ZYVISA_ATTR_KIND_INT8:
      case ZYVISA_ATTR_KIND_INT16:
      case ZYVISA_ATTR_KIND_INT32:
        *flags = kAttrSigned;
        break;
      case ZYVISA_ATTR_KIND_UINT8:
      case ZYVISA_ATTR_KIND_UINT16:
      case ZYVISA_ATTR_KIND_UINT32:
        *flags = kAttrUnsigned;
        break;
      case ZYVISA_ATTR_KIND_STRING:
        *flags = kAttrString;
        break;
      default:
        return false;
    }
    if (core.get_attribute == nullptr) return false;
    // Takes the I/O-session list semaphore while this thread holds the
    // find-list one: the order every user of both keeps.
    objects::IoSession* session = objects::LookupIoSession(opened);
    // The callback gets the session object; with none there is nothing to read.
    if (session == nullptr) return false;
    std::memset(value, 0, sizeof(*value));
    return core.get_attribute(session, attribute, value) >= 0;
  }

  static uint64_t Widen(ViUInt16 kind, const ValueBuffer& value) {
    switch (kind) {
      case ZYVISA_ATTR_KIND_INT8: return static_cast<uint64_t>(int64_t{value.i8});
      case ZYVISA_ATTR_KIND_UINT8: return value.u8;
      case ZYVISA_ATTR_KIND_INT16: return static_cast<uint64_t>(int64_t{value.i16});
      case ZYVISA_ATTR_KIND_UINT16: return value.u16;
      case ZYVISA_ATTR_KIND_INT32: return static_cast<uint64_t>(int64_t{value.i32});
      default: return value.u32;
    }
  }

  std::vector<AttrRecord> records_;
  bool cut_short_ = false;
};

ViStatus MatchAttrExpr(ViSession session, std::string_view expression, ViConstRsrc resource_name,
                       ZyvisaAttrLookupProc lookup, ViAddr user_data) {
  const size_t brace = expression.find('{');
  if (brace == std::string_view::npos) return VI_SUCCESS;
  if (expression.back() != '}') return VI_ERROR_INV_EXPR;

  // Held for the whole evaluation, callbacks included: the core's find
  // operation relies on one test at a time per process. Everything below is
  // released in reverse order of declaration, on every way out.
  objects::ListLock find_lists(objects::kFindListKind);
  if (!find_lists.held()) return VI_ERROR_SYSTEM_ERROR;

  const objects::LibraryCallbacks core = objects::GetLibraryCallbacks();
  OpenedSession opened(core, session, resource_name);
  if (!opened.opened()) return VI_ERROR_RSRC_NFOUND;

  AttrCollection attrs;
  const ViStatus status =
      attrs.Collect(core, expression, brace, opened.handle(), lookup, user_data);
  if (status < 0) return status;
  if (attrs.size() == 0 && !attrs.cut_short()) return VI_ERROR_RSRC_NFOUND;

  // The parser reads the attribute part with its closing brace as a line feed.
  std::string text;
  try {
    text.assign(expression.substr(brace + 1));
  } catch (const std::bad_alloc&) {
    return VI_ERROR_INV_EXPR;
  }
  text.back() = '\n';
  const int value = EvaluateAttrExpr(text, attrs.data(), attrs.size());
  if (value > 0) return VI_SUCCESS;
  return value == 0 ? VI_ERROR_RSRC_NFOUND : VI_ERROR_INV_EXPR;
}

}  // namespace
}  // namespace zyvisa::match

extern "C" ZYVISA_EXPORT ViStatus visaMatchAttrExpr(ViSession session, ViConstString expression,
                                                    ViConstRsrc resource_name,
                                                    ZyvisaAttrLookupProc lookup,
                                                    ViAddr user_data) noexcept {
  // No expression has no attribute part to satisfy, but it is not a valid
  // resource expression either.
  if (expression == nullptr) return VI_ERROR_INV_EXPR;
  return zyvisa::match::MatchAttrExpr(session, expression, resource_name, lookup, user_data);
}
