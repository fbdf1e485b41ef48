#include "pipeline/summary_video_export.h"
