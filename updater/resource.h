//{{NO_DEPENDENCIES}}
// Resource ids of Kestrel (kestrel.rc).
//
#define IDD_UPDATER_DIALOG 102
#define IDI_UPDATER        128
#define IDC_UPDATE         1000
#define IDC_PROGRESS       1001

// Next default values for new objects
//
#ifdef APSTUDIO_INVOKED
#ifndef APSTUDIO_READONLY_SYMBOLS
#define _APS_NEXT_RESOURCE_VALUE 129
#define _APS_NEXT_COMMAND_VALUE  32771
#define _APS_NEXT_CONTROL_VALUE  1002
#define _APS_NEXT_SYMED_VALUE    101
#endif
#endif
