// Reading a lighthouse config file named by a load_lh_config request.
#pragma once

#include "driver/engine/engine.h"

#include <string>

namespace tamrel_sim {

// Reads the file at `path` (a path of this machine, relative ones from the
// driver's working directory) to find its size. Only a regular file of at
// most MAX_LH_CONFIG_BYTES is loaded; directories, devices, FIFOs and sockets
// are refused without being read, so none of them can hold the driver up.
FileLoad load_lh_config_file(const std::string& path);

} // namespace tamrel_sim
