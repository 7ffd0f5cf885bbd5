// Placeholder until the object table lands.
#include "objects/object_lists.h"

namespace zyvisa::objects {

bool CreateObjectLists() noexcept { return true; }
void ResetObjectLists() noexcept {}

}  // namespace zyvisa::objects
