// Entry point of the POSIX program: the dialogs are drawn in the terminal.
#include "port/frontend.h"
#include "port/win32.h"

int main() {
  // The program takes no arguments and reads no environment.
  PortUseTerminal();
  ExitProcess(static_cast<UINT>(WinMain(PortModuleHandle(), nullptr, const_cast<LPSTR>(""), SW_SHOWNORMAL)));
}
