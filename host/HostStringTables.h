// The host's string-table services: register, fetch, release.
//
// These services carry no effect reference, so the registry is process-wide
// (guarded by a mutex) and each registered table remembers the owner that was
// current when it was registered (the runtime whose call was running), for
// accounting and for clean-up when that owner goes away.
//
// Register receives the address of a variable holding a
// `HostStringTableHeader*` and the magic number 4230. The header must carry
// the code "FX", a count of at least 1 that includes a terminator entry (null
// text) as its last entry, and entries whose texts all contain '='. The texts
// are copied, so the module's table may change afterwards. On success the
// variable is overwritten with an opaque registered-table pointer.
//
// Fetch(registered table, N) returns the text of entry N after the first '=',
// cut at "{{*COMMENT*}}" when present; null for an unknown table or a number
// outside 0 .. count - 2. The text stays valid until the table is released.
// Release receives the address of the variable holding the registered table,
// forgets the table and clears the variable.
#pragma once

#include "interface/HostInterface.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

constexpr int32_t kHostStringTableMagic = 4230;

class HostStringTables {
public:
    static HostStringTables& Instance();

    // Return host error codes (kHostErrBadArgument for anything malformed or unknown).
    int32_t Register(const void** variable, int32_t magic, const void* owner);
    const char* Fetch(const void* table, int32_t number) const;
    int32_t Release(const void** variable);

    int64_t LiveCount(const void* owner) const;
    // Forgets every table of the owner; returns how many there were.
    int64_t ReleaseAll(const void* owner);

private:
    struct Table {
        const void* owner;
        std::vector<std::string> texts;
    };
    mutable std::mutex mutex_;
    std::unordered_map<const void*, std::unique_ptr<Table>> tables_;
};
