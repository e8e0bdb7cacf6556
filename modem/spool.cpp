#include "modem/spool.h"
