// tarko_station rollout: an application deployed across the fleet step by step, with a
// canary, health checks, a failure budget for the whole rollout and the rollback of
// every host it changed when it halts; its journal lets it be resumed or rolled back
// later.
#pragma once

#include "options.h"

// Runs the rollout command of o (a new rollout, --plan, --status, --resume or
// --rollback). Returns the exit status: 0 every host updated (or current) and healthy;
// 1 halted and every changed host back and healthy, or finished with failures within
// the budget; 3 halted with a mixed fleet; 64 usage; 66 archive unusable; 128 + the
// signal when interrupted.
int run_rollout(Options &o);
