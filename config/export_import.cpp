// Export and import of port lists.
#include "shell/main_window.h"

void CPontuDlg::ExportPorts() {}
void CPontuDlg::ImportPorts() {}
