// The Vantor host's binary interface, as the module sees it: the per-call
// records, the service table, images and parameter records, laid out byte for
// byte as the host lays them out in its 64-bit build. Every offset the module
// relies on is pinned by a static_assert below; fields the module never uses
// are kept as reserved bytes so the layout stays whole.
//
// Conventions of the host:
// - Every service of `HostUtilities` takes the effect reference
//   (`HostInData::effectRef`) first; so do the parameter, abort and progress
//   services of `HostInData`. The string-table services take the table.
// - Services return 0 on success or a host error code.
// - A handle is the address of a word holding the block's current address;
//   the block may move while the handle is unlocked.
// - Images hold four interleaved channels, alpha first, 8 bits or (flag bit 0)
//   16 bits with full scale 32768.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

using HostEffectRef = void*;
using HostHandle = void**;

struct HostRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// Four bytes of colour in the host's channel order.
struct HostPixel8 {
    uint8_t alpha;
    uint8_t red;
    uint8_t green;
    uint8_t blue;
};

enum : uint32_t { kHostImageDeep = 1u }; // HostImage::flags: 16-bit samples

struct HostImage {
    void* hostData; // 0: the host's own bookkeeping
    uint8_t reserved8[8];
    uint32_t flags; // 16
    uint8_t reserved20[4];
    uint8_t* pixels;  // 24: null when a layer parameter has no layer
    int32_t rowBytes; // 32
    int32_t width;    // 36
    int32_t height;   // 40
    HostRect extent;  // 44: left, top, right, bottom
    uint8_t reserved60[4];
};

// The value areas of a parameter record, one layout per parameter type; all
// offsets in comments are from the start of the record.
struct HostSliderValue { // integer and fixed-point sliders
    int32_t value;       // 56 (16.16 for fixed-point)
    uint8_t reserved60[64];
    int32_t validMin;     // 124
    int32_t validMax;     // 128
    int32_t sliderMin;    // 132
    int32_t sliderMax;    // 136
    int32_t defaultValue; // 140
    int16_t precision;    // 144
    int16_t displayFlags; // 146: 1 = percent
};

struct HostCheckboxValue {
    int32_t value;        // 56
    uint8_t defaultValue; // 60
    uint8_t reserved61[3];
    const char* label; // 64
};

struct HostColorValue {
    HostPixel8 value;        // 56
    HostPixel8 defaultValue; // 60
};

struct HostPointValue {
    int32_t x; // 56, 16.16 pixels
    int32_t y; // 60
    uint8_t reserved64[3];
    uint8_t restrictToLayer; // 67
    int32_t defaultX;        // 68, 16.16 percent of the layer size
    int32_t defaultY;        // 72
};

struct HostPopupValue {
    int32_t value;        // 56, 1-based
    int16_t choiceCount;  // 60
    int16_t defaultValue; // 62
    const char* choices;  // 64, "A|B|C"
};

struct HostLayerValue {
    HostImage image; // 56 while checked out
    uint8_t reserved120[52];
    int32_t defaultValue; // 172: 0 = none
};

enum HostParamType : int32_t {
    kHostParamLayer = 0,
    kHostParamSlider = 1,
    kHostParamFixedSlider = 2,
    kHostParamCheckbox = 4,
    kHostParamColor = 5,
    kHostParamPoint = 6,
    kHostParamPopup = 7,
    kHostParamGroupStart = 13,
    kHostParamGroupEnd = 14,
};

enum : uint32_t {
    kHostUiDisabled = 32,      // HostParamRecord::uiFlags
    kHostParamCollapsed = 32,  // HostParamRecord::flags, set by every definition
    kHostParamSupervised = 64, // HostParamRecord::flags: report every change (selector 13)
};

struct HostParamRecord {
    int32_t id;       // 0: the module's identifier; 1 marks a value the module changed
    uint32_t uiFlags; // 4
    uint8_t reserved8[4];
    int32_t type;   // 12: HostParamType
    char name[32];  // 16
    uint32_t flags; // 48
    uint8_t reserved52[4];
    union { // 56
        HostSliderValue slider;
        HostCheckboxValue checkbox;
        HostColorValue color;
        HostPointValue point;
        HostPopupValue popup;
        HostLayerValue layer;
        uint8_t bytes[120];
    } u;
};

