#pragma once

#include "bench/ResultTable.h"

namespace quillmere::bench {

// Each measures one area against the real daemon in a sandbox of its own and adds its rows.
// They start processes of their own, so each must be called while this process runs a single
// thread.
void measureVersionCalls(ResultTable& table);
void measureScriptRunner(ResultTable& table);
// The large-output rows of measureScriptRunner alone.
void measureLargeOutput(ResultTable& table);
void measureWireGuard(ResultTable& table);
void measureHostilePeers(ResultTable& table);

}  // namespace quillmere::bench
