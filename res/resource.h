#pragma once
// Resource numbers the agent and the exam server's tooling rely on.
#define IDI_TAVRELAGENT 107
#define IDI_CONNECTED 110
#define IDI_DISCONNECTED 111
#define IDD_SETTING 106
#define IDD_BLANK 129
#define IDD_EXIT_PASSWORD 131
#define IDC_SERVER_IP 1000
#define IDC_CANCEL 1004
#define IDC_CONFIRM 1005
#define IDC_EXIT_PASSWORD 1006
#define IDC_ECP_NO 1013
// Asked in the settings dialog for a change of the server address: the room's exit password.
#define IDC_SETTING_PASSWORD 1014
#define ID_MENU_SETTINGS 40001
#define ID_MENU_EXIT 40003
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
