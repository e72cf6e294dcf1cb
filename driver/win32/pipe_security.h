// Who may open the control pipe: the driver's own user, SYSTEM and the
// Administrators, nobody else. Without it a pipe gets the default DACL,
// which lets every local user (Everyone) read and write it; this is the
// counterpart of the POSIX socket file's mode 0600.
#pragma once

#include <windows.h>

#include <vector>

namespace tamrel_driver_sim {

class PipeSecurity {
public:
    PipeSecurity() = default;
    PipeSecurity(const PipeSecurity&) = delete; // attributes() points into it
    PipeSecurity& operator=(const PipeSecurity&) = delete;

    // Builds the DACL for the user this process runs as. False, with the
    // last error set, when that cannot be done.
    bool build();

    // For CreateNamedPipeA; valid while this object lives.
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    std::vector<unsigned char> user_;  // TOKEN_USER of the process
    std::vector<unsigned char> system_;
    std::vector<unsigned char> administrators_;
    std::vector<unsigned char> acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

} // namespace tamrel_driver_sim
