#include "link/frame_queue.h"
