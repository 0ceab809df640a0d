// The current memory interface and its starting value, the pass-through to the raw heap.
#include "tarnkernl/tarnrt.h"
