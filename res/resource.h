// The program's name and the texts it shows outside its forms, in one place.
#pragma once

#define IDS_UNINSTALL_PROMPT "delete all virtual com port, and uninstall related driver"
#define IDS_TRAY_TOOLTIP "Velkaro_redi"
#define IDS_APP_NAME "Velkaro_redi"
