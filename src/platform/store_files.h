// Kept for sources that still include it by this name: what it declared is in platform.h.
#pragma once

#include "platform.h"
