// The effect's parameters as the host sees them: declarations, host order and
// the table of UI strings.
//
// The host order depends on the host application (HOSA moves one slider, HOSB
// and HOSC flatten the groups); `ParamId`s never change. The index table is
// built at the first lookup from the current call's host application, and
// built again should a later call come from another application.
#pragma once

#include "ParamId.h"
#include "interface/HostInterface.h"

#include <cstdint>

constexpr int32_t kMaxParams = 128;
constexpr int32_t kStringCount = 80;

// Host index of a parameter; 0 for a number no parameter has.
int32_t HostIndex(ParamId id);
// Number of host parameters, input layer included.
int32_t HostParamCount();

// The module's own declaration record of a parameter (what parameter setup hands the host).
HostParamRecord& DeclaredRecord(ParamId id);

// True for sliders shown as percentages (read 0..100 on every host).
bool IsPercentSlider(ParamId id);

// The string table registered with the host at global setup.
const HostStringTableHeader& StringTableHeader();

// Parameter setup: sets the out record's count to 1, declares every parameter
// and adds them to the host in host order. Returns the host's error code.
int32_t SetupParameters();
