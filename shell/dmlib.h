#pragma once

// The device-manager library of the original platform has nothing to do here;
// the calls stay so start-up and shutdown keep their order.
int DM_Init(int a, int b);
int DM_DeInit();
