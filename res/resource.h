#pragma once
// Resource numbers the agent and the exam server's tooling rely on.
#define IDI_TAVRELAGENT 107
#define IDI_CONNECTED 110
#define IDI_DISCONNECTED 111
#define IDD_SETTING 106
#define IDD_BLANK 129
#define IDD_EXIT_PASSWORD 131
