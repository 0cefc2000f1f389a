// Resource identifiers of SamplePages.dll, shared by its dialog templates and
// its code.
#pragma once

#define IDD_GENERAL_PAGE 101
#define IDD_ADVANCED_PAGE 102

#define IDC_WINDOW_TITLE 1001
#define IDC_STATUS_BAR 1002
#define IDC_KEEP_LOG 1003
#define IDC_LOG_FILE 1004
#define IDC_UNDO_LEVELS 1005
#define IDC_LOG_FILE_EXPANDED 1006
#define IDC_POLICY_NOTE 1007
