// Names shared by the form (zelta_gui.rc) and the code. The form and its
// icon are named resources ("ZELTA_MAIN", "MAINICON"); the controls carry
// these ids, named after the form's components.
#pragma once

#define IDC_LIST 100   // LIST: the log list
#define IDC_PANEL 101  // Panel: the strip at the top holding the options
#define IDC_C_N 102    // C_n: -n, show the start point only
#define IDC_C_V 103    // C_v: -v, show the detail log
#define IDC_C_L 104    // C_l: -l, find the loop
#define IDC_C_S 105    // C_s: -s, cut the silence by sound

#define IDS_TITLE 1        // the application title, which is the window's
#define IDS_INSTRUCTION 2  // the list's only line at start