struct HostStringEntry {
    const char* text; // "key=text"
    uint64_t hostWords[3];
};

struct HostStringTableHeader {
    const char* code; // "FX"
    int32_t count;    // entries, terminator included
    const HostStringEntry* entries;
};

using HostIterateBody = int32_t (*)(void* context, int32_t thread, int32_t index, int32_t count);

struct HostUtilities {
    uint8_t reserved0[64];
    // 64: copies srcRect of src into dstRect of dst, scaling when the sizes
    // differ; null rectangles stand for the whole images.
    int32_t (*copyImage)(HostEffectRef, const HostImage* src, HostImage* dst, const HostRect* srcRect,
                         const HostRect* dstRect);
    // 72: fills rect (null: all) of image with color (null: transparent black).
    int32_t (*fillImage)(HostEffectRef, const HostPixel8* color, const HostRect* rect, HostImage* image);
    uint8_t reserved80[32];
    int32_t (*newImage)(HostEffectRef, int32_t width, int32_t height, uint32_t flags, HostImage* image); // 112
    int32_t (*disposeImage)(HostEffectRef, HostImage* image);                                            // 120
    uint8_t reserved128[32];
    HostHandle (*newHandle)(HostEffectRef, uint64_t size); // 160: null when memory is exhausted
    void* (*lockHandle)(HostEffectRef, HostHandle);        // 168
    void (*unlockHandle)(HostEffectRef, HostHandle);       // 176
    void (*disposeHandle)(HostEffectRef, HostHandle);      // 184
    uint8_t reserved192[136];
    // 328: printf into buffer (bufferSize bytes, always NUL-terminated).
    int32_t (*formatText)(HostEffectRef, char* buffer, int32_t bufferSize, const char* format, ...);
    // 336: copies source into destination (destinationSize bytes, always NUL-terminated).
    int32_t (*copyText)(HostEffectRef, const char* source, char* destination, int32_t destinationSize);
    uint8_t reserved344[96];
    uint64_t (*handleSize)(HostEffectRef, HostHandle); // 440
    uint8_t reserved448[8];
    // 456, may be null: runs body(context, thread, i, count) for every i in
    // [0, count) on the host's workers; 0 when every call returned 0.
    int32_t (*iterate)(HostEffectRef, int32_t count, void* context, HostIterateBody body);
};

struct HostSuiteAccess {
    int32_t (*acquireSuite)(HostEffectRef, const char* name, int32_t version, const void** suite); // slot 0
    int32_t (*releaseSuite)(HostEffectRef, const char* name, int32_t version);                     // slot 1
};

// "PF Param Utils Suite" version 2.
struct HostParamUtilsSuite {
    int32_t (*updateParamUi)(HostEffectRef, int32_t hostIndex, const HostParamRecord* record);
};

struct HostInData {
    int32_t (*checkoutParam)(HostEffectRef, int32_t hostIndex, int32_t time, int32_t timeStep, uint32_t timeScale,
                             HostParamRecord* record);                          // 0
    int32_t (*checkinParam)(HostEffectRef, HostParamRecord* record);            // 8
    int32_t (*addParam)(HostEffectRef, int32_t index, HostParamRecord* record); // 16
    int32_t (*abort)(HostEffectRef);                                            // 24
    int32_t (*progress)(HostEffectRef, int32_t done, int32_t total);            // 32
    uint8_t reserved40[56];
    int32_t (*registerStrings)(const void** table, int32_t magic);                   // 96
    const char* (*fetchString)(const void* table, int32_t number, int32_t, int32_t); // 104
    int32_t (*releaseStrings)(const void** table);                                   // 112
    uint8_t reserved120[56];
    HostUtilities* utils;    // 176
    HostEffectRef effectRef; // 184
    uint8_t reserved192[12];
    uint32_t appId; // 204: four-character code, first letter in the top byte
    uint8_t reserved208[16];
    int32_t currentTime; // 224
    int32_t timeStep;    // 228
    int32_t totalTime;   // 232
    uint8_t reserved236[4];
    uint32_t timeScale; // 240
    uint8_t reserved244[40];
    int32_t downsampleXNum;  // 284
    uint32_t downsampleXDen; // 288
    int32_t downsampleYNum;  // 292
    uint32_t downsampleYDen; // 296
    uint8_t reserved300[12];
    HostHandle globalData; // 312
    uint8_t reserved320[64];
    const HostSuiteAccess* suites; // 384
};

