#ifndef ZVA_CORE_SESSION_CONTEXT_H_
#define ZVA_CORE_SESSION_CONTEXT_H_

// The session context is declared in the public header, because integrations
// reach it as an accelerator's member; inside the library its status record
// is complete as well.

#include "errors/rpc_status.h"
#include "zva/zva_session_context.h"

#endif  // ZVA_CORE_SESSION_CONTEXT_H_
