// Resource and control identifiers, shared by ifdiag.rc, the user interface and the tests.
#pragma once

// Menu IDR_MENU1
#define IDM_START 40001
#define IDM_EXIT 40002

// Dialog TERMINAL_DIALOG.
#define IDC_RECHTS1 1000
#define IDC_LINKS1 1001
#define IDC_STOP1 1002
#define IDC_RECHTS2 1003
#define IDC_LINKS2 1004
#define IDC_STOP2 1005
#define IDC_RECHTS3 1006
#define IDC_LINKS3 1007
#define IDC_STOP3 1008
#define IDC_RECHTS4 1009
#define IDC_LINKS4 1010
#define IDC_STOP4 1011
// Counter display and Reset of input Ei (1..8): IDC_COUNT1 + i - 1, IDC_RESET1 + i - 1.
#define IDC_COUNT1 1012
#define IDC_COUNT2 1013
#define IDC_COUNT3 1014
#define IDC_COUNT4 1015
#define IDC_COUNT5 1016
#define IDC_COUNT6 1017
#define IDC_COUNT7 1018
#define IDC_COUNT8 1019
#define IDC_RESET1 1020
#define IDC_RESET2 1021
#define IDC_RESET3 1022
#define IDC_RESET4 1023
#define IDC_RESET5 1024
#define IDC_RESET6 1025
#define IDC_RESET7 1026
#define IDC_RESET8 1027
#define IDC_EX 1028
#define IDC_EY 1029
#define IDC_STATIC -1
