#pragma once
#include "base/MemoryStringRegister.h"
