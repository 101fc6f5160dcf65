// The parsers of the typed menu line, and option entry.
#include "console/menu_input.h"

#include "console/console_menu.h"
#include "executive/console_output.h"
#include "executive/types.h"

namespace fw {

namespace {

constexpr uint32_t MAX_DECIMAL_DIGITS = 10;
constexpr uint32_t MAX_HEX_VALUE_DIGITS = 8;
constexpr uint32_t MAX_WWN_DIGITS = 32;
constexpr uint32_t MAX_OPTION = 15;

struct Line {
    const uint8_t* pb;
    uint32_t dLength;
};

Line TypedLine() {
    const MENU_STATE* ps = psGetMenuState();
    return Line{ps->abLineBuffer, ps->bLineLength < MENU_LINE_SIZE ? ps->bLineLength : MENU_LINE_SIZE};
}

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// The value of a hexadecimal digit, or 16 for any other character.
uint32_t dHexDigit(uint8_t c) {
    if (IsDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 16;
}

bool AllHex(const Line& line) {
    for (uint32_t i = 0; i < line.dLength; ++i)
        if (dHexDigit(line.pb[i]) > 15) return false;
    return true;
}

void RefuseOption() {
    PromptSelectOption();
    psGetMenuState()->bLineLength = 0;
}

}  // namespace

uint8_t bParseMenuNumber(uint32_t* pdValue) {
    *pdValue = 0;
    const Line line = TypedLine();
    if (line.dLength == 0) return PARSE_EMPTY;
    if (line.dLength == 1 && (line.pb[0] == 'Q' || line.pb[0] == 'q')) return PARSE_QUIT;
    if (line.dLength == 1 && (line.pb[0] == 'E' || line.pb[0] == 'e')) return PARSE_EXIT;
    if (line.dLength > MAX_DECIMAL_DIGITS) return PARSE_REFUSED;
    if (line.dLength >= 4 && line.pb[0] == '9' && line.pb[1] == '9' && line.pb[2] == '.' && line.pb[3] == '9')
        return PARSE_NINETY_NINE_POINT_NINE;
    uint64_t lValue = 0;
    for (uint32_t i = 0; i < line.dLength; ++i) {
        const uint8_t c = line.pb[i];
        if (c == '.') return line.pb[0] == '.' || line.pb[0] == '0' ? PARSE_FRACTION : PARSE_REFUSED;
        if (!IsDigit(c)) return PARSE_REFUSED;
        lValue = lValue * 10 + (c - '0');
    }
    if (lValue > 0xFFFFFFFFull) return PARSE_REFUSED;
    *pdValue = static_cast<uint32_t>(lValue);
    return PARSE_VALUE;
}

// Only one or two digits after the point count: anything else typed there
// would otherwise become a reserve code of its own.
uint8_t bParseDecimalFraction(uint32_t* pdValue) {
    *pdValue = 0;
    const Line line = TypedLine();
    if (line.dLength > 4) return PARSE_REFUSED;
    uint32_t dPoint = 0;
    if (line.dLength >= 2 && line.pb[0] == '0' && line.pb[1] == '.') {
        dPoint = 1;
    } else if (line.dLength < 1 || line.pb[0] != '.') {
        return PARSE_REFUSED;
    }
    const uint32_t dDigits = line.dLength - dPoint - 1;
    if (dDigits < 1 || dDigits > 2) return PARSE_REFUSED;
    const uint8_t* pbDigits = line.pb + dPoint + 1;
    for (uint32_t i = 0; i < dDigits; ++i)
        if (!IsDigit(pbDigits[i])) return PARSE_REFUSED;
    const uint32_t dHundredths = dDigits == 1 ? 10 * (pbDigits[0] - '0') : 10 * (pbDigits[0] - '0') + (pbDigits[1] - '0');
    *pdValue = 100 + dHundredths;
    return PARSE_VALUE;
}

uint8_t bGetHexValueInput(uint32_t* pdValue) {
    const Line line = TypedLine();
    if (line.dLength == 0) return PARSE_EMPTY;
    if (line.dLength > MAX_HEX_VALUE_DIGITS || !AllHex(line)) return PARSE_REFUSED;
    uint32_t dValue = 0;
    for (uint32_t i = 0; i < line.dLength; ++i) dValue = dValue << 4 | dHexDigit(line.pb[i]);
    *pdValue = dValue;
    return PARSE_VALUE;
}

uint8_t bGetWwnInput(uint8_t* pbDigits, uint64_t* plLow, uint64_t* plHigh) {
    const Line line = TypedLine();
    if (line.dLength == 0 || line.dLength > MAX_WWN_DIGITS || !AllHex(line)) return PARSE_REFUSED;
    const uint32_t dHighDigits = line.dLength > 16 ? line.dLength - 16 : 0;
    uint64_t lHigh = 0, lLow = 0;
    for (uint32_t i = 0; i < line.dLength; ++i) {
        uint64_t& l = i < dHighDigits ? lHigh : lLow;
        l = l << 4 | dHexDigit(line.pb[i]);
    }
    *pbDigits = static_cast<uint8_t>(line.dLength);
    *plLow = lLow;
    *plHigh = lHigh;
    return PARSE_VALUE;
}

uint8_t bGetHexInput(uint8_t* pbBytes, uint8_t* pbCount, uint8_t bMaximum) {
    const Line line = TypedLine();
    if (line.dLength == 0) return PARSE_EMPTY;
    if (line.dLength % 2 != 0 || line.dLength > 2u * bMaximum || !AllHex(line)) return PARSE_REFUSED;
    for (uint32_t i = 0; i < line.dLength; i += 2)
        pbBytes[i / 2] = static_cast<uint8_t>(dHexDigit(line.pb[i]) << 4 | dHexDigit(line.pb[i + 1]));
    *pbCount = static_cast<uint8_t>(line.dLength / 2);
    return PARSE_VALUE;
}

uint8_t bGetMenuTextInput(char* pcText, uint8_t* pbLength, uint8_t bMaximum) {
    const Line line = TypedLine();
    if (line.dLength == 0) return PARSE_EMPTY;
    if (line.dLength > bMaximum) return PARSE_REFUSED;
    for (uint32_t i = 0; i < line.dLength; ++i)
        if (line.pb[i] < 32 || line.pb[i] > 126) return PARSE_REFUSED;
    for (uint32_t i = 0; i < line.dLength; ++i) pcText[i] = static_cast<char>(line.pb[i]);
    *pbLength = static_cast<uint8_t>(line.dLength);
    return PARSE_VALUE;
}

uint8_t bGetIpAddressInput(uint32_t* pdAddress) {
    const Line line = TypedLine();
    if (line.dLength < 7 || line.dLength > 15) return PARSE_REFUSED;
    if (line.pb[0] == '.' || line.pb[line.dLength - 1] == '.') return PARSE_REFUSED;
    uint32_t adPart[4] = {};
    uint32_t dPart = 0;
    for (uint32_t i = 0; i < line.dLength; ++i) {
        const uint8_t c = line.pb[i];
        if (c == '.') {
            if (++dPart > 3) return PARSE_REFUSED;
        } else if (IsDigit(c)) {
            adPart[dPart] = adPart[dPart] * 10 + (c - '0');
            if (adPart[dPart] > 255) return PARSE_REFUSED;
        } else {
            return PARSE_REFUSED;
        }
    }
    if (dPart != 3) return PARSE_REFUSED;
    *pdAddress = adPart[0] << 24 | adPart[1] << 16 | adPart[2] << 8 | adPart[3];
    return PARSE_VALUE;
}

uint8_t bParseYesNo() {
    const Line line = TypedLine();
    if (line.dLength == 0) return PARSE_EMPTY;
    if (line.dLength > 1) return PARSE_REFUSED;
    if (line.pb[0] == 'Y' || line.pb[0] == 'y') return TRUE;
    if (line.pb[0] == 'N' || line.pb[0] == 'n') return FALSE;
    return PARSE_REFUSED;
}

void TakeOptionEntry() {
    MENU_STATE* ps = psGetMenuState();
    const Line line = TypedLine();
    if (line.dLength == 0) {
        PromptSelectOption();
        return;
    }
    if (line.dLength > 2 || !IsDigit(line.pb[0]) || (line.dLength == 2 && !IsDigit(line.pb[1]))) {
        RefuseOption();
        return;
    }
    const uint32_t dOption = line.dLength == 1 ? line.pb[0] - '0' : 10 * (line.pb[0] - '0') + (line.pb[1] - '0');
    if (dOption > MAX_OPTION) {
        RefuseOption();
        return;
    }
    ps->wSelectedOption = static_cast<uint16_t>(1u << dOption);
    if ((ps->wSelectedOption & ps->wValidOptionMask) == 0) {
        RefuseOption();
        ps->wSelectedOption = 0;
        return;
    }
    ConsolePrintf("\n\n");
    CallMenuFromInput();
}

}  // namespace fw
