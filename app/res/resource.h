// Resource IDs of Tavrelmond.exe, shared by Tavrelmond.rc and the code that loads the icons.
#pragma once

#define IDI_NORMAL 101    // green: the program's icon, shown while the receiver is attached
#define IDI_ALTERNATE 102 // red: shown while the receiver is absent, and alternated with the normal one

// The settings window (a dialog template) and its controls.
#define IDD_SETTINGS 200
#define IDC_MEDIACENTER 201
#define IDC_HINT 202
#define IDC_ADDRESS_LABEL 203
#define IDC_ADDRESS 204
#define IDC_PORT_LABEL 205
#define IDC_PORT 206
#define IDC_USER_LABEL 207
#define IDC_USER 208
#define IDC_PASSWORD_LABEL 209
#define IDC_PASSWORD 210
#define IDC_NOTIFICATIONS 211
#define IDC_TEST 212
#define IDC_RESULT 213
#define IDC_KEYMAPS_LABEL 214
#define IDC_KEYMAPS 215
#define IDC_FILE 216
#define IDC_EDITFILE 217
