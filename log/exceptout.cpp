// Crash reports.
#include "tarnkernl/log.h"
