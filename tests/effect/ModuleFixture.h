// The built module, loaded by the substitute host exactly as the real host
// loads it: dlopen, the property record, the exported `main`.
#pragma once

#include "host/HostModule.h"
#include "host/HostRuntime.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

inline const HostModule& TexturistModule() {
    static const HostModule module(TEXTURIST_MODULE_PATH);
    return module;
}

// A session with the module: global setup and parameter setup done on a host
// of the given application, an input layer bound; global setdown at the end,
// after which the host must hold nothing of the module's.
class ModuleSession {
public:
    explicit ModuleSession(uint32_t appId = HostFourCC('V', 'N', 'T', 'R'), int32_t width = 64, int32_t height = 48,
                           bool deep = false)
        : host(TexturistModule()) {
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
