// A dialog template as data: what a front end needs to build a dialog window. Coordinates are
// dialog units of the template's font. The Windows build carries the same templates in its
// resource script; both are generated from ui/res/resources.json.
#pragma once

#include <cstdint>

struct DialogControl {
    int id;                 // -1 for a static without an id
    const char* className;  // "button", "static", "msctls_progress32"
    const char* text;       // window text; for an SS_ICON static, empty (see iconId)
    int iconId;             // an SS_ICON static's icon resource, else 0
    int x, y, cx, cy;
    uint32_t style;
};

struct DialogTemplate {
    int id;
    const char* caption;
    const char* fontName;
    int pointSize;
    bool extended;  // stored as an extended template on Windows
    int x, y, cx, cy;
    uint32_t style;
    uint32_t exStyle;
    const DialogControl* controls;
    int controlCount;
};

// Style bits the front ends look at.
namespace dlgstyle {
constexpr uint32_t kVisible = 0x10000000;
constexpr uint32_t kDisabled = 0x08000000;
constexpr uint32_t kTabStop = 0x00010000;
constexpr uint32_t kGroup = 0x00020000;
constexpr uint32_t kBorder = 0x00800000;
constexpr uint32_t kDefPushButton = 0x00000001;  // button class
constexpr uint32_t kSsTypeMask = 0x0000001F;     // static class
constexpr uint32_t kSsLeft = 0x00000000;
constexpr uint32_t kSsCenter = 0x00000001;
constexpr uint32_t kSsIcon = 0x00000003;
constexpr uint32_t kSsNoPrefix = 0x00000080;
constexpr uint32_t kSsSunken = 0x00001000;
constexpr uint32_t kPbsSmooth = 0x00000001;  // progress class
}  // namespace dlgstyle

// value × numerator / denominator rounded to the nearest integer, halves away from zero, as the
// window system's MulDiv rounds (denominator above zero; the product is taken in 64 bits).
constexpr int MulDivRounded(int value, int numerator, int denominator) {
    long long product = static_cast<long long>(value) * numerator;
    long long half = denominator / 2;
    long long scaled =
        product >= 0 ? (product + half) / denominator : -((-product + half) / denominator);
    return static_cast<int>(scaled);
}

// Dialog units in pixels at the base units of the templates' font (8-point "MS Sans Serif" at
// 96 dpi: 6 pixels for 4 horizontal units, 13 for 8 vertical ones), rounded as the window system
// rounds them. Every front end that builds its windows from these templates uses them, the
// terminal and the recording one too although they draw nothing at those sizes: the centring
// rule places a dialog by its window rectangle, so the same dialog lands on the same spot
// whichever front end shows it. (The Win32 front end leaves this to the system, which measures
// the font itself.)
constexpr int DialogUnitsToPixelsX(int units) {
    return MulDivRounded(units, 6, 4);
}
constexpr int DialogUnitsToPixelsY(int units) {
    return MulDivRounded(units, 13, 8);
}

// The program's resources as data (generated into ui/res). Null or empty when there is none.
const DialogTemplate* FindDialogTemplate(int id);
const char* FindStringResource(int id);

// The application icon as pixels: width × height, one 0xAARRGGBB word per pixel, rows from the
// top. Null when there is no icon of that id and size.
const uint32_t* FindIconPixels(int id, int size);
