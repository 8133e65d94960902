#include "platform/linux/key_codes.h"

#include <utility>

namespace parlotta {

namespace {

// (evdev code, virtual key code) for the keys both numberings know. Two evdev
// keys map to Help (114): KEY_HELP first, so that Help maps back to it, and
// KEY_INSERT, which PC keyboards have where Help was.
constexpr std::pair<int, std::int64_t> keyTable[] = {
    {138, 114}, {30, 0},    {31, 1},   {32, 2},    {33, 3},    {35, 4},    {34, 5},    {44, 6},
    {45, 7},    {46, 8},    {47, 9},   {86, 10},   {48, 11},   {16, 12},   {17, 13},   {18, 14},
    {19, 15},   {21, 16},   {20, 17},  {2, 18},    {3, 19},    {4, 20},    {5, 21},    {7, 22},
    {6, 23},    {13, 24},   {10, 25},  {8, 26},    {12, 27},   {9, 28},    {11, 29},   {27, 30},
    {24, 31},   {22, 32},   {26, 33},  {23, 34},   {25, 35},   {28, 36},   {38, 37},   {36, 38},
    {40, 39},   {37, 40},   {39, 41},  {43, 42},   {51, 43},   {53, 44},   {49, 45},   {50, 46},
    {52, 47},   {15, 48},   {57, 49},  {41, 50},   {14, 51},   {1, 53},    {126, 54},  {125, 55},
    {42, 56},   {58, 57},   {56, 58},  {29, 59},   {54, 60},   {100, 61},  {97, 62},   {464, 63},
    {187, 64},  {83, 65},   {55, 67},  {78, 69},   {69, 71},   {115, 72},  {114, 73},  {113, 74},
    {98, 75},   {96, 76},   {74, 78},  {188, 79},  {189, 80},  {117, 81},  {82, 82},   {79, 83},
    {80, 84},   {81, 85},   {75, 86},  {76, 87},   {77, 88},   {71, 89},   {190, 90},  {72, 91},
    {73, 92},   {124, 93},  {89, 94},  {121, 95},  {63, 96},   {64, 97},   {65, 98},   {61, 99},
    {66, 100},  {67, 101},  {85, 102}, {87, 103},  {90, 104},  {183, 105}, {186, 106}, {184, 107},
    {68, 109},  {127, 110}, {88, 111}, {185, 113}, {110, 114}, {102, 115}, {104, 116}, {111, 117},
    {62, 118},  {107, 119}, {60, 120}, {109, 121}, {59, 122},  {105, 123}, {106, 124}, {108, 125},
    {103, 126},
};

} // namespace

std::int64_t virtualKeyFromEvdev(int evdev)
{
    for (const auto &[evdevCode, code] : keyTable)
        if (evdevCode == evdev)
            return code;
    return keyWithoutCounterpart + evdev;
}

int evdevFromVirtualKey(std::int64_t code)
{
    if (code >= keyWithoutCounterpart)
        return int(code - keyWithoutCounterpart);
    // Stored by earlier versions: 256 + the X keycode, which is the evdev code + 8.
    if (code >= 256 + 8)
        return int(code - 256 - 8);
    for (const auto &[evdevCode, virtualCode] : keyTable)
        if (virtualCode == code)
            return evdevCode;
    return -1;
}

} // namespace parlotta
