// The whole exported interface of tarnkernl.
#pragma once

#include "tarnkernl/api.h"
#include "tarnkernl/tarnrt.h"
#include "tarnkernl/log.h"
#include "tarnkernl/text.h"
#include "tarnkernl/files.h"
#include "tarnkernl/memory.h"
#include "tarnkernl/modules.h"
#include "tarnkernl/mui.h"
