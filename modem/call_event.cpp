#include "modem/call_event.h"
