#include "app/logs.h"
