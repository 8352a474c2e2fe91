// Resource and control identifiers of the launcher.
#pragma once

#define IDD_ABOUTBOX                100
#define IDS_ABOUTBOX                101
#define IDS_LIST_COLUMNS            102
#define IDD_MORVINDEX_DIALOG        102
#define IDS_UPDATE_AVAILABLE        103
#define IDS_NEW_INSTALL             104
#define IDS_UPDATE_QUESTION         105
#define IDS_UPDATE_CAPTION          106
#define IDS_NOT_INSTALLED           107
#define IDS_ALL_CATEGORIES          108
#define IDS_RESTART_NOTICE          109
#define IDS_RESTART_CAPTION         110
#define IDS_START_QUESTION          111
#define IDS_SYNC_FAILED             112
#define IDS_SYNC_REFUSED            113
#define IDS_SYNC_NO_SPACE           114
#define IDS_SYNC_COPY_FAILED        115
#define IDS_SYNC_NOT_RECORDED       116
#define IDS_REPAIR_QUESTION         117
#define IDS_REPAIR_CAPTION          118
#define IDS_ARCHIVE_UNCHECKED       119
#define IDS_CHOICE_REFUSED          120
#define IDS_START_REFUSED           150
#define IDS_START_NOT_RELATIVE      151
#define IDS_START_MISSING           152
#define IDS_START_THROUGH_LINK      153
#define IDR_MAINFRAME               128
#define IDB_PNG_PLACEHOLDER         129
#define IDB_PNG_AVVIA               131
#define IDB_PNG_INSTALLA            132
#define IDB_PNG_CHIUDI              133
#define IDR_MAIN_MENU               134
#define IDD_PROXY_CONFIG            135

#define IDC_REPORT_LIST             1000
#define IDC_ONLY_INSTALLED          1003
#define IDC_ONLY_FAVOURITES         1004
#define IDC_DESCRIPTION             1005
#define IDC_SOFTWARE_NAME           1007
#define IDC_LAUNCH                  1008
#define IDC_PROGRESS                1009
#define IDC_STATUS                  1010
#define IDC_INSTALL                 1011
#define IDC_CATEGORY                1012
#define IDC_FAVOURITE               1013
#define IDC_PROXY_ACTIVE            1013
#define IDC_CHANGELOG               1014
#define IDC_PROXY                   1015
#define IDC_PROXY_ADDRESS           1016
#define IDC_PROXY_USER              1017
#define IDC_PROXY_PASSWORD          1018
#define IDC_FILTER_FRAME            1019
#define IDC_FAVOURITES_NOTE         1020
#define IDC_CATEGORY_CAPTION        1021
#define IDC_PROXY_ADDRESS_LABEL     1024
#define IDC_PROXY_USER_LABEL        1025
#define IDC_PROXY_PASSWORD_LABEL    1026
#define IDC_SERVER_CAPTION          1027
#define IDC_SERVER                  1028

#define ID_SOFTWARE_OPEN_FOLDER     32772
#define ID_SOFTWARE_PROMPT          32774
#define ID_SOFTWARE_UNINSTALL       32775

#define IDM_ABOUTBOX                0x0010
