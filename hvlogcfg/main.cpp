// hvlogcfg: shows and changes the logging framework's enciphered settings.
#include "hvlogcfg/Tool.h"

int wmain(int argc, wchar_t** argv) { return Hvlogcfg::RunTool(argc, argv); }
