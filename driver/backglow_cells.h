// The backglow as a person would see it, for a log line on a terminal: the
// ten LEDs as coloured cells. Pure functions, so that the cells can be made
// on the serving thread from the state of one request and carried as bytes.
#pragma once

#include "driver/engine/engine.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tamrel_driver_sim {

// The ten LEDs, LED 0 first, each two spaces on a 24-bit background colour
// (ESC[48;2;R;G;Bm), followed by one reset (ESC[0m): 20 columns in all.
// Each LED shows what the headset would: every channel of its 0xRRGGBB
// colour scaled by the master brightness (0..255) as
//     shown = (channel * brightness + 127) / 255,
// that is channel * brightness / 255 rounded to the nearest whole number
// (255 shows the colour as set, 0 is black). While the backglow is off every
// cell is black.
std::string backglow_cells(const std::array<std::uint32_t, LED_COUNT>& leds, int brightness, bool on);

// `line`, the log line of one request (newline included), with the cells of
// `state` before its newline when the request changed or showed the LEDs:
// a backglow command (fill, set, bri, on, off, status) that was not refused.
std::string with_backglow(std::string line, std::string_view request, std::string_view reply, const State& state);

} // namespace tamrel_driver_sim
