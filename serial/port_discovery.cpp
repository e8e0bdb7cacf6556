#include "serial/port_discovery.h"
