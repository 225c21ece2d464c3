// Resource and control ids of the log viewer, shared by its resource script
// and its code.
#pragma once

// The log window's dialog template.
#define IDD_MAINDLG 102
// Its controls: the log text and the save button ("OK" is IDOK, 1).
#define IDC_LOGTEXT 204
#define IDC_SAVELOG 205
