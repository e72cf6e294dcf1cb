// tamrel_ctl: pass one control command to the Tamrel Proximity driver and
// print its reply.
#include "cli/usage.h"
#include "control/command_forms.h"
#include "control/send_command.h"

#include <signal.h>
#include <stdio.h>

// The version, for `what` or `strings`: the tool itself takes no options.
extern const char TAMREL_CTL_IDENT[] = "@(#)tamrel_ctl " TAMREL_VERSION;

// An empty argument vector (argc 0) has no name to show in the usage text.
static const char DEFAULT_PROGRAM_NAME[] = "tamrel_ctl";

int main(int argc, char* argv[])
{
    // The C runtime would allocate stdout's buffer on first use; give it one.
    static char stdout_buffer[BUFSIZ];
    setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);
#ifdef SIGPIPE
    // A reader of standard output that has gone is a failed write, reported
    // with status 1 as on Windows, not a signal that ends the process.
    signal(SIGPIPE, SIG_IGN);
#endif

    const char* program_name = (argc > 0 && argv[0] != nullptr) ? argv[0] : DEFAULT_PROGRAM_NAME;
    if (argc < 2) {
        print_usage(program_name);
        return 1;
    }

    const char* command = argv[1];
    if (!is_known_command(command)) {
        fprintf(stderr, "Error: Unknown command '%s'\n", command);
        print_usage(program_name);
        return 1;
    }
    return send_command(command);
}
