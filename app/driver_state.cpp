#include "app/driver_state.h"

DriverState g_state;
