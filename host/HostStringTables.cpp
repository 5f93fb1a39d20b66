#include "host/HostStringTables.h"

#include "host/HostErrors.h"

#include <cstring>

namespace {

constexpr int32_t kMaxEntries = 1 << 16;
constexpr const char* kCommentMark = "{{*COMMENT*}}";

} // namespace

HostStringTables& HostStringTables::Instance() {
    static HostStringTables registry;
    return registry;
}

int32_t HostStringTables::Register(const void** variable, int32_t magic, const void* owner) {
    if (variable == nullptr || *variable == nullptr || magic != kHostStringTableMagic) return kHostErrBadArgument;
    const auto* header = static_cast<const HostStringTableHeader*>(*variable);
    if (header->code == nullptr || std::strcmp(header->code, "FX") != 0) return kHostErrBadArgument;
    if (header->count < 1 || header->count > kMaxEntries || header->entries == nullptr) return kHostErrBadArgument;
    if (header->entries[header->count - 1].text != nullptr) return kHostErrBadArgument;

    auto table = std::make_unique<Table>();
    table->owner = owner;
    table->texts.reserve(static_cast<size_t>(header->count - 1));
    for (int32_t i = 0; i < header->count - 1; ++i) {
        const char* entry = header->entries[i].text;
        const char* equals = entry ? std::strchr(entry, '=') : nullptr;
        if (equals == nullptr) return kHostErrBadArgument;
        std::string text(equals + 1);
        const size_t comment = text.find(kCommentMark);
        if (comment != std::string::npos) text.erase(comment);
        table->texts.push_back(std::move(text));
    }

    std::lock_guard<std::mutex> guard(mutex_);
    const void* key = table.get();
    tables_.emplace(key, std::move(table));
    *variable = key;
    return kHostOk;
}

const char* HostStringTables::Fetch(const void* table, int32_t number) const {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = tables_.find(table);
    if (found == tables_.end()) return nullptr;
    const std::vector<std::string>& texts = found->second->texts;
    if (number < 0 || static_cast<size_t>(number) >= texts.size()) return nullptr;
    return texts[static_cast<size_t>(number)].c_str();
}

int32_t HostStringTables::Release(const void** variable) {
    if (variable == nullptr) return kHostErrBadArgument;
    std::lock_guard<std::mutex> guard(mutex_);
    if (tables_.erase(*variable) == 0) return kHostErrBadArgument;
    *variable = nullptr;
    return kHostOk;
}

int64_t HostStringTables::LiveCount(const void* owner) const {
    std::lock_guard<std::mutex> guard(mutex_);
    int64_t count = 0;
    for (const auto& [key, table] : tables_) count += table->owner == owner ? 1 : 0;
    return count;
}

int64_t HostStringTables::ReleaseAll(const void* owner) {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<int64_t>(
        std::erase_if(tables_, [owner](const auto& entry) { return entry.second->owner == owner; }));
}
