#pragma once

#include "protocol/HelperProtocol.h"
#include "protocol/MessageCodec.h"

namespace quillmere {

// Serves one call: checks its method and parameters against the interface declaration before
// any operation runs, then runs the operation on `helper` and returns its reply. Whether the
// reply is sent (a oneway call gets none) is the connection's business.
varlink::Reply dispatchCall(const varlink::Call& call, HelperProtocol& helper);

}  // namespace quillmere
