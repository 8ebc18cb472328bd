// SPDX-License-Identifier: BSD-3-Clause
// Names of the UEFI status values that the engine's %r directive prints as text.
#pragma once

#include <stdint.h>

namespace print {

// The NUL-terminated name of Status, or null when the status has no name and is printed in
// hexadecimal instead. Named: success and the warnings 1 to 5, and the errors 1 to 33.
const char *StatusName(uint64_t Status);

}  // namespace print
