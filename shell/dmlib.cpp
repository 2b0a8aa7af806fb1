#include "shell/dmlib.h"

int DM_Init(int, int) { return 1; }

int DM_DeInit() { return 1; }
