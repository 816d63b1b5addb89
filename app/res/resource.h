// Resource IDs of Tavrelmond.exe, shared by Tavrelmond.rc and the code that loads the icons.
#pragma once

#define IDI_NORMAL 101    // green: the program's icon, shown while the receiver is attached
#define IDI_ALTERNATE 102 // red: shown while the receiver is absent, and alternated with the normal one
