// Error codes that the substitute host returns from its services.
//
// The module passes any non-zero code back to its caller unchanged, so the
// values only need to be distinct from each other and from 0. 4 and 512 are
// the codes the module itself uses for exhausted memory and for any other
// failure; the host uses 4 for its own memory failures so that both sides agree
// on it, and keeps 512 out of its own vocabulary so a test can tell the
// module's failures from the host's.
#pragma once

#include <cstdint>

enum HostError : int32_t {
    kHostOk = 0,
    kHostErrCancelled = 1,     // the user cancelled (abort and progress)
    kHostErrOutOfMemory = 4,   // images and other host allocations
    kHostErrBadArgument = 6,   // null or out-of-range arguments, malformed tables, unknown records
    kHostErrUnknownSuite = 7,  // a suite name or version the host does not offer
    kHostErrBadEffectRef = 8,  // a service called with an effect reference that is not a runtime
    kHostErrInjectedFault = 9, // the default code of a fault injected by a test
};
