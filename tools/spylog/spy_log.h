// The interface of a call-trace library as the services call it: seven C
// functions looked up by name. Each record is opened with a cookie, receives
// its parameters and return items, and is finished by ZySpyEndReturns.
#pragma once

#include <cstdint>

#ifndef ZYSPY_EXPORT
#define ZYSPY_EXPORT
#endif

extern "C" {
ZYSPY_EXPORT int32_t ZySpyGetVersion(int32_t* major, int32_t* minor) noexcept;
ZYSPY_EXPORT uint64_t ZySpyGetCookie(int32_t category, int32_t operation, int32_t one,
                                     const char* title) noexcept;
ZYSPY_EXPORT int32_t ZySpySetParamElementSize_generic(uint64_t cookie, uint32_t index,
                                                      const void* value, uint32_t element_size,
                                                      uint32_t total_size, const char* name,
                                                      int32_t type_code) noexcept;
ZYSPY_EXPORT int32_t ZySpyEndParams(uint64_t cookie, uint32_t count) noexcept;
ZYSPY_EXPORT int32_t ZySpySetReturnElementSize_generic(uint64_t cookie, uint32_t index,
                                                       const void* data, uint32_t element_size,
                                                       uint32_t total_size, const char* name,
                                                       int32_t type_code) noexcept;
ZYSPY_EXPORT int32_t ZySpySetFuncReturnElementSize_generic(
    uint64_t cookie, uint32_t index, const void* status, uint32_t element_size, uint32_t total_size,
    const char* name, int32_t type_code, int32_t success) noexcept;
ZYSPY_EXPORT int32_t ZySpyEndReturns(uint64_t* cookie_address, uint32_t count) noexcept;
}
