#include "cli/usage.h"

#include <stdio.h>

void print_usage(const char* program_name)
{
    fprintf(stderr, "Usage: %s <command>\n", program_name);
    fprintf(stderr, "\nCommands:\n");
    fprintf(stderr, "  \"proximity on\"         Set proximity to true (person detected)\n");
    fprintf(stderr, "  \"proximity off\"        Set proximity to false (no person)\n");
    fprintf(stderr, "  \"proximity auto\"       Clear manual override, let algorithm drive\n");
    fprintf(stderr, "  \"status\"               Query driver state (proximity, HID, IPD, config)\n");
    fprintf(stderr, "  \"ipd <mm>\"             Set IPD in millimeters (48-75mm range)\n");
    fprintf(stderr, "  \"ipd?\"                 Query current IPD value\n");
    fprintf(stderr, "  \"load_lh_config <path>\" Load lighthouse config from explicit file path\n");
    fprintf(stderr, "  \"backglow fill <hex>\"       Set all 10 LEDs (e.g. backglow fill FF8000)\n");
    fprintf(stderr, "  \"backglow fill <h0> ... <h9>\" Set per-LED colors (10 hex values)\n");
    fprintf(stderr, "  \"backglow set <idx> <hex>\"  Set single LED (idx 0..9, hex RRGGBB)\n");
    fprintf(stderr, "  \"backglow bri <0..255>\"     Set master brightness (clamped by ceiling)\n");
    fprintf(stderr, "  \"backglow off\"              Turn LEDs off\n");
    fprintf(stderr, "  \"backglow on\"               Turn LEDs on\n");
    fprintf(stderr, "  \"backglow status\"           Show transport/conn/port|host/bri/ceiling/leds (multi-line)\n");
}
