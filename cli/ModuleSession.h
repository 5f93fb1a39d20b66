// The module loaded into the substitute host and set up as the real host sets
// it up: global setup, then parameter setup; at the end global setdown, after
// which the host must hold nothing of the module's.
//
// Locating the module: --module when given; otherwise the module this program
// was built with (its path is compiled in); otherwise Texturist.so next to
// the executable. A module that cannot be found or loaded, or a setup that
// fails, is a CliError naming the file and the module's own message.
#pragma once

#include "host/HostModule.h"
#include "host/HostRuntime.h"

#include <filesystem>
#include <memory>
#include <string>

std::filesystem::path LocateModule(const std::string& requested);

// "Out of memory. (code 4)": the module's return message and code, for errors.
std::string DescribeModuleFailure(const HostRuntime& host, int32_t code);

class ModuleSession {
public:
    explicit ModuleSession(const std::string& requestedModule);
    ModuleSession(const ModuleSession&) = delete;
    ModuleSession& operator=(const ModuleSession&) = delete;
    // Sets the module down if Finish() was not reached (an error is on its way).
    ~ModuleSession();

    HostRuntime& Host() { return *host_; }
    const HostModule& Module() const { return module_; }

    // Global setdown and the leak check: CliError(RenderFailed) when the module
    // failed to set down or left handles, images, check-outs or tables behind.
    void Finish();

private:
    HostModule module_;
    std::unique_ptr<HostRuntime> host_;
    bool finished_ = false;
};
