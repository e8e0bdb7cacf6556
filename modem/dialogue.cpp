#include "modem/dialogue.h"
