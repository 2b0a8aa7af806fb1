// The Option command: start-up flags and logon autorun.
#include "shell/main_window.h"

void CPontuDlg::OnOption() {}
