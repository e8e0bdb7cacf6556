#include "serial/serial_port_driver.h"
