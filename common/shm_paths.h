// Where the segment and the consumers' semaphores show up as files. glibc
// keeps POSIX shared memory in /dev/shm and a named semaphore there as "sem."
// followed by its name. The checks that look at these files (who owns them,
// what they are) must find the very objects shm_open and sem_open use.
#pragma once

#include <string>

#include "shared_data.h"

constexpr const char* SHM_DIRECTORY = "/dev/shm";

// The file behind the segment's name: /dev/shm/tavora_camera_sensor_.
inline std::string segmentPath() { return std::string(SHM_DIRECTORY) + "/" + SHM_NAME; }

// The file behind the named semaphore `name`: /dev/shm/sem.<name>.
inline std::string semaphorePath(const std::string& name) { return std::string(SHM_DIRECTORY) + "/sem." + name; }
