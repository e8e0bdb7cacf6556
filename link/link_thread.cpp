#include "link/link_thread.h"
