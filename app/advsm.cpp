#include "app/advsm.h"
