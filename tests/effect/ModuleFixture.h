// The built module, loaded by the substitute host exactly as the real host
// loads it: dlopen, the property record, the exported `main`.
#pragma once

#include "host/HostModule.h"
#include "host/HostRuntime.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include <unistd.h>

inline const HostModule& TexturistModule() {
    static const HostModule module(TEXTURIST_MODULE_PATH);
    return module;
}

// The module as a new host process sees it: a copy of the built file under a
// name of its own, which the dynamic loader loads afresh, static state and
// all, so that nothing an earlier host did in this process can hide a fault.
inline HostModule FreshTexturistModule() {
    static int serial = 0;
    const std::filesystem::path copy =
        std::filesystem::temp_directory_path() /
        ("texturist-fresh-" + std::to_string(::getpid()) + "-" + std::to_string(++serial) + ".so");
    std::filesystem::copy_file(TEXTURIST_MODULE_PATH, copy, std::filesystem::copy_options::overwrite_existing);
    HostModule module(copy);
    std::filesystem::remove(copy); // the loader keeps its mapping
    return module;
}

// A session with the module: global setup and parameter setup done on a host
// of the given application, an input layer bound; global setdown at the end,
// after which the host must hold nothing of the module's.
class ModuleSession {
public:
    explicit ModuleSession(uint32_t appId = kHostAppVantor, int32_t width = 64, int32_t height = 48, bool deep = false,
                           const HostModule& module = TexturistModule())
        : host(module) {
        host.SetAppId(appId);
        host.BindInputLayer(HostLayer::Still(HostImageBuffer(width, height, deep, 0, 0x80)));
        EXPECT_EQ(host.GlobalSetup(), 0);
        EXPECT_EQ(host.ParamsSetup(), 0);
    }
    ~ModuleSession() {
        EXPECT_EQ(host.GlobalSetdown(), 0);
        const HostAccounting a = host.Accounting();
        EXPECT_TRUE(a.Clean()) << "handles " << a.liveHandles << ", images " << a.liveImages << ", check-outs "
                               << a.outstandingCheckouts << ", tables " << a.liveStringTables << ", misuse " << a.misuse
                               << ", off-thread " << a.offThreadCalls;
    }

    HostParam& Param(const std::string& path) { return host.Params().ByPath(path); }

    HostRuntime host;
};
