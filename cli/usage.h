// Tool source: C headers only, no heap, no exceptions, no C++ library (README.md, Layout).
//
// The usage text, on standard error.
#pragma once

// Writes the usage text to standard error, naming the program `program_name`.
void print_usage(const char* program_name);