struct HostOutData {
    uint32_t version; // 0
    uint8_t reserved4[36];
    HostHandle globalData; // 40
    int32_t numParams;     // 48
    uint8_t reserved52[28];
    int32_t width;           // 80
    int32_t height;          // 84
    int32_t originX;         // 88
    int32_t originY;         // 92
    uint32_t outFlags;       // 96
    char returnMessage[256]; // 100
    uint8_t reserved356[44];
    uint32_t outFlags2; // 400
};

enum HostCommand : uint32_t {
    kHostCmdAbout = 0,
    kHostCmdGlobalSetup = 1,
    kHostCmdGlobalSetdown = 3,
    kHostCmdParamsSetup = 4,
    kHostCmdFrameSetup = 10,
    kHostCmdRender = 11,
    kHostCmdUserChangedParam = 13,
    kHostCmdUpdateParamsUi = 14,
    kHostCmdEvent = 15,
    kHostCmdCount = 16,
};

// The module's entry point, exported as "main".
using HostEntryPoint = int32_t (*)(uint32_t selector, HostInData* in, HostOutData* out, HostParamRecord** params,
                                   HostImage* output, void* extra);

// Four-character host application codes.
constexpr uint32_t HostFourCC(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) << 24 | static_cast<uint32_t>(static_cast<uint8_t>(b)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 8 | static_cast<uint32_t>(static_cast<uint8_t>(d));
}

} // extern "C"

// The main host, and the other hosts whose orders and conventions differ.
constexpr uint32_t kHostAppVantor = HostFourCC('V', 'N', 'T', 'R');
constexpr uint32_t kHostAppA = HostFourCC('H', 'O', 'S', 'A');
constexpr uint32_t kHostAppB = HostFourCC('H', 'O', 'S', 'B');
constexpr uint32_t kHostAppC = HostFourCC('H', 'O', 'S', 'C');
constexpr uint32_t kHostAppD = HostFourCC('H', 'O', 'S', 'D');

// The module's property record: on Windows a resource of the DLL, elsewhere
// the contents of the shared object's section `kHostPropertySection`.
struct HostModuleProperties {
    char magic[8];       // "VTPROPS\0"
    uint32_t version;    // 1
    char name[64];       // display name
    char category[64];   // "Noise & Grain"
    char entryPoint[32]; // "main"
};
#define HOST_PROPERTY_SECTION ".vantor_props"
// On Windows: an RCDATA resource of this name holding "VTPROPS\0" and the
// name, category and entry point, each NUL-terminated.
#define HOST_PROPERTY_RESOURCE "TEXTURIST_PROPERTIES"

#if INTPTR_MAX == INT64_MAX
static_assert(offsetof(HostImage, flags) == 16);
static_assert(offsetof(HostImage, pixels) == 24);
static_assert(offsetof(HostImage, rowBytes) == 32);
static_assert(offsetof(HostImage, width) == 36);
static_assert(offsetof(HostImage, height) == 40);
static_assert(offsetof(HostImage, extent) == 44);
static_assert(sizeof(HostImage) == 64);

