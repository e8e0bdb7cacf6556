#include "app/indicators.h"
