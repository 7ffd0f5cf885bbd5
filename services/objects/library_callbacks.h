// The core library's functions that the services call back, as the core
// registered them with zyvisaSetLibraryCallbacks. The core registers them at
// start, before it uses the library; until then each one is null.
#pragma once

#include "zyvisa_oper.h"

namespace zyvisa::objects {

struct LibraryCallbacks {
  // Opens a resource in a session: (session, resource name, 0, 0, &opened).
  ZyvisaOpenProc open;
  // Reads an attribute of a session object (the object's address, not its handle).
  ZyvisaGetAttributeProc get_attribute;
  // Reads an attribute of an event node (its address).
  ZyvisaGetEventAttributeProc get_event_attribute;
  // Closes the session that open returned.
  ZyvisaCloseProc close;
};

// The callbacks as registered now; any of them may be null if the core never
// registered it, and callers then treat the call as failed.
LibraryCallbacks GetLibraryCallbacks() noexcept;

}  // namespace zyvisa::objects
