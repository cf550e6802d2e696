// Entry point of the POSIX program: the dialogs are drawn in the terminal.
#include "port/frontend.h"
#include "port/privilege.h"
#include "port/win32.h"
#include "tftp/tftp.h"

int main() {
  // The program takes no arguments and reads no environment. Before the first
  // dialog: may it serve TFTP at all? (An ordinary user on Linux may not.)
  PortRequireUdpBindRight(kFirstTftpPort, kTftpPortCount);
  PortUseTerminal();
  ExitProcess(static_cast<UINT>(WinMain(PortModuleHandle(), nullptr, const_cast<LPSTR>(""), SW_SHOWNORMAL)));
}
