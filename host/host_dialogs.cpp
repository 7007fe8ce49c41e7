#include "host/host_tracker.h"
