#include "driver/backglow_cells.h"

#include <algorithm>
#include <cstdio>

namespace tamrel_driver_sim {

namespace {

int scaled(std::uint32_t colour, int shift, int brightness)
{
    int channel = static_cast<int>((colour >> shift) & 0xFF);
    return (channel * brightness + MAX_BRIGHTNESS / 2) / MAX_BRIGHTNESS;
}

} // namespace

std::string backglow_cells(const std::array<std::uint32_t, LED_COUNT>& leds, int brightness, bool on)
{
    int level = on ? std::clamp(brightness, 0, MAX_BRIGHTNESS) : 0;
    std::string cells;
    cells.reserve(LED_COUNT * 22 + 4);
    for (std::uint32_t colour : leds) {
        char cell[48];
        int length = std::snprintf(cell, sizeof cell, "\x1b[48;2;%d;%d;%dm  ", scaled(colour, 16, level),
                                   scaled(colour, 8, level), scaled(colour, 0, level));
        cells.append(cell, static_cast<std::size_t>(length));
    }
    cells += "\x1b[0m";
    return cells;
}

std::string with_backglow(std::string line, std::string_view request, std::string_view reply, const State& state)
{
    // Every backglow form that is not refused begins so.
    if (request.substr(0, 9) == "backglow " && reply.substr(0, 4) != "ERR " && !line.empty())
        line.insert(line.size() - 1, " " + backglow_cells(state.leds, state.brightness, state.backglow_on));
    return line;
}

} // namespace tamrel_driver_sim
