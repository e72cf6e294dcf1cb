// The fixed set of commands the tool passes on to the driver.
#pragma once

// True when `command` is one of the exact forms, or begins with one of the
// prefix forms. Arguments after a prefix form are the driver's business.
bool is_known_command(const char* command);