static_assert(sizeof(HostParamRecord) == 176);
static_assert(offsetof(HostParamRecord, uiFlags) == 4);
static_assert(offsetof(HostParamRecord, type) == 12);
static_assert(offsetof(HostParamRecord, name) == 16);
static_assert(offsetof(HostParamRecord, flags) == 48);
static_assert(offsetof(HostParamRecord, u) == 56);
static_assert(offsetof(HostParamRecord, u.slider.validMin) == 124);
static_assert(offsetof(HostParamRecord, u.slider.validMax) == 128);
static_assert(offsetof(HostParamRecord, u.slider.sliderMin) == 132);
static_assert(offsetof(HostParamRecord, u.slider.sliderMax) == 136);
static_assert(offsetof(HostParamRecord, u.slider.defaultValue) == 140);
static_assert(offsetof(HostParamRecord, u.slider.precision) == 144);
static_assert(offsetof(HostParamRecord, u.slider.displayFlags) == 146);
static_assert(offsetof(HostParamRecord, u.checkbox.defaultValue) == 60);
static_assert(offsetof(HostParamRecord, u.checkbox.label) == 64);
static_assert(offsetof(HostParamRecord, u.color.defaultValue) == 60);
static_assert(offsetof(HostParamRecord, u.point.y) == 60);
static_assert(offsetof(HostParamRecord, u.point.restrictToLayer) == 67);
static_assert(offsetof(HostParamRecord, u.point.defaultX) == 68);
static_assert(offsetof(HostParamRecord, u.point.defaultY) == 72);
static_assert(offsetof(HostParamRecord, u.popup.choiceCount) == 60);
static_assert(offsetof(HostParamRecord, u.popup.defaultValue) == 62);
static_assert(offsetof(HostParamRecord, u.popup.choices) == 64);
static_assert(offsetof(HostParamRecord, u.layer.image.pixels) == 80);
static_assert(offsetof(HostParamRecord, u.layer.image.width) == 92);
static_assert(offsetof(HostParamRecord, u.layer.image.height) == 96);
static_assert(offsetof(HostParamRecord, u.layer.defaultValue) == 172);

static_assert(sizeof(HostStringEntry) == 32);
static_assert(offsetof(HostStringTableHeader, count) == 8);
static_assert(offsetof(HostStringTableHeader, entries) == 16);

static_assert(offsetof(HostUtilities, copyImage) == 64);
static_assert(offsetof(HostUtilities, fillImage) == 72);
static_assert(offsetof(HostUtilities, newImage) == 112);
static_assert(offsetof(HostUtilities, disposeImage) == 120);
static_assert(offsetof(HostUtilities, newHandle) == 160);
static_assert(offsetof(HostUtilities, lockHandle) == 168);
static_assert(offsetof(HostUtilities, unlockHandle) == 176);
static_assert(offsetof(HostUtilities, disposeHandle) == 184);
static_assert(offsetof(HostUtilities, formatText) == 328);
static_assert(offsetof(HostUtilities, copyText) == 336);
static_assert(offsetof(HostUtilities, handleSize) == 440);
static_assert(offsetof(HostUtilities, iterate) == 456);

static_assert(offsetof(HostInData, checkinParam) == 8);
static_assert(offsetof(HostInData, addParam) == 16);
static_assert(offsetof(HostInData, abort) == 24);
static_assert(offsetof(HostInData, progress) == 32);
static_assert(offsetof(HostInData, registerStrings) == 96);
static_assert(offsetof(HostInData, fetchString) == 104);
static_assert(offsetof(HostInData, releaseStrings) == 112);
static_assert(offsetof(HostInData, utils) == 176);
static_assert(offsetof(HostInData, effectRef) == 184);
static_assert(offsetof(HostInData, appId) == 204);
static_assert(offsetof(HostInData, currentTime) == 224);
static_assert(offsetof(HostInData, timeStep) == 228);
static_assert(offsetof(HostInData, totalTime) == 232);
static_assert(offsetof(HostInData, timeScale) == 240);
static_assert(offsetof(HostInData, downsampleXNum) == 284);
static_assert(offsetof(HostInData, downsampleXDen) == 288);
static_assert(offsetof(HostInData, downsampleYNum) == 292);
static_assert(offsetof(HostInData, downsampleYDen) == 296);
static_assert(offsetof(HostInData, globalData) == 312);
static_assert(offsetof(HostInData, suites) == 384);

static_assert(offsetof(HostOutData, globalData) == 40);
static_assert(offsetof(HostOutData, numParams) == 48);
static_assert(offsetof(HostOutData, width) == 80);
static_assert(offsetof(HostOutData, height) == 84);
static_assert(offsetof(HostOutData, originX) == 88);
static_assert(offsetof(HostOutData, originY) == 92);
static_assert(offsetof(HostOutData, outFlags) == 96);
static_assert(offsetof(HostOutData, returnMessage) == 100);
static_assert(offsetof(HostOutData, outFlags2) == 400);
#endif
