#include "QuorTask.h"

const char sTaskStateStr[] = "live_";
