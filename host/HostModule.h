// Loading a module: a shared object with a property record and an entry point.
//
// The property record (`HostModuleProperties`) is read from the file itself,
// before the module is loaded, so it can be inspected without running any of
// the module's code: on Linux from the ELF section named HOST_PROPERTY_SECTION,
// by walking the section headers (32- and 64-bit ELF files in the machine's
// byte order); on Windows from the DLL's RCDATA resource HOST_PROPERTY_RESOURCE,
// the DLL mapped as data. The record must start with "VTPROPS\0" and carry
// version 1 and a NUL-terminated entry-point name.
//
// HostModule then loads the file (dlopen with RTLD_NOW | RTLD_LOCAL, or
// LoadLibrary) and finds the entry point named by the record (dlsym,
// GetProcAddress). A file without a record falls back to the name "main";
// `Notice()` says so. Failures throw HostModuleError with a message that names
// the file: a missing or unreadable file, a file that is not ELF (not a DLL),
// a malformed section table or property record, a failed load, an entry point
// that is not there. The module stays loaded until the HostModule is destroyed.
#pragma once

#include "interface/HostInterface.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

class HostModuleError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The property record of an ELF file, or nullopt when it has no such section.
std::optional<HostModuleProperties> HostReadModuleProperties(const std::filesystem::path& file);

class HostModule {
public:
    explicit HostModule(const std::filesystem::path& file);
    HostModule(HostModule&& other) noexcept;
    HostModule& operator=(HostModule&& other) noexcept;
    HostModule(const HostModule&) = delete;
    HostModule& operator=(const HostModule&) = delete;
    ~HostModule();

    const std::filesystem::path& Path() const { return path_; }
    bool HasProperties() const { return hasProperties_; }
    // The record as read; when the section is absent, zeroed but for the entry point "main".
    const HostModuleProperties& Properties() const { return properties_; }
    std::string Name() const;
    std::string Category() const;
    const std::string& EntryPointName() const { return entryName_; }
    HostEntryPoint EntryPoint() const { return entry_; }
    // Empty, or a remark about how the module was loaded (the fallback entry point).
    const std::string& Notice() const { return notice_; }

private:
    void Close() noexcept;

    std::filesystem::path path_;
    HostModuleProperties properties_{};
    bool hasProperties_ = false;
    std::string entryName_;
    std::string notice_;
    void* library_ = nullptr;
    HostEntryPoint entry_ = nullptr;
};
