// The port commands of the main window: Add, Delete, Start, Stop, Apply and
// Property, and the steps they share.
#include "shell/main_window.h"

int CPontuDlg::ApplyPortRow(int) { return 0; }
void CPontuDlg::AddPortPair(const PortSettings&) {}
bool CPontuDlg::WaitForBridgeSide(int, int, size_t) { return false; }
void CPontuDlg::OnAdd() {}
void CPontuDlg::OnDelete() {}
void CPontuDlg::OnStart() {}
void CPontuDlg::OnStop() {}
void CPontuDlg::OnApply() {}
void CPontuDlg::OnProperty() {}
