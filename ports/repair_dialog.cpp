// The Tools command: release COM numbers claimed without a device.
#include "shell/main_window.h"

void CPontuDlg::OnTools() {}
