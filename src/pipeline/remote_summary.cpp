#include "pipeline/remote_summary.h"
