// hvlogcfg: shows and changes the logging framework's enciphered settings.
#include "basalt/SystemLibrary.h"
#include "hvlogcfg/Tool.h"

int wmain(int argc, wchar_t** argv) {
    // Before anything binds a library late: from the System folder only, never
    // from the program's folder or the working directory.
    Basalt::HardenDllSearchPath();
    return Hvlogcfg::RunTool(argc, argv);
}
