// Reading a lighthouse config file named by a load_lh_config request.
#pragma once

#include "driver/engine/engine.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace tamrel_driver_sim {

// How much of a lighthouse config file is read at a time.
constexpr std::size_t LH_CONFIG_READ_CHUNK = 64 * 1024;

// Reads the file at `path` (a path of this machine, relative ones from the
// driver's working directory) to find its size. Only a regular file of at
// most MAX_LH_CONFIG_BYTES is loaded; directories, devices, FIFOs and sockets
// are refused without being read, so none of them can hold the driver up.
//
// On Windows a path that names_device_or_network() accepts is refused as
// FileStatus::not_local, and one that names_reserved_device() accepts as
// FileStatus::reserved_device, before the system is asked anything about it.
FileLoad load_lh_config_file(const std::string& path);

// Whether `path`, as Windows reads it, may lead off this machine's disks:
// it begins with two slashes in any mix of `\` and `/` (the device
// namespaces `\.\` and `\?\`, and UNC paths `\server\share`), or with the
// object manager's `\??\`. Looking such a path up can already open a pipe
// or sign in to a remote host. Pure: the same answer on every system.
bool names_device_or_network(std::string_view path);

// Whether the last component of `path` is one of the names that Windows
// resolves to a device in every folder: CON, PRN, AUX, NUL, COM0 to COM9,
// LPT0 to LPT9 (and COM or LPT with a superscript 1, 2 or 3, in UTF-8 or in
// the ANSI code page 1252), CONIN$ and CONOUT$; in any case, with or without
// an extension or a stream name, with trailing dots or spaces (`nul.txt`,
// `C:\x\Com1 .log`, `lpt1..`, `C:aux`). Looking one up opens the device, and
// a serial port's control lines can change as it opens. Pure: the same
// answer on every system.
bool names_reserved_device(std::string_view path);

} // namespace tamrel_driver_sim
