// Services on top of the session list for the core and the drivers: walking
// the open sessions, recording a session's driver and resource identity, and
// direct access to session and event-node memory.
#include <vector>

#include "objects/object_table.h"
#include "objects/oper_table.h"
#include "zyvisa_objects.h"

namespace objects = zyvisa::objects;

extern "C" ZYVISA_EXPORT ViStatus visaEnumSessions(ZyvisaEnumSessionProc callback, ViAddr table,
                                                   ViAddr context) noexcept {
  if (callback == nullptr) return VI_ERROR_INV_HNDLR_REF;
  // Held for the whole walk, callbacks included; it is recursive, so a
  // callback may look up or free sessions of this process.
  objects::ListLock lock(objects::kIoSessionKind);
  if (!lock.held()) return VI_ERROR_SYSTEM_ERROR;
  // A callback may free any session of the list, its own or one not yet
  // visited, so the walk reads no link after the first call: it goes through
  // the sessions as they were when it began, and skips those no longer
  // registered (whose memory may be gone).
  std::vector<objects::Listed> sessions;
  if (!objects::SnapshotList(objects::kIoSessionKind, &sessions)) return VI_ERROR_SYSTEM_ERROR;
  ViStatus status = VI_SUCCESS;
  for (const objects::Listed& listed : sessions) {
    if (!objects::StillListed(objects::kIoSessionKind, listed)) continue;
    auto* session = reinterpret_cast<objects::IoSession*>(listed.object);
    // A session that another thread is freeing has lost its signature before
    // that thread waits for the list: it is no session any more.
    const bool wanted = session->header.signature == objects::kValidSignature &&
                        (table == nullptr || session->oper_table == table) &&
                        session->closing.load(std::memory_order_relaxed) == 0;
    if (wanted) {
      status = callback(session->handle, context);
      if (status < VI_SUCCESS || status == VI_SUCCESS_NCHAIN) break;
    }
  }
  return status;
}

extern "C" ZYVISA_EXPORT ViStatus visaSetSessionInfo(ViSession session, ViAddr table, ViAddr,
                                                     ViUInt32 value1, ViUInt32 value2) noexcept {
  objects::IoSession* object = objects::LookupIoSession(session);
  if (object == nullptr || table == nullptr) return VI_ERROR_INV_OBJECT;
  object->oper_table = static_cast<objects::OperTable*>(table);
  object->identity_c = value1;
  object->identity_d = value2;
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViAddr visaGetSesnImpl(ViSession session) noexcept {
  return objects::LookupIoSession(session);
}

extern "C" ZYVISA_EXPORT ViAddr visaGetEventImpl(ViUInt32 event) noexcept {
  return zyvisaValidateEvent(event);
}
