#include "tool_runner.h"
