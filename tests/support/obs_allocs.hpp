#pragma once

// libobs's count of live allocations, read once libobs has finished destroying what was let go: a source can
// outlive its last release by the test for a moment, when libobs's video thread held it or its destruction
// was queued. libobs waits for its destruction queue only once video has started (obs_session::resetVideo).

namespace obs_allocs {

// Has libobs allocate, once, the bookkeeping it keeps from its first scene, scene item and ticked frame on (its
// lists only ever grow), so that counts taken afterwards move only with what is still held.
void warmUp();

// The live count now, after the destruction queue has drained.
long now();

// Waits (polling, for at most timeoutMs) until the live count is `expected`; returns the count reached.
long settledAt(long expected, int timeoutMs = 5000);

} // namespace obs_allocs
