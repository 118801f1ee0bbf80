#include "motion/random.h"

#include <ctime>

uint32_t CalendarSeed() { return static_cast<uint32_t>(std::time(nullptr)); }
