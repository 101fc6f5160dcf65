// The parsers of the typed menu line, and option entry: they read the line
// of the menu state and return 13 for an empty line, 0 for a refused one and
// 255 for a value.
#pragma once

#include <cstdint>

namespace fw {

// Parser results.
constexpr uint8_t PARSE_EMPTY = 13;
constexpr uint8_t PARSE_REFUSED = 0;
constexpr uint8_t PARSE_VALUE = 255;
constexpr uint8_t PARSE_QUIT = 162;           // "Q" or "q"
constexpr uint8_t PARSE_EXIT = 163;           // "E" or "e"
constexpr uint8_t PARSE_FRACTION = 164;       // a point: read it with bParseDecimalFraction
constexpr uint8_t PARSE_NINETY_NINE_POINT_NINE = 165;

uint8_t bParseMenuNumber(uint32_t* pdValue);
uint8_t bParseDecimalFraction(uint32_t* pdValue);
uint8_t bGetHexValueInput(uint32_t* pdValue);
uint8_t bGetWwnInput(uint8_t* pbDigits, uint64_t* plLow, uint64_t* plHigh);
uint8_t bGetHexInput(uint8_t* pbBytes, uint8_t* pbCount, uint8_t bMaximum);
uint8_t bGetMenuTextInput(char* pcText, uint8_t* pbLength, uint8_t bMaximum);
uint8_t bGetIpAddressInput(uint32_t* pdAddress);
// TRUE for Y or y, FALSE for N or n, 13 empty, 0 anything else.
uint8_t bParseYesNo();

// A completed line while option entry is on: a 1- or 2-digit option the
// menu offers is stored as its bit and the menu is called; anything else
// asks again.
void TakeOptionEntry();

}  // namespace fw
